#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace platform {

/// Failure numbers that Tarvel reports ("Error " + number + " " + description).
enum ErrorNumber : int {
  kBadCharacter = 5,       ///< a character the code page cannot hold
  kOverflow = 6,           ///< a file or a position beyond 2 GiB
  kOutOfMemory = 7,        ///< "Недостаточно памяти", in the window and tarvel-cli alike
  kBadName = 52,           ///< a name the system cannot take (too long)
  kNotFound = 53,          ///< no such file or folder
  kIoError = 57,           ///< any other input/output failure (the description names errno)
  kDiskFull = 61,          ///< no space left, quota exceeded
  kAccessRefused = 70,     ///< the system refused access
  kRefusedAttribute = 75,  ///< hidden, system or read-only file
  kIsFolder = 76,          ///< a folder where a file was expected
  kPathNotFound = 76,      ///< a folder path that names nothing
  kChanged = 78,           ///< the file changed while it was converted
};

/// Why the program leaves a file or folder alone on purpose: its own rules, not a failure of
/// the system's. Such a file is skipped, not failed.
enum class Refusal {
  None,
  Hidden,            ///< a hidden file
  System,            ///< a system file
  ReadOnly,          ///< no write bit, or immutable / append-only
  Link,              ///< a symbolic link
  Special,           ///< a pipe, a device, a socket
  FrozenFolder,      ///< a folder that takes no renames (chattr +i, +a)
  HiddenFolder,      ///< a hidden folder below the walked one
  KernelFileSystem,  ///< /proc, /sys and the like
  Root,              ///< the root of the whole file system
  OwnFolder,         ///< a folder of the program's own
};

/// The one failure type of the program: a number and a Russian description shaped
/// "what failed: why", and the system's error where one caused it. Raised where the system
/// fails, caught only where the program reports.
class Error : public std::runtime_error {
 public:
  Error(int number, std::string description, std::error_code cause = {});
  /// The step that failed ("Не удалось открыть файл") and why ("доступ запрещён").
  Error(int number, std::string step, std::string why, std::error_code cause);
  /// A file or folder the program refuses by its own rules.
  Error(Refusal refusal, std::string step, std::string why);

  int number() const { return m_number; }
  const std::string& description() const { return m_description; }
  /// The step that failed: the description before its ": ", or the whole of it.
  const std::string& step() const { return m_step; }
  /// Why it failed: the description after the step; empty where it was not given apart.
  const std::string& why() const { return m_why; }
  Refusal refusal() const { return m_refusal; }
  /// The system's error (errno) behind the failure; empty for the program's own refusals.
  const std::error_code& cause() const { return m_cause; }

  /// What the user can do about it, where a face of the program can say more.
  enum class Advice {
    None,
    ChooseEncoding,  ///< the file's encoding cannot be told: name it (tarvel-cli's --encoding)
  };
  Advice advice() const { return m_advice; }
  Error&& advise(Advice advice) && {
    m_advice = advice;
    return std::move(*this);
  }

 private:
  int m_number;
  std::string m_description;
  std::string m_step;
  std::string m_why;
  std::error_code m_cause;
  Refusal m_refusal = Refusal::None;
  Advice m_advice = Advice::None;
};

/// Builds the failure for a system call that set `err`: `what` says what failed
/// ("Не удалось открыть файл"), the table of causes adds why; an error the table does not know
/// shows its number and the system's own description.
Error systemError(int err, std::string_view what);

/// Raises systemError(err, what).
[[noreturn]] void raiseSystemError(int err, std::string_view what);

/// The failure for memory that could not be had.
Error outOfMemory();

}  // namespace platform
