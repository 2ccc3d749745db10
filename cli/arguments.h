#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

/// The command line as tarvel-cli understood it; texts are still as typed (UTF-8) and files
/// are only named, not read.
struct Arguments {
  std::optional<std::string> find;         ///< --find TEXT
  std::optional<std::string> findFile;     ///< --find-file F
  std::optional<std::string> replace;      ///< --replace TEXT
  std::optional<std::string> replaceFile;  ///< --replace-file F
  bool ignoreCase = false;
  bool includeBinary = false;
  std::string extension;                   ///< --ext, already normalised: empty or ".xxx"
  std::optional<std::string> codePage;     ///< --codepage NAME
  std::optional<std::string> encoding;     ///< --encoding auto|utf-8|CODEPAGE
  bool yes = false;
  bool dryRun = false;
  bool skipUnmatched = false;
  bool hidden = false;                     ///< --hidden: enter hidden folders
  bool help = false;
  bool version = false;
  std::optional<std::string> path;         ///< the one operand
};

/// A command line that cannot be run; `what()` is the reason in Russian.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Parses the arguments after the program name. Options take "--name VALUE" or "--name=VALUE";
/// "--" ends the options. Raises UsageError for an unknown or repeated option, a missing
/// value, conflicting texts, a missing find or replacement text, or not exactly one PATH.
/// With --help or --version nothing else is required.
Arguments parseArguments(const std::vector<std::string>& args);

/// The one-line summary of how to call the program.
extern const char* const kUsageLine;

/// The full --help text; `utf8Locale`: plain ASCII files count as UTF-8.
std::string helpText(const std::string& defaultCodePage, bool utf8Locale);

}  // namespace cli
