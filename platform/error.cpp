#include "platform/error.h"

#include <cerrno>

namespace platform {

int numberOf(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return kNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
    case EBUSY:
      return kAccessRefused;
    case ENOSPC:
    case EDQUOT:
      return kDiskFull;
    case EISDIR:
      return kIsFolder;
    case EFBIG:
    case EOVERFLOW:
      return kOverflow;
    case ELOOP:
      return kRefusedAttribute;
    case ENAMETOOLONG:
      return kBadName;
    case ENOMEM:
      return kOutOfMemory;
    default:
      return kIoError;
  }
}

Error systemError(int err, Step step) {
  return Error(numberOf(err), step, Why::System, std::error_code(err, std::generic_category()));
}

void raiseSystemError(int err, Step step) { throw systemError(err, step); }

Error outOfMemory() { return Error(kOutOfMemory, Step::None, Why::OutOfMemory); }

}  // namespace platform
