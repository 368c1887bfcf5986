// Named memory sections on Linux: the data lives in the object file after its header page, mapped shared.
#include <cstdint>

#include "common/Win32Error.h"
#include "platform/KernelObjects.h"
#include "platform/linux/KernelObjectsFile.h"

namespace kestrix::platform {

namespace {

using detail::ObjectFile;

/// A view is a window on the one mapping of the section's data that this process keeps with the object file;
/// making and dropping one costs no syscall.
class LinuxSectionView final : public SectionView {
 public:
  LinuxSectionView(std::shared_ptr<ObjectFile> file, uint8_t* data, uint64_t size)
      : m_file(std::move(file)), m_data(data), m_size(size) {}
  uint8_t* Data() override { return m_data; }
  uint64_t Size() const override { return m_size; }

 private:
  // A view holds the object as a Windows view holds its section: the memory stays named (and mapped) while
  // the view lasts.
  std::shared_ptr<ObjectFile> m_file;
  uint8_t* m_data;
  uint64_t m_size;
};

class LinuxSection final : public Section {
 public:
  explicit LinuxSection(std::shared_ptr<ObjectFile> file) : m_file(std::move(file)) {}
  uint64_t Size() const override { return m_file->Header().dataSize; }

  std::unique_ptr<SectionView> MapView(uint32_t& error) override {
    error = ERROR_SUCCESS;
    return std::make_unique<LinuxSectionView>(m_file, m_file->Data(), Size());
  }

 private:
  std::shared_ptr<ObjectFile> m_file;
};

}  // namespace

std::unique_ptr<Section> Section::Create(std::u16string_view name, uint64_t size, uint32_t& error) {
  if (size == 0) {
    error = ERROR_INVALID_PARAMETER;  // a section needs a size when no file backs it
    return nullptr;
  }
  // The zero fill comes from sizing the emptied file; no initialiser is needed.
  auto file = ObjectFile::Acquire(name, detail::ObjectKind::Section, true, size, nullptr, nullptr, error);
  if (file == nullptr) {
    return nullptr;
  }
  return std::make_unique<LinuxSection>(std::move(file));
}

std::unique_ptr<Section> Section::Open(std::u16string_view name, uint32_t& error) {
  auto file = ObjectFile::Acquire(name, detail::ObjectKind::Section, false, 0, nullptr, nullptr, error);
  if (file == nullptr) {
    return nullptr;
  }
  return std::make_unique<LinuxSection>(std::move(file));
}

}  // namespace kestrix::platform
