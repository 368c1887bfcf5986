// Translation of errno values into Win32 error numbers.
#include "common/Win32Error.h"

#include <cerrno>

namespace kestrix {

uint32_t Win32FromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ELOOP:
      return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EBUSY: return ERROR_BUSY;
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EAGAIN: return ERROR_LOCK_VIOLATION;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case EIO: return ERROR_IO_DEVICE;
    case ENOTSUP: return ERROR_NOT_SUPPORTED;
    case EFAULT: return ERROR_NOACCESS;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENXIO:
    case ENODEV:
      return ERROR_NOT_READY;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace kestrix
