#include "ui/failure.h"

#include <new>
#include <stdexcept>

#include "platform/error.h"

namespace ui {
namespace {

// Numbers for failures that no platform call raised (Visual Basic's own numbers for them).
constexpr int kOutOfMemory = 7;
constexpr int kInternalError = 51;

QString text(int number, const QString& description) {
  return QStringLiteral("Error ") + QString::number(number) + u' ' + description;
}

}  // namespace

QString failureText(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const platform::Error& e) {
    return text(e.number(), QString::fromStdString(e.description()));
  } catch (const std::bad_alloc&) {
    return text(kOutOfMemory, QStringLiteral("Недостаточно памяти"));
  } catch (const std::exception& e) {
    return text(kInternalError,
                QStringLiteral("Внутренняя ошибка программы: ") + QString::fromUtf8(e.what()));
  } catch (...) {
    return text(kInternalError, QStringLiteral("Внутренняя ошибка программы"));
  }
}

}  // namespace ui
