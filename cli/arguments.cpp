#include "cli/arguments.h"

#include <cctype>
#include <limits>
#include <string_view>

#include "engine/run/path_rules.h"

namespace cli {
namespace {

const OptionSpec* findOption(std::string_view name) {
  for (const OptionSpec& o : Options()) {
    if (o.name == name) return &o;
  }
  return nullptr;
}

const OptionSpec* findShort(char name) {
  for (const OptionSpec& o : Options()) {
    if (o.shortName == name) return &o;
  }
  return nullptr;
}

void setOnce(std::optional<std::string>& slot, std::string_view name, const std::string& value) {
  if (slot) throw UsageError("параметр " + std::string(name) + " указан дважды");
  slot = value;
}

struct Parser {
  Arguments a;
  bool skipUnmatched = false;
  std::vector<std::string_view> given;  // the options named, long names, in order

  void apply(std::string_view name, const std::string& value) {
    given.push_back(findOption(name)->name);  // the table's own text, which lives on
    // Given again, --find and --replace make pairs.
    if (name == "--find") {
      a.finds.push_back(value);
      if (!a.find) a.find = value;
      return;
    }
    if (name == "--replace") {
      a.replaces.push_back(value);
      if (!a.replace) a.replace = value;
      return;
    }
    if (name == "--find-file") return setOnce(a.findFile, name, value);
    if (name == "--pairs") return setOnce(a.pairsFile, name, value);
    if (name == "--completion") {
      if (value != "bash" && value != "zsh" && value != "fish") {
        throw UsageError("--completion: нужно bash, zsh или fish, а не «" + value + "»");
      }
      return setOnce(a.completion, name, value);
    }
    if (name == "--replace-file") return setOnce(a.replaceFile, name, value);
    if (name == "--codepage") return setOnce(a.codePage, name, value);
    if (name == "--encoding") return setOnce(a.encoding, name, value);
    if (name == "--forget") return setOnce(a.forget, name, value);
    if (name == "--color") {
      if (value != "auto" && value != "always" && value != "never") {
        throw UsageError("--color: нужно auto, always или never, а не «" + value + "»");
      }
      a.color = value;
      return;
    }
    if (name == "--exclude" || name == "--include") {
      if (value.empty()) throw UsageError(std::string(name) + ": пустой шаблон");
      // Read by the rules of a .gitignore line, "/", "!" or "  " name no file at all.
      if (engine::PathRules probe; !probe.add(value)) {
        throw UsageError(std::string(name) + ": шаблон «" + value +
                         "» не подходит ни к одному файлу или папке");
      }
      (name == "--exclude" ? a.excludes : a.includes).push_back(value);
      return;
    }
    if (name == "--ext") {
      // Several extensions, by repeating the option or with commas: "txt,md".
      std::size_t at = 0;
      for (;;) {
        const std::size_t comma = value.find(',', at);
        const std::string one = NormalizeCliExtension(value.substr(at, comma - at));
        if (!one.empty()) a.extensions.push_back(one);
        if (comma == std::string::npos) return;
        at = comma + 1;
      }
    }
    if (name == "--max-size") {
      if (a.maxSize) throw UsageError("параметр --max-size указан дважды");
      a.maxSize = ParseSize(value);
      if (!a.maxSize) {
        throw UsageError("--max-size: нужен размер в байтах или с K, M, G, T (10M, 2G), а не «" +
                         value + "»");
      }
      return;
    }
    if (name == "--jobs") {
      if (a.jobs) throw UsageError("параметр --jobs указан дважды");
      const bool digits = !value.empty() && value.size() <= 4 &&
                          value.find_first_not_of("0123456789") == std::string::npos;
      const unsigned n = digits ? static_cast<unsigned>(std::stoul(value)) : 0;
      if (n < 1 || n > 256) throw UsageError("--jobs: нужно число от 1 до 256, а не «" + value + "»");
      a.jobs = n;
      return;
    }
    if (name == "--ignore-case") a.ignoreCase = true;
    if (name == "--exact-line-breaks") a.exactLineBreaks = true;
    if (name == "--word") a.wholeWords = true;
    if (name == "--regex") a.regex = true;
    if (name == "--preserve-case") a.preserveCase = a.ignoreCase = true;
    if (name == "--include-binary") a.includeBinary = true;
    if (name == "--yes") a.yes = true;
    if (name == "--stats") a.stats = true;
    if (name == "--dry-run") a.dryRun = true;
    if (name == "--diff") a.diff = true;
    if (name == "--interactive") a.interactive = true;
    if (name == "--skip-unmatched") skipUnmatched = true;
    if (name == "--rewrite-all") a.rewriteAll = true;
    if (name == "--hidden") a.hidden = true;
    if (name == "--no-ignore") a.noIgnore = true;
    if (name == "--runs") a.runs = true;
    if (name == "--no-undo") a.noUndo = true;
    if (name == "--help") a.help = true;
    if (name == "--version") a.version = true;
  }

  // The value of an option: the rest of this argument, or the next one.
  static std::string valueOf(const std::string& shown, std::string rest, bool attached,
                             const std::vector<std::string>& args, std::size_t& i) {
    if (attached) return rest;
    if (i + 1 < args.size()) return args[++i];
    throw UsageError("у параметра " + shown + " нет значения");
  }

  void longOption(const std::vector<std::string>& args, std::size_t& i) {
    const std::string& arg = args[i];
    const auto eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const OptionSpec* option = findOption(name);
    if (option == nullptr) throw UsageError("неизвестный параметр " + name);
    if (name == "--undo") {
      given.push_back(option->name);
      // "--undo", "--undo RUN" or "--undo=RUN".
      if (eq != std::string::npos) return setOnce(a.undo, name, arg.substr(eq + 1));
      const bool run = i + 1 < args.size() && !args[i + 1].starts_with('-');
      return setOnce(a.undo, name, run ? args[++i] : std::string());
    }
    if (option->kind == Kind::Flag) {
      if (eq != std::string::npos) throw UsageError("параметр " + name + " не принимает значения");
      return apply(name, {});
    }
    apply(name, valueOf(name, eq == std::string::npos ? "" : arg.substr(eq + 1),
                        eq != std::string::npos, args, i));
  }

  // "-iy", "-e txt", "-etxt", "-iye txt".
  void shortOptions(const std::vector<std::string>& args, std::size_t& i) {
    const std::string arg = args[i];
    for (std::size_t k = 1; k < arg.size(); ++k) {
      const OptionSpec* option = findShort(arg[k]);
      const std::string shown{'-', arg[k]};
      if (option == nullptr) throw UsageError("неизвестный параметр " + shown);
      if (option->kind == Kind::Flag) {
        apply(option->name, {});
        continue;
      }
      apply(option->name, valueOf(shown, arg.substr(k + 1), k + 1 < arg.size(), args, i));
      return;
    }
  }

  void checkComplete(std::vector<std::string> operands) {
    if (a.pairsFile && (a.find || a.findFile || a.replace || a.replaceFile)) {
      throw UsageError(
          "--pairs и --find, --find-file, --replace, --replace-file вместе не "
          "указываются: пары берутся из файла");
    }
    if (a.finds.size() > 1 || a.replaces.size() > 1) {
      if (a.findFile || a.replaceFile) {
        throw UsageError(
            "--find-file и --replace-file не указываются с несколькими --find: для "
            "многих пар есть --pairs ФАЙЛ");
      }
      if (a.replaces.size() != a.finds.size() && !(a.dryRun && a.replaces.empty())) {
        throw UsageError(
            "--find и --replace указаны не поровну (--find: " + std::to_string(a.finds.size()) +
            ", --replace: " + std::to_string(a.replaces.size()) +
            "): каждому --find нужен свой --replace (--find A --replace B --find C "
            "--replace D)");
      }
    } else {
      a.finds.clear();
      a.replaces.clear();
    }
    if (a.find && a.findFile) throw UsageError("--find и --find-file вместе не указываются");
    if (a.replace && a.replaceFile) {
      throw UsageError("--replace и --replace-file вместе не указываются");
    }
    if (skipUnmatched && a.rewriteAll) {
      throw UsageError("--skip-unmatched и --rewrite-all вместе не указываются");
    }
    if (!a.pairsFile && !a.find && !a.findFile) {
      // The order that users of sd and rpl type: FIND REPLACE PATH…
      if (a.replace || a.replaceFile) {
        throw UsageError("не указан искомый текст: нужен --find ТЕКСТ или --find-file ФАЙЛ");
      }
      if (operands.size() < 3) {
        throw UsageError(operands.empty()
                             ? "не указан искомый текст: нужен --find ТЕКСТ или ИСКОМОЕ ЗАМЕНА ПУТЬ"
                             : "нужны искомый текст, текст замены и хотя бы один путь: ИСКОМОЕ "
                               "ЗАМЕНА ПУТЬ…");
      }
      a.find = operands[0];
      a.replace = operands[1];
      operands.erase(operands.begin(), operands.begin() + 2);
    }
    if (a.find && a.find->empty()) throw UsageError("искомый текст пуст");
    if (!a.pairsFile && !a.replace && !a.replaceFile && !a.dryRun) {
      throw UsageError(
          "не указан текст замены: нужен --replace ТЕКСТ или --replace-file ФАЙЛ "
          "(чтобы удалить найденное, --replace \"\")");
    }
    if (operands.empty()) throw UsageError("не указан путь к файлу или папке");
    for (const std::string& path : operands) {
      if (path.empty()) throw UsageError("путь пуст");
      if (path == "-" && operands.size() > 1) {
        throw UsageError("- (стандартный ввод) указывается только как единственный путь");
      }
    }
    a.filter = operands.front() == "-";
    if (a.filter && a.dryRun && !a.diff) {
      throw UsageError("--dry-run применяется к - (стандартный ввод в стандартный вывод) "
                       "только вместе с --diff");
    }
    if (a.interactive && a.dryRun) {
      throw UsageError("--interactive и --dry-run вместе не указываются: -p спрашивает, что "
                       "заменить, -n ничего не заменяет");
    }
    if (a.maxSize && a.filter) {
      throw UsageError("--max-size не применяется к - (стандартный ввод заменяется целиком, "
                       "каким бы большим он ни был)");
    }
    if (a.interactive && a.filter) {
      throw UsageError("--interactive не применяется к - (стандартный ввод занят текстом)");
    }
    a.paths = std::move(operands);
  }
};

}  // namespace

const char* const kStoreUsageLines =
    "Использование: tarvel-cli --undo [ЗАМЕНА] [-n] [-y]\n"
    "       или:    tarvel-cli --runs\n"
    "       или:    tarvel-cli --forget ЗАМЕНА|all [-y]";

const char* const kUsageLine =
    "Использование: tarvel-cli [параметры] --find ТЕКСТ --replace ТЕКСТ ПУТЬ…\n"
    "       или:    tarvel-cli [параметры] ИСКОМОЕ ЗАМЕНА ПУТЬ…";

std::optional<std::uint64_t> ParseSize(const std::string& text) {
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 19) return std::nullopt;
  int shift = 0;
  if (digits < text.size()) {
    if (digits + 1 != text.size()) return std::nullopt;
    const std::string_view units = "KMGT";
    const std::size_t unit = units.find(static_cast<char>(std::toupper(text[digits])));
    if (unit == std::string_view::npos) return std::nullopt;
    shift = 10 * static_cast<int>(unit + 1);
  }
  const std::uint64_t n = std::stoull(text.substr(0, digits));
  if (n == 0 || n > (std::numeric_limits<std::uint64_t>::max() >> shift)) return std::nullopt;
  return n << shift;
}

std::string NormalizeCliExtension(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  std::string extension = text.substr(first, text.find_last_not_of(' ') - first + 1);
  if (extension.starts_with("*.")) extension.erase(0, 1);
  if (extension.front() != '.') extension.insert(extension.begin(), '.');
  return extension;
}

Arguments parseArguments(const std::vector<std::string>& args) {
  Parser p;
  std::vector<std::string> operands;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      operands.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg.starts_with("--")) {
      p.longOption(args, i);
    } else {
      p.shortOptions(args, i);
    }
  }
  if (p.a.undo || p.a.runs || p.a.forget) {
    // Taking a run back, listing the runs and dropping them work on the undo store alone.
    const std::string_view command = p.a.undo ? "--undo" : p.a.runs ? "--runs" : "--forget";
    if (!operands.empty()) {
      throw UsageError(std::string(command) + " не принимает ни текстов, ни путей");
    }
    for (std::string_view name : p.given) {
      const bool fits = name == command || name == "--help" || name == "--version" ||
                        (name == "--dry-run" && command == "--undo") ||
                        (name == "--yes" && command != "--runs");
      if (!fits) {
        throw UsageError("параметр " + std::string(name) + " не применяется к " +
                         std::string(command));
      }
    }
    if (p.a.forget && p.a.forget->empty()) {
      throw UsageError("--forget: укажите замену (из списка --runs) или all");
    }
    return p.a;
  }
  if (p.a.completion) {
    if (!operands.empty() || p.given.size() > 1) {
      throw UsageError("--completion указывается один, без других параметров и путей");
    }
    return p.a;
  }
  if (!p.a.help && !p.a.version) p.checkComplete(std::move(operands));
  return p.a;
}

}  // namespace cli
