#pragma once

#include <QString>
#include <exception>

namespace ui {

/// The text of a failure message box: "Error " + number + " " + description. A platform::Error
/// gives its own number and description; anything else is reported as the program's own fault.
QString failureText(const std::exception_ptr& failure);

/// The description alone of a failure, as failureText gives it after the number.
QString failureDescription(const std::exception_ptr& failure);

}  // namespace ui
