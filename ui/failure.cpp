#include "ui/failure.h"

#include <new>
#include <stdexcept>

#include "platform/error.h"
#include "ui/words.h"
#include "words/errors.h"

namespace ui {
namespace {

// The number for a failure that no platform call raised (Visual Basic's own number for it).
constexpr int kInternalError = 51;

struct Described {
  int number;
  QString description;
};

Described describe(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const platform::Error& e) {
    return {e.number(), QString::fromStdString(words::ErrorText(e))};
  } catch (const std::bad_alloc&) {
    const platform::Error e = platform::outOfMemory();
    return {e.number(), QString::fromStdString(words::ErrorText(e))};
  } catch (const std::exception& e) {
    return {kInternalError,
            text::kInternalError + QStringLiteral(": ") + QString::fromUtf8(e.what())};
  } catch (...) {
    return {kInternalError, text::kInternalError};
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
