// Moving, renaming and scheduling the deletion of files with the rules of MoveFileExW.
#include "platform/FileOps.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/ServiceKey.h"
#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/LastError.h"
#include "platform/Registry.h"

namespace kestrix::platform {

namespace {

constexpr uint32_t kKnownFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_DELAY_UNTIL_REBOOT |
                                 MOVEFILE_WRITE_THROUGH | MOVEFILE_CREATE_HARDLINK | MOVEFILE_FAIL_IF_NOT_TRACKABLE;

int Fail(uint32_t error) {
  SetLastError(error);
  return 0;
}

int FailErrno(int err) {
  // A missing directory on the way to the file is "path not found", as Windows tells the two apart.
  return Fail(err == ENOTDIR ? ERROR_PATH_NOT_FOUND : Win32FromErrno(err));
}

int Succeed() {
  SetLastError(ERROR_SUCCESS);
  return 1;
}

// Windows keeps the pending operations as NT paths: "\??\" before each name, and a "!" before a target that
// may replace an existing file. A deletion has an empty target.
std::u16string NtPath(const char16_t* path) { return std::u16string(u"\\??\\") + path; }

int RecordPendingRename(const char16_t* existing, const char16_t* newName, uint32_t flags) {
  HKEY key = nullptr;
  const uint32_t rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKeyPath, 0, KEY_READ | KEY_WRITE, &key);
  if (rc != ERROR_SUCCESS) {
    return Fail(rc);
  }
  std::vector<uint8_t> data;
  uint32_t type = 0;
  uint32_t size = 0;
  uint32_t query = RegQueryValueExW(key, u"PendingFileRenameOperations", &type, nullptr, &size);
  if (query == ERROR_SUCCESS && size > 0) {
    data.resize(size);
    query = RegQueryValueExW(key, u"PendingFileRenameOperations", &type, data.data(), &size);
    if (query != ERROR_SUCCESS) {
      RegCloseKey(key);
      return Fail(query);
    }
    data.resize(size);
  } else if (query != ERROR_SUCCESS && query != ERROR_FILE_NOT_FOUND) {
    RegCloseKey(key);
    return Fail(query);
  }

  // Whole characters only; then drop the list's closing zero so the new pair goes before it.
  std::u16string list(data.size() / 2, u'\0');
  if (!list.empty()) {
    std::memcpy(list.data(), data.data(), list.size() * 2);
  }
  if (!list.empty() && list.back() == u'\0') {
    list.pop_back();
  }
  list += NtPath(existing);
  list.push_back(u'\0');
  if (newName != nullptr) {
    if (flags & MOVEFILE_REPLACE_EXISTING) {
      list.push_back(u'!');
    }
    list += NtPath(newName);
  }
  list.push_back(u'\0');
  list.push_back(u'\0');

  const uint32_t set = RegSetValueExW(key, u"PendingFileRenameOperations", REG_MULTI_SZ,
                                      reinterpret_cast<const uint8_t*>(list.data()),
                                      static_cast<uint32_t>(list.size() * 2));
  RegCloseKey(key);
  return set == ERROR_SUCCESS ? Succeed() : Fail(set);
}

// Copies a regular file to `target` for a move across file systems. The copy is written beside the target
// under a temporary name and renamed into place, so a failure never leaves half a file under the new name.
uint32_t CopyAcross(const std::string& source, const std::string& target, const struct stat& sourceStat,
                    uint32_t flags) {
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in < 0) {
    return Win32FromErrno(errno);
  }
  std::string temp = target + ".ktxmove-XXXXXX";
  const int out = ::mkostemp(temp.data(), O_CLOEXEC);
  if (out < 0) {
    const int err = errno;
    ::close(in);
    return err == ENOENT ? ERROR_PATH_NOT_FOUND : Win32FromErrno(err);
  }
  uint32_t error = ERROR_SUCCESS;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) {
      break;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      error = Win32FromErrno(errno);
      break;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        error = Win32FromErrno(errno);
        break;
      }
      done += w;
    }
    if (error != ERROR_SUCCESS) break;
  }
  ::fchmod(out, sourceStat.st_mode & 07777);
  if (error == ERROR_SUCCESS && (flags & MOVEFILE_WRITE_THROUGH) && ::fsync(out) != 0) {
    error = Win32FromErrno(errno);
  }
  ::close(out);
  ::close(in);
  if (error == ERROR_SUCCESS) {
    const int rc = (flags & MOVEFILE_REPLACE_EXISTING) ? ::rename(temp.c_str(), target.c_str())
                                                       : ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(),
                                                                     RENAME_NOREPLACE);
    if (rc != 0) {
      error = errno == EEXIST ? ERROR_ALREADY_EXISTS : Win32FromErrno(errno);
    }
  }
  if (error != ERROR_SUCCESS) {
    ::unlink(temp.c_str());
    return error;
  }
  if (::unlink(source.c_str()) != 0) {
    // The source stays: take the copy back so that the call either moved the file or changed nothing.
    const int err = errno;
    ::unlink(target.c_str());
    return Win32FromErrno(err);
  }
  return ERROR_SUCCESS;
}

void SyncDirectoryOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

}  // namespace

int MoveFileExW(const char16_t* existingName, const char16_t* newName, uint32_t flags) {
  if (existingName == nullptr || *existingName == u'\0' || (flags & ~kKnownFlags) != 0) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if ((flags & MOVEFILE_DELAY_UNTIL_REBOOT) && (flags & MOVEFILE_COPY_ALLOWED)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    return RecordPendingRename(existingName, (newName != nullptr && *newName != u'\0') ? newName : nullptr, flags);
  }
  if (newName == nullptr || *newName == u'\0') {
    return Fail(ERROR_INVALID_PARAMETER);
  }

  const std::string source = ToUtf8(existingName);
  const std::string target = ToUtf8(newName);
  struct stat sourceStat {};
  if (::lstat(source.c_str(), &sourceStat) != 0) {
    const int err = errno;
    if (err == ENOENT) {
      const auto slash = source.find_last_of('/');
      struct stat dirStat {};
      const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : source.substr(0, slash));
      return Fail(::stat(dir.c_str(), &dirStat) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    }
    return FailErrno(err);
  }
  struct stat targetStat {};
  const bool targetExists = ::lstat(target.c_str(), &targetStat) == 0;
  const bool sameObject = targetExists && targetStat.st_dev == sourceStat.st_dev && targetStat.st_ino == sourceStat.st_ino;
  if (targetExists && !sameObject) {
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) {
      return Fail(ERROR_ALREADY_EXISTS);
    }
    // Windows replaces files only: a directory on either side of a replacement is refused.
    if (S_ISDIR(targetStat.st_mode) || S_ISDIR(sourceStat.st_mode)) {
      return Fail(ERROR_ACCESS_DENIED);
    }
  }

  int rc = 0;
  if (flags & MOVEFILE_REPLACE_EXISTING) {
    rc = ::rename(source.c_str(), target.c_str());
  } else {
    // The check above can race with a file created meanwhile: the kernel's no-replace rename settles it.
    rc = ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), sameObject ? 0 : RENAME_NOREPLACE);
  }
  if (rc != 0) {
    const int err = errno;
    if (err == EEXIST) {
      return Fail(ERROR_ALREADY_EXISTS);
    }
    if (err == ENOENT) {
      return Fail(ERROR_PATH_NOT_FOUND);  // the source is there: the target's directory is not
    }
    if (err != EXDEV) {
      return FailErrno(err);
    }
    if (!(flags & MOVEFILE_COPY_ALLOWED) || !S_ISREG(sourceStat.st_mode)) {
      return Fail(ERROR_NOT_SAME_DEVICE);
    }
    const uint32_t copy = CopyAcross(source, target, sourceStat, flags);
    if (copy != ERROR_SUCCESS) {
      return Fail(copy);
    }
  }
  if (flags & MOVEFILE_WRITE_THROUGH) {
    SyncDirectoryOf(target);
  }
  return Succeed();
}

}  // namespace kestrix::platform
