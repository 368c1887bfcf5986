// Named kernel objects with the Win32 semantics the command channel relies on: sections, events and mutexes.
//
// Every named object is visible to every user and session (as a null DACL makes it on Windows), exists
// exactly while some process holds it open, and vanishes with its last holder, a crashed one included.
// Names carry the Win32 namespace prefix ("Global\KestrixSvcMem"); sections, events and mutexes share
// one namespace, so a name in use by an object of another kind cannot be created or opened as this kind.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace kestrix::platform {

inline constexpr uint32_t INFINITE = 0xFFFFFFFF;

/// Outcome of a wait, with the Win32 values.
enum class WaitResult : uint32_t {
  Signaled = 0x00000000,   // WAIT_OBJECT_0
  Abandoned = 0x00000080,  // WAIT_ABANDONED: a mutex whose holder died; the caller owns it now
  Timeout = 0x00000102,    // WAIT_TIMEOUT
  Failed = 0xFFFFFFFF,     // WAIT_FAILED
};

class SectionView;

/// A named memory section of fixed size, zero-filled when it is created.
class Section {
 public:
  /// Creates the section, or opens it when it exists already; `error` is then ERROR_ALREADY_EXISTS and the
  /// existing section (of its own size) is returned. Returns null with the Win32 error on failure.
  static std::unique_ptr<Section> Create(std::u16string_view name, uint64_t size, uint32_t& error);

  /// Opens an existing section. Returns null with ERROR_FILE_NOT_FOUND when none of that name exists.
  static std::unique_ptr<Section> Open(std::u16string_view name, uint32_t& error);

  virtual ~Section() = default;
  virtual uint64_t Size() const = 0;

  /// Maps a view of the whole section, read and write. The view is unmapped when it is destroyed; it may
  /// outlive the section object. Returns null with the Win32 error on failure.
  virtual std::unique_ptr<SectionView> MapView(uint32_t& error) = 0;
};

/// A mapped view of a whole section.
class SectionView {
 public:
  virtual ~SectionView() = default;
  virtual uint8_t* Data() = 0;
  virtual uint64_t Size() const = 0;
};

/// An event, auto-reset or manual-reset. An auto-reset event releases one waiter per signal and then resets.
class Event {
 public:
  /// Creates the event, or opens it when it exists already (`error` is then ERROR_ALREADY_EXISTS and the
  /// reset mode and initial state asked for are ignored, as on Windows). An empty name makes an unnamed event
  /// private to the process. Returns null with the Win32 error on failure.
  static std::unique_ptr<Event> Create(std::u16string_view name, bool manualReset, bool initialState,
                                       uint32_t& error);

  /// Opens an existing named event. Returns null with ERROR_FILE_NOT_FOUND when none of that name exists.
  static std::unique_ptr<Event> Open(std::u16string_view name, uint32_t& error);

  virtual ~Event() = default;
  virtual bool Set() = 0;
  virtual bool Reset() = 0;

  /// Waits until the event is signalled or `timeoutMs` ran out (INFINITE waits without limit).
  virtual WaitResult Wait(uint32_t timeoutMs) = 0;
};

/// A mutex: recursive for its owning thread; a holder that dies (process or thread) leaves it abandoned,
/// and the next waiter takes it with WaitResult::Abandoned.
class Mutex {
 public:
  /// Creates the mutex, or opens it when it exists already (`error` is then ERROR_ALREADY_EXISTS, and
  /// `initialOwner` is ignored). Returns null with the Win32 error on failure.
  static std::unique_ptr<Mutex> Create(std::u16string_view name, bool initialOwner, uint32_t& error);

  /// Opens an existing named mutex. Returns null with ERROR_FILE_NOT_FOUND when none of that name exists.
  static std::unique_ptr<Mutex> Open(std::u16string_view name, uint32_t& error);

  virtual ~Mutex() = default;
  virtual WaitResult Wait(uint32_t timeoutMs) = 0;

  /// Releases one level of ownership. Returns false (ERROR_NOT_OWNER) when the calling thread does not own it.
  virtual bool Release() = 0;
};

}  // namespace kestrix::platform
