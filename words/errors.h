#pragma once

#include <string>

#include "platform/error.h"

namespace words {

/// A failure as both faces word it: "what failed: why" ("Не удалось открыть файл: доступ
/// запрещён"), or the reason alone where no step failed ("нет замены «4»").
std::string ErrorText(const platform::Error& error);

/// A failure as a message box or tarvel-cli says it whole: "Ошибка N <what failed: why>".
std::string FailureText(const platform::Error& error);

/// Why it failed, without the step: "файл скрытый", "доступ запрещён".
std::string ReasonText(const platform::Error& error);

/// Why a system call failed (errno), as the program words it; an error without words of its own
/// shows its number and the system's description.
std::string SystemReason(int err);

}  // namespace words
