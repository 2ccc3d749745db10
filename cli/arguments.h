#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

/// The command line as tarvel-cli understood it; texts are still as typed (UTF-8) and files
/// are only named, not read.
struct Arguments {
  std::optional<std::string> find;         ///< --find TEXT, or the first operand
  std::optional<std::string> findFile;     ///< --find-file F
  std::optional<std::string> replace;      ///< --replace TEXT, or the second operand
  std::optional<std::string> replaceFile;  ///< --replace-file F
  /// --find and --replace given more than once: each --find with the --replace of its place.
  std::vector<std::string> finds, replaces;
  std::optional<std::string> pairsFile;    ///< --pairs F: find texts and replacements, a line each
  bool stats = false;                      ///< --stats: the replacements of each pair
  bool ignoreCase = false;                 ///< -i
  bool exactLineBreaks = false;            ///< --exact-line-breaks
  bool wholeWords = false;                 ///< -w
  bool regex = false;                      ///< -E
  bool preserveCase = false;               ///< --preserve-case (implies -i)
  bool includeBinary = false;              ///< -B
  std::vector<std::string> extensions;     ///< -e/--ext, each normalised to ".xxx"
  std::vector<std::string> excludes;       ///< --exclude GLOB, in the order given
  std::vector<std::string> includes;       ///< --include GLOB, in the order given
  std::optional<std::uint64_t> maxSize;    ///< --max-size SIZE, in bytes
  std::optional<std::string> codePage;     ///< --codepage NAME
  std::optional<std::string> encoding;     ///< --encoding auto|utf-8|CODEPAGE
  bool yes = false;                        ///< -y
  bool dryRun = false;                     ///< -n
  bool diff = false;                       ///< --diff: each change as a unified diff
  bool interactive = false;                ///< -p: each occurrence asked about
  std::string color = "auto";              ///< --color auto|always|never
  bool rewriteAll = false;                 ///< --rewrite-all: the window's rule
  bool hidden = false;                     ///< -H: enter hidden folders
  bool noIgnore = false;                   ///< --no-ignore: walk what git ignores too
  std::optional<unsigned> jobs;            ///< -j N: files converted at once (cores by default)
  std::optional<std::string> undo;         ///< --undo [RUN]: empty for the last run
  bool runs = false;                       ///< --runs: list the runs that can be undone
  std::optional<std::string> forget;       ///< --forget RUN|all: drop runs from the store
  bool noUndo = false;                     ///< --no-undo: keep nothing for undo
  std::optional<std::string> completion;   ///< --completion SHELL: its completion script
  bool help = false;                       ///< -h
  bool version = false;                    ///< -V
  std::vector<std::string> paths;          ///< the files and folders, in the order given
  bool filter = false;                     ///< "-" as the only PATH: standard input to output
};

/// Whether an option takes a value.
enum class Kind { Flag, Value };
/// What an option's value may be, for the shells' completions.
enum class Values { None, Text, File, Encoding, CodePage, Colour, Run, Shell };

/// One option as the parser, --help and the completions know it.
struct OptionSpec {
  std::string_view name;   ///< "--find"
  char shortName;          ///< 'i', or 0 when it has none
  Kind kind;               ///< --undo takes an optional value: Flag, its RUN read apart
  std::string_view value;  ///< the value's name in the help ("ТЕКСТ"); empty for a flag
  Values values;
  std::string_view help;  ///< its lines in the help; "{codepage}" is the default code page
};

/// Every option, in the order --help lists them.
std::span<const OptionSpec> Options();

/// A command line that cannot be run; `what()` is the reason in Russian.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A call that cannot be carried out safely here (a temporary folder others could tamper
/// with): status 2, like a bad call, with its reason alone.
class Refusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Parses the arguments after the program name. Long options take "--name VALUE" or
/// "--name=VALUE", short ones "-e VALUE" or "-eVALUE", and flags may be joined ("-iy"); "--"
/// ends the options. Without --find and --find-file the operands are FIND REPLACE PATH…
/// (sd's and rpl's order). Raises UsageError for an unknown or repeated option, a missing
/// value, conflicting options, a missing text, or no PATH. With --help or --version nothing
/// else is required. --undo (with -n), --runs and --forget (with -y) work on the undo store
/// alone: any other option or operand with them is an error.
Arguments parseArguments(const std::vector<std::string>& args);

/// An extension as tarvel-cli takes it: "txt", ".txt" and "*.txt" all mean ".txt"; empty for
/// a text of spaces.
std::string NormalizeCliExtension(const std::string& text);

/// A size as --max-size takes it: bytes, or a number with K, M, G or T (by 1024, either case);
/// nothing for anything else, zero included.
std::optional<std::uint64_t> ParseSize(const std::string& text);

/// The one-line summary of how to call the program.
extern const char* const kUsageLine;
/// How to call the undo store's commands: --undo, --runs, --forget.
extern const char* const kStoreUsageLines;

/// The full --help text; `asciiAsUtf8`: plain ASCII files count as UTF-8 (the locale chose no
/// single-byte code page).
std::string helpText(const std::string& defaultCodePage, bool asciiAsUtf8);

}  // namespace cli
