#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

namespace platform {

/// Failure numbers that Tarvel reports ("Error " + number + " " + description).
enum ErrorNumber : int {
  kBadCharacter = 5,       ///< a character the code page cannot hold
  kOverflow = 6,           ///< a size or a position beyond what can be held
  kOutOfMemory = 7,        ///< memory that could not be had, in the window and tarvel-cli alike
  kTooComplex = 28,        ///< a search that ran out of its steps or its stack
  kBadName = 52,           ///< a name the system cannot take (too long)
  kNotFound = 53,          ///< no such file or folder
  kIoError = 57,           ///< any other input/output failure (the description names errno)
  kDiskFull = 61,          ///< no space left, quota exceeded
  kAccessRefused = 70,     ///< the system refused access
  kRefusedAttribute = 75,  ///< hidden, system or read-only file
  kIsFolder = 76,          ///< a folder where a file was expected
  kPathNotFound = 76,      ///< a folder path that names nothing
  kChanged = 78,           ///< the file changed while it was converted
  kBadPattern = 93,        ///< a regular expression, or its replacement, that cannot be read
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
  TooLarge,          ///< a file larger than the run's limit
};

/// The step that failed: what the program was doing. Each face words it.
enum class Step {
  None,  ///< the failure is the whole story (a run that does not exist, memory)
  OpenFile,
  OpenFileOrFolder,
  FindProgramFolder,
  ReadFile,
  ReadFileAsUtf8,
  ReplaceFile,
  OpenFolder,
  ReadFolder,
  ReadAttributes,
  ReadExtendedAttributes,
  CopyExtendedAttribute,  ///< `subject`: the attribute's name
  KeepOwner,
  KeepPermissions,
  DropInheritedAccess,
  OpenWorkFolder,
  CreateWorkFolder,
  OpenWorkFile,
  WriteWorkFile,
  CloseWorkFile,
  CreateTemporaryFile,
  WriteTemporaryFile,
  ReadTemporaryFile,
  CreateStagedFile,  ///< the copy written next to the user's file
  WriteStagedFile,
  ReadInput,
  WriteOutput,
  Recode,
  OpenUndoStore,
  CreateUndoStore,
  ReadUndoStore,
  CheckUndoStore,  ///< the store's path is not safe
  KeepOriginal,
  WriteJournal,
  ReadJournal,
  OpenRunJournal,
  OpenRun,  ///< `subject`: the run
  MarkRun,  ///< `subject`: the run
  DropRun,
  WriteUndoProgress,
  RestoreOriginal,  // the last: the words of every step are checked up to it
};

/// Why the step failed, where it is not the system's error itself.
enum class Why {
  System,  ///< the system's error: cause()
  OutOfMemory,
  ChangedWhileRead,    ///< the file changed while it was converted
  ChangedSinceReview,  ///< the file is no longer as it was when its changes were shown
  ChangedByOther,      ///< the old file was written to during its replacement; `subject`: where
                       ///< its latest content is kept (empty: nowhere)
  Swapped,             ///< another file was put in its place while it was opened
  FolderMoved,         ///< a folder moved while it was walked
  LargerThanLimit,     ///< a file larger than the run's limit (tarvel-cli --max-size)
  MatchTooLong,        ///< a match of 4 GiB or more, which a plan cannot hold
  IsFolder,
  NotRegular,  ///< a pipe or device
  IsLink,      ///< a symbolic link, never followed
  NotRegularWorkFile,
  OwnWorkFile,  ///< the program's own work file
  WorkFolderRemoved,
  WorkFileNotOurs,         ///< another user's, or with other names
  PrivateFolderUnsafe,     ///< another user's, or open to others
  LockedByOtherUser,       ///< `value`: the process that holds the lock
  LockedTooLong,           ///< held by another program for 60 seconds
  LockedByOtherCopy,       ///< the work file or the store, held by another copy too long
  StoreLockedByOtherCopy,  ///< the undo store's lock
  LockBudgetSpent,         ///< the run has waited for locks for 60 seconds in all
  NoLinkAllowed,           ///< the system lets no hard link be made
  KeptOriginalMissing,
  BadUtf8,            ///< a text that is not UTF-8
  BadUtf8At,          ///< `value`: the position (from 1); `marked`: after a byte-order mark
  AlmostUtf8,         ///< `value`: the position (from 1) of the one byte that is not
  BadUtf16At,         ///< `value`: the position (from 1) of a lone surrogate or an odd last byte
  NotInCodePage,      ///< `subject`: the character; `detail`: its code; `page`
  NoCharacterInPage,  ///< `subject`: the byte, "0xNN"
  HiddenFile,
  SystemFile,
  ReadOnlyFile,
  ImmutableFolder,
  AppendOnlyFolder,
  HiddenFolder,
  KernelFileSystem,  ///< `subject`: its type
  RootFolder,        ///< the root of the whole file system, named as the folder to walk
  RootBelow,         ///< the same, met below the walked folder (a bind mount)
  OwnFolder,
  OtherRunFolder,
  NoHome,
  PathNotFound,           ///< a target that names nothing (the window's words)
  Unknown,                ///< no more is known
  StoreNotFolder,         ///< `subject`: the path
  StoreOtherOwner,        ///< `subject`: the path
  StoreOpenToOthers,      ///< `subject`: the path
  StoreWritableByOthers,  ///< `subject`: the path
  NothingToUndo,
  NoSuchRun,          ///< `subject`: the name given
  RunOfOlderVersion,  ///< `subject`: the run
  RunGoing,           ///< `subject`: the run
  RunGoingOrUndone,   ///< `subject`: the run (or another copy is undoing it)
  RunUndone,          ///< `subject`: the run
  BadPattern,         ///< an invalid regular expression; `subject`: PCRE2's error code;
                      ///< `detail`: PCRE2's reason (English);
                      ///< `value`: the character (from 1) where it was found, 0 if none
  BadReference,       ///< a `$` in the replacement that begins no group reference; `value`:
                      ///< its character (from 1)
  NoSuchGroup,        ///< the replacement names a group the expression lacks; `subject`: its
                      ///< number or name; `value`: the character (from 1) of its `$`
  SearchTooLong,      ///< a file's search by a regular expression ran past its time
  PatternTooComplex,  ///< a search ran past its limits; `detail`: which (PCRE2's words); the
                      ///< last: every reason's words are checked
};

/// The one failure type of the program: a number, the step that failed and why, the system's
/// error where one caused it, and what it is about. Raised where the system fails, caught only
/// where the program reports; the faces word it.
class Error : public std::exception {
 public:
  Error(int number, Step step, Why why, std::error_code cause = {})
      : m_number(number), m_step(step), m_why(why), m_cause(cause) {}
  /// A file or folder the program refuses by its own rules.
  Error(Refusal refusal, Step step, Why why)
      : Error(kRefusedAttribute, step, why) {
    m_refusal = refusal;
  }

  const char* what() const noexcept override { return "platform::Error"; }

  int number() const { return m_number; }
  Step step() const { return m_step; }
  Why why() const { return m_why; }
  Refusal refusal() const { return m_refusal; }
  /// The system's error (errno) behind the failure; empty for the program's own refusals.
  const std::error_code& cause() const { return m_cause; }
  /// What it is about, where the words need it: a run, a path, a character (see Why, Step).
  const std::string& subject() const { return m_subject; }
  const std::string& detail() const { return m_detail; }
  std::uint64_t value() const { return m_value; }
  bool marked() const { return m_marked; }

  Error&& about(std::string subject) && {
    m_subject = std::move(subject);
    return std::move(*this);
  }
  Error&& with(std::string detail) && {
    m_detail = std::move(detail);
    return std::move(*this);
  }
  Error&& at(std::uint64_t value, bool marked = false) && {
    m_value = value;
    m_marked = marked;
    return std::move(*this);
  }

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
  Step m_step;
  Why m_why;
  std::error_code m_cause;
  Refusal m_refusal = Refusal::None;
  std::string m_subject;
  std::string m_detail;
  std::uint64_t m_value = 0;
  bool m_marked = false;
  Advice m_advice = Advice::None;
};

/// The failure number of a system call that set `err`.
int numberOf(int err);

/// The failure of `step`, a system call of which set `err`.
Error systemError(int err, Step step);

/// Raises systemError(err, step).
[[noreturn]] void raiseSystemError(int err, Step step);

/// The failure for memory that could not be had.
Error outOfMemory();

}  // namespace platform
