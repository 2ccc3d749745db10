#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/text/pairs.h"
#include "engine/undo/undo.h"

// tarvel-cli's own words: its questions and their refusals, its progress line, the closing
// lines of a run, the list of runs and what undo and --forget say. The words both faces share
// are in words/; the usage and help text, and the refusals of a bad call, stay with the parser
// and the checks of the call that they describe (arguments.cpp, job.cpp).
namespace cli::text {

inline constexpr char kSeeHelp[] = "Подробнее: tarvel-cli --help";
inline constexpr char kInterrupted[] = "операция прервана";
inline constexpr char kOutputClosedAtStart[] = "стандартный вывод закрыт: результату некуда выйти";
inline constexpr char kReportFailed[] = "не удалось вывести отчёт";
inline constexpr char kBinaryInput[] = "на стандартном вводе бинарные данные: выведены без изменений";
inline constexpr char kNoChanges[] = "Изменений не было";
inline constexpr char kRunDeclined[] = "Замена отменена, файлы не изменены.";
inline constexpr char kUndoDeclined[] = "Отмена не выполнена, файлы не изменены.";
inline constexpr char kNothingForgotten[] = "Ничего не удалено.";
inline constexpr char kNoRuns[] = "Замен, которые можно отменить, нет.";
inline constexpr char kPrompt[] = " (да/нет): ";

/// The question of --interactive, and what it says to anything but its answers.
inline constexpr char kReplaceQuestion[] = "Заменить? [y/д,n/н,a,d,q,?] ";
inline constexpr char kReplaceQuestionHelp[] =
    "y, д - заменить это вхождение\n"
    "n, н - не заменять его\n"
    "a - заменить это и остальные вхождения в этом файле\n"
    "d - не заменять ни это, ни остальные вхождения в этом файле\n"
    "q - больше не спрашивать: записать то, что принято\n"
    "? - эта справка\n";
inline constexpr char kNoTerminalToAsk[] =
    "--interactive спрашивает о каждом вхождении в терминале, а стандартный ввод не терминал";
inline constexpr char kNothingAccepted[] = "Ни одна замена не принята, файлы не изменены.";

/// The heading of an occurrence that --interactive asks about: "путь:строка:столбец (i из n)".
std::string OccurrenceHeading(const std::string& path, std::uint64_t line, std::uint32_t column,
                              std::size_t index, std::size_t count);

/// Said once when --diff or -p has shown a line of a file with its control characters escaped.
inline constexpr char kEscapedInShownLines[] =
    "управляющие символы в показанных строках выведены как \\r, \\x1b, \\u202e и т. п.; "
    "в самих файлах они остаются как есть";

/// The line above a diff of a file not in UTF-8.
std::string DiffEncodingLine(const std::string& encoding);

/// The window's warning, for several paths at once.
std::string SeveralPathsWarning(const std::vector<std::string>& paths, const std::string& find,
                                const std::string& replace, bool regex);

/// The answers that mean yes, lower case: "y", "yes", "д", "да".
bool IsYesWord(const std::string& word);

/// The refusal to ask without a terminal; `doing`: "заменять", "отменять", "удалять".
std::string NoTerminalText(const char* doing);
inline constexpr char kReplacing[] = "заменять";
inline constexpr char kUndoing[] = "отменять";
inline constexpr char kForgetting[] = "удалять";

/// The progress line: "Обработано файлов: N", then what the run waits for, if anything.
std::string ProgressText(std::size_t files, const std::string& waitingFor);

/// A run in the list of --runs, and the list's last line.
/// `next`: the run `--undo` takes when no run is named.
std::string RunListLine(const engine::UndoRunInfo& run, bool next = false);
/// Every run kept has been undone: `--undo` has nothing left to take.
inline constexpr char kAllUndone[] =
    "больше нечего отменять: все сохранённые замены уже отменены (список: tarvel-cli --runs)";
std::string RunsTotalLine(std::uint64_t bytes, const std::string& store);

/// A run --undo cannot find: one the store dropped for its limit says so.
std::string RunDroppedText(const std::string& id);
/// ... and one deleted by --forget.
std::string RunForgottenText(const std::string& id);
std::string NoSuchRunText(const std::string& id, bool withList);

/// The last line of an undo that left files to try again.
std::string UndoUnfinishedLine(const engine::UndoOutcome& outcome);

/// The question of --forget, and its last line.
std::string ForgetQuestion(bool all, const std::string& id, std::size_t files, std::uint64_t bytes);
std::string ForgottenLine(std::size_t runs);

/// --stats: the line before the pairs that replaced most, each such pair with its count, and
/// a pair that found nothing (named as an --exclude pattern that matched nothing is).
std::string PairsStatsHeading(bool dryRun);
/// -p: which pair an occurrence is of.
std::string PairShownText(const engine::Pair& pair, bool fromFile);
std::string PairCountLine(const engine::Pair& pair, bool fromFile, std::size_t count);
std::string UnusedPairLine(const engine::Pair& pair, bool fromFile);

}  // namespace cli::text
