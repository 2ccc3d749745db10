#include "platform/error.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace platform {

Error::Error(int number, std::string description, std::error_code cause)
    : std::runtime_error(description),
      m_number(number),
      m_description(std::move(description)),
      m_step(m_description),
      m_cause(cause) {}

Error::Error(int number, std::string step, std::string why, std::error_code cause)
    : std::runtime_error(step + ": " + why),
      m_number(number),
      m_description(step + ": " + why),
      m_step(std::move(step)),
      m_why(std::move(why)),
      m_cause(cause) {}

Error::Error(Refusal refusal, std::string step, std::string why)
    : Error(kRefusedAttribute, std::move(step), std::move(why), {}) {
  m_refusal = refusal;
}

namespace {

struct Wording {
  int number;
  const char* why;  // nullptr: the system's own words
};

Wording wordingOf(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return {kNotFound, "файл или папка не найдены"};
    case EACCES:
      return {kAccessRefused, "доступ запрещён"};
    case EPERM:
      return {kAccessRefused, "операция не разрешена"};
    case EROFS:
      return {kAccessRefused, "файловая система только для чтения"};
    case ETXTBSY:
      return {kAccessRefused, "файл занят"};
    case EBUSY:
      return {kAccessRefused, "файл или папка заняты системой"};
    case ENOSPC:
      return {kDiskFull, "диск заполнен"};
    case EDQUOT:
      return {kDiskFull, "превышена дисковая квота"};
    case EISDIR:
      return {kIsFolder, "это папка, а не файл"};
    case EFBIG:
    case EOVERFLOW:
      return {kOverflow, "переполнение: файл слишком велик"};
    case ELOOP:
      return {kRefusedAttribute, "это символическая ссылка"};
    case ENAMETOOLONG:
      return {kBadName, "слишком длинное имя"};
    case ENOMEM:
      return {kOutOfMemory, "недостаточно памяти"};
    case EIO:
      return {kIoError, "ошибка ввода-вывода (системная ошибка 5)"};
    default:
      return {kIoError, nullptr};
  }
}

}  // namespace

Error systemError(int err, std::string_view what) {
  const Wording w = wordingOf(err);
  std::string why;
  if (w.why != nullptr) {
    why = w.why;
  } else {
    // No words of ours: the number and the system's own description (in the user's language
    // where the system has it).
    char buffer[256];
    why = "системная ошибка " + std::to_string(err) + " (" + strerror_r(err, buffer, sizeof buffer) +
          ")";
  }
  return Error(w.number, std::string(what), std::move(why),
               std::error_code(err, std::generic_category()));
}

void raiseSystemError(int err, std::string_view what) { throw systemError(err, what); }

Error outOfMemory() { return Error(kOutOfMemory, "Недостаточно памяти"); }

}  // namespace platform
