#include "platform/error.h"

#include <cerrno>
#include <utility>

namespace platform {

Error::Error(int number, std::string description)
    : std::runtime_error(description), m_number(number), m_description(std::move(description)) {}

Error systemError(int err, std::string_view what) {
  int number = kIoError;
  std::string why;
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      number = kNotFound;
      why = "файл или папка не найдены";
      break;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
      number = kAccessRefused;
      why = "доступ запрещён";
      break;
    case ENOSPC:
    case EDQUOT:
      number = kDiskFull;
      why = "диск заполнен";
      break;
    case EISDIR:
      number = kIsFolder;
      why = "это папка, а не файл";
      break;
    case EFBIG:
    case EOVERFLOW:
      number = kOverflow;
      why = "переполнение: файл слишком велик";
      break;
    case ELOOP:
      number = kRefusedAttribute;
      why = "это символическая ссылка";
      break;
    case ENAMETOOLONG:
      number = kBadName;
      why = "слишком длинное имя";
      break;
    default:
      why = "ошибка ввода-вывода (системная ошибка " + std::to_string(err) + ")";
      break;
  }
  std::string description(what);
  description += ": ";
  description += why;
  return Error(number, std::move(description));
}

void raiseSystemError(int err, std::string_view what) { throw systemError(err, what); }

Error outOfMemory() { return Error(kOutOfMemory, "Недостаточно памяти"); }

}  // namespace platform
