#pragma once

#include <string>

#include "engine/run/run_item.h"
#include "engine/text/file_kind.h"
#include "platform/error.h"

namespace words {

/// What the words of a run depend on besides its items.
struct WordingContext {
  std::string codePageName;  ///< how a file read single-byte is named
  bool dryRun = false;       ///< items say what would happen
};

/// How a file was read: "UTF-8", the code page's name, "двоичный".
std::string KindName(engine::FileKind kind, const std::string& codePageName);

/// The line for a file skipped as binary (the path shown as ShownPath shows it).
std::string BinaryFileLine(const std::string& path);

/// "!_ Ошибка N <description> - <folder>/<name>", the path shown as ShownPath shows it.
std::string FailureLine(int number, const std::string& description, const std::string& folder,
                        const std::string& name);

/// The window's line for `item` ("!_  Бинарный файл: …", "!_ Ошибка N … - …", a dry run's
/// "Замен: 3 (UTF-8) - …", a walk's "правила игнорирования репозитория … не применяются: он
/// принадлежит другому пользователю"); empty where the window says nothing.
std::string WindowLine(const engine::RunItem& item, const WordingContext& context);

/// The window's preview's line for a file the program's own rules refuse (`item` Skipped as
/// Refused, with its error): "!_  не будет заменён: файл только для чтения - <path>".
std::string NotReplacedLine(const engine::RunItem& item);

/// tarvel-cli's line for `item`: as the window's, but a file or folder left alone on purpose
/// reads "!_  пропущен: <why> - <path>", a failure carries the advice of the command line, and
/// the only PATH fails as the window's message box words it ("Error N …") when `only`.
std::string TerminalLine(const engine::RunItem& item, const WordingContext& context, bool only);

/// "Файлов: M, изменено: N, замен: K, без изменений: U, пропущено: S, ошибок: F", then, where
/// there are any, ", папок не обойдено: P", ", ссылок пропущено: L", ", исключено: X". A dry run
/// says what would happen: "будет изменено: N, замен будет: K".
std::string SummaryLine(const engine::RunTally& tally, bool dryRun = false);

/// The window's summary: as SummaryLine, but a file refused by the program's own rules is
/// counted among the errors, as the window's line for it reads "Ошибка N …", and the files
/// rewritten without an occurrence are told apart from those left alone: "…, замен: K,
/// переписано без изменений: R, без изменений: U, …". A dry run keeps the refused files among
/// the skipped ones, as its lines say they will not be replaced.
std::string WindowSummaryLine(const engine::RunTally& tally, bool dryRun = false);

/// After a summary without a single occurrence found in a file that was read: how the files
/// were read and what could find more; empty otherwise. For tarvel-cli, whose options it names.
/// "шаблон --exclude «build/» ни с чем не совпал": a pattern of `option` that matched no file
/// or folder in the whole run.
std::string UnusedPatternLine(const std::string& option, const std::string& pattern);

std::string NothingFoundLine(const engine::RunTally& tally, const WordingContext& context,
                             bool caseSensitive);

/// Why the run cannot be undone, or only in part: "эту замену нельзя будет отменить: <why>";
/// `sentence`: with a capital letter, as a line of its own.
std::string UndoProblemLine(bool partial, const platform::Error& problem, bool sentence);

/// What a run waits for while another program holds a lock: "ждёт папку отмены: её занимает
/// другая копия программы".
std::string LockWaitText(platform::Why what);

/// What a run that was stopped says last: "Замена остановлена. Обработано файлов: N."; a dry
/// run (a preview) "Просмотр остановлен. …".
std::string StoppedLine(std::size_t files, bool dryRun = false);

}  // namespace words
