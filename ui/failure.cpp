#include "ui/failure.h"

#include <new>
#include <stdexcept>

#include "platform/error.h"

namespace ui {
namespace {

// Numbers for failures that no platform call raised (Visual Basic's own numbers for them).
constexpr int kOutOfMemory = 7;
constexpr int kInternalError = 51;

struct Described {
  int number;
  QString description;
};

Described describe(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const platform::Error& e) {
    return {e.number(), QString::fromStdString(e.description())};
  } catch (const std::bad_alloc&) {
    return {kOutOfMemory, QStringLiteral("Недостаточно памяти")};
  } catch (const std::exception& e) {
    return {kInternalError,
            QStringLiteral("Внутренняя ошибка программы: ") + QString::fromUtf8(e.what())};
  } catch (...) {
    return {kInternalError, QStringLiteral("Внутренняя ошибка программы")};
  }
}

}  // namespace

QString failureText(const std::exception_ptr& failure) {
  const Described d = describe(failure);
  return QStringLiteral("Error ") + QString::number(d.number) + u' ' + d.description;
}

QString failureDescription(const std::exception_ptr& failure) {
  return describe(failure).description;
}

}  // namespace ui
