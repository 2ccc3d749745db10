#include "cli/arguments.h"

#include <cctype>
#include <limits>
#include <string_view>

#include "engine/run/path_rules.h"
#include "engine/text/utf8.h"

namespace cli {
namespace {

// Every option, in the order --help lists them: the parser, the help and the shells'
// completions are all made from this one table.
constexpr OptionSpec kOptions[] = {
    {"--find", 0, Kind::Value, "ТЕКСТ", Values::Text,
     "искомый текст (или --find-file, или первый операнд)"},
    {"--find-file", 0, Kind::Value, "ФАЙЛ", Values::File,
     "искомый текст из файла (для многострочного текста): UTF-8, если\n"
     "файл в UTF-8, иначе байты кодовой страницы; не больше 64 МиБ"},
    {"--replace", 0, Kind::Value, "ТЕКСТ", Values::Text,
     "текст замены (или --replace-file; при -n не нужен)"},
    {"--replace-file", 0, Kind::Value, "ФАЙЛ", Values::File,
     "текст замены из файла, как --find-file"},
    {"--pairs", 0, Kind::Value, "ФАЙЛ", Values::File,
     "много замен сразу: по паре в строке, искомое и замена через\n"
     "табуляцию (\\t - табуляция, \\n - перевод строки, \\\\ - \\,\n"
     "\\# - # в начале); пустые строки и строки с # в начале\n"
     "пропускаются; файл в UTF-8. Или --find A --replace B --find C\n"
     "--replace D. Каждый файл просматривается один раз: на каждом\n"
     "месте побеждает пара, чьё вхождение начинается левее, из них\n"
     "самое длинное, из равных - указанная первой; заменённое не\n"
     "ищется снова, так что foo->bar и bar->foo меняют их местами.\n"
     "-i, -w, --preserve-case - для всех пар; с -E каждая пара -\n"
     "выражение, все вместе - одно выражение с ветвями по порядку\n"
     "(побеждает первая совпавшая ветвь, а не самая длинная),\n"
     "группы у каждой пары свои ($1 - первая группа её выражения)"},
    {"--stats", 0, Kind::Flag, "", Values::None,
     "после итога - сколько замен дала каждая пара (десять самых\n"
     "частых) и какие пары ничего не нашли"},
    {"--ignore-case", 'i', Kind::Flag, "", Values::None,
     "без учёта регистра символов (по умолчанию с учётом)"},
    {"--regex", 'E', Kind::Flag, "", Values::None,
     "искомый текст - регулярное выражение (PCRE2, по символам,\n"
     "\\w, \\b и классы знают кириллицу); в тексте замены $1,\n"
     "${1}, ${имя} - группы, $0 - всё совпадение, $$ - знак $;\n"
     "^ и $ - начало и конец файла ((?m) - строки), . не\n"
     "совпадает с переводом строки ((?s) - совпадает); перевод\n"
     "строки в выражении - как в тексте (см. --exact-line-breaks);\n"
     "метка UTF-8 в начале файла не входит в текст; байт без\n"
     "символа в кодовой странице остаётся тем же байтом; поиск\n"
     "дольше 2 с и ещё 1 с на МиБ файла - ошибка этого файла"},
    {"--word", 'w', Kind::Flag, "", Values::None,
     "только целые слова: до и после вхождения не буква (любого\n"
     "алфавита), не цифра и не подчёркивание; с -E, как grep -w,\n"
     "на месте, где совпадение не целое слово, пробуются другие\n"
     "(-w -E 'a|ab' заменяет ab)"},
    {"--preserve-case", 0, Kind::Flag, "", Values::None,
     "сохранять регистр заменяемого (включает -i): вхождение\n"
     "строчными - замена строчными, ПРОПИСНЫМИ - ПРОПИСНЫМИ, с\n"
     "Прописной - с Прописной, иначе замена как введена"},
    {"--exact-line-breaks", 0, Kind::Flag, "", Values::None,
     "перевод строки в текстах - ровно его байты (чтобы, например,\n"
     "заменить CR LF на LF); по умолчанию перевод строки, CR LF\n"
     "или LF, означает перевод строки файла: в искомом тексте\n"
     "совпадает и с CR LF, и с LF, в замене пишется таким, как во\n"
     "вхождении, а если там его нет - как первый в файле (LF в\n"
     "файле без переводов строки)"},
    {"--include-binary", 'B', Kind::Flag, "", Values::None,
     "изменять и бинарные файлы (по умолчанию они пропускаются)"},
    {"--ext", 'e', Kind::Value, "РАСШ", Values::Text,
     "в папке только файлы с этим расширением: txt, .txt и *.txt\n"
     "означают .txt; можно повторять или перечислять через запятую\n"
     "(txt,md); регистр букв учитывается"},
    {"--encoding", 0, Kind::Value, "КОД", Values::Encoding,
     "auto (по умолчанию) - у каждого файла своя, как сказано выше;\n"
     "utf-8 - все файлы в UTF-8 (с меткой UTF-16 - в UTF-16), файл\n"
     "с недопустимыми байтами не изменяется и попадает в отчёт;\n"
     "имя кодовой страницы - все файлы однобайтовые в ней, с меткой\n"
     "UTF-16 или без"},
    {"--codepage", 0, Kind::Value, "ИМЯ", Values::CodePage,
     "однобайтовая кодовая страница для файлов не в UTF-8, как её\n"
     "называет iconv (по умолчанию {codepage})"},
    {"--exclude", 0, Kind::Value, "ШАБЛОН", Values::Text,
     "не трогать файлы и папки, подходящие под шаблон, по правилам\n"
     "строки .gitignore относительно папки ПУТЬ: без / в начале\n"
     "или середине - по имени на любой глубине (*.min.js,\n"
     "node_modules), иначе по пути внутри папки (/build, src/*.gen.c,\n"
     "**/tmp); / в конце - только папки; ! впереди - вернуть\n"
     "исключённое ранее; папка не посещается; можно повторять;\n"
     "итог называет число исключённых, а шаблон, ни с чем не\n"
     "совпавший, называется в конце"},
    {"--include", 0, Kind::Value, "ШАБЛОН", Values::Text,
     "в папке только файлы, подходящие под шаблон (по тем же\n"
     "правилам); можно повторять"},
    {"--max-size", 0, Kind::Value, "РАЗМЕР", Values::Text,
     "не трогать файлы больше РАЗМЕРА: байты или с K, M, G, T\n"
     "(по 1024: 10M, 2G); каждый такой файл называется в отчёте"},
    {"--no-ignore", 0, Kind::Flag, "", Values::None,
     "в рабочем дереве git обходить и то, что git игнорирует (по\n"
     "умолчанию такие файлы и папки, по .gitignore на всех уровнях,\n"
     ".git/info/exclude, общему файлу пользователя и .ignore, не\n"
     "трогаются и только считаются в итоге); файлы, которые git\n"
     "отслеживает, обрабатываются всегда, а у вложенного\n"
     "репозитория свои правила; правила чужого репозитория,\n"
     "чужого файла или папки, куда могут писать другие\n"
     "пользователи, не применяются, и отчёт это называет"},
    {"--hidden", 'H', Kind::Flag, "", Values::None,
     "заходить и в скрытые папки и заменять и в скрытых файлах\n"
     "(.env, .gitlab-ci.yml, .github/workflows/*.yml); по умолчанию\n"
     "они пропускаются; .git и папки самой программы - всегда"},
    {"--rewrite-all", 0, Kind::Flag, "", Values::None,
     "перезаписывать и файлы без искомого текста, как окно Tarvel"},
    {"--skip-unmatched", 0, Kind::Flag, "", Values::None,
     "не трогать файлы без искомого текста (так и по умолчанию)"},
    {"--jobs", 'j', Kind::Value, "N", Values::Text,
     "сколько файлов обрабатывать одновременно (по умолчанию по\n"
     "числу ядер процессора); отчёт от этого не меняется"},
    {"--yes", 'y', Kind::Flag, "", Values::None, "не спрашивать подтверждения"},
    {"--dry-run", 'n', Kind::Flag, "", Values::None,
     "ничего не менять: перечислить файлы, которые изменятся, с\n"
     "числом замен и кодировкой каждого"},
    {"--diff", 0, Kind::Flag, "", Values::None,
     "показать каждое изменение как единый diff (--- a/ПУТЬ,\n"
     "+++ b/ПУТЬ, по три строки вокруг) в UTF-8, в какой бы\n"
     "кодировке ни был файл; с -n ничего не меняется, и вывод\n"
     "можно применить через patch -p1 или git apply; без -n\n"
     "записывается в точности показанное; отчёт тогда идёт в\n"
     "стандартный поток ошибок; на терминале управляющие\n"
     "символы в строках выводятся экранированными (\\r,\n"
     "\\x1b, \\u202e), а в файл или канал - байт в байт"},
    {"--interactive", 'p', Kind::Flag, "", Values::None,
     "показать каждое вхождение со строками вокруг и спросить\n"
     "«Заменить? [y/д,n/н,a,d,q,?]»: y или д - да, n или н -\n"
     "нет, a - это и остальные в файле, d - ни одного из\n"
     "остальных в файле, q - больше не спрашивать и записать\n"
     "принятое (любыми буквами: Y, Да, нет); нужен терминал"},
    {"--color", 0, Kind::Value, "КОГДА", Values::Colour,
     "цвет в --diff и -p: auto (на терминале, если не задан\n"
     "NO_COLOR), always или never"},
    {"--no-undo", 0, Kind::Flag, "", Values::None, "не сохранять прежние версии файлов для отмены"},
    {"--undo", 0, Kind::Flag, "[ЗАМЕНА]", Values::Run,
     "отменить последнюю ещё не отменённую замену (или названную,\n"
     "по имени или номеру): вернуть каждый файл, который с тех пор\n"
     "не менялся; следующий --undo берёт замену перед ней; с -n\n"
     "только перечислить; прерванная отмена доделывается так же;\n"
     "спрашивает подтверждение, если нет --yes"},
    {"--runs", 0, Kind::Flag, "", Values::None,
     "перечислить сохранённые замены (и отменённые), место, которое\n"
     "они занимают, и какую возьмёт следующий --undo"},
    {"--forget", 0, Kind::Value, "ЗАМЕНА|all", Values::Run,
     "удалить сохранённые версии файлов этой замены (или всех);\n"
     "спрашивает подтверждение, если нет --yes"},
    {"--completion", 0, Kind::Value, "ОБОЛОЧКА", Values::Shell,
     "напечатать сценарий дополнения параметров для bash, zsh или\n"
     "fish (пакет и cmake --install ставят их сами)"},
    {"--help", 'h', Kind::Flag, "", Values::None, "эта справка"},
    {"--version", 'V', Kind::Flag, "", Values::None, "версия программы"},
};

}  // namespace

std::span<const OptionSpec> Options() { return kOptions; }

namespace {

const OptionSpec* findOption(std::string_view name) {
  for (const OptionSpec& o : kOptions) {
    if (o.name == name) return &o;
  }
  return nullptr;
}

const OptionSpec* findShort(char name) {
  for (const OptionSpec& o : kOptions) {
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

namespace {

// The options' part of the help, from the table: each option's names, then its lines, the
// first beside the names, the others below them.
std::string optionsHelp(const std::string& defaultCodePage) {
  constexpr std::size_t kColumn = 23;  // where the lines begin, in characters
  std::string out;
  for (const OptionSpec& o : kOptions) {
    std::string names = "  ";
    if (o.shortName != 0) names += std::string{'-', o.shortName} + ", ";
    names += o.name;
    if (!o.value.empty()) names += " " + std::string(o.value);
    std::string help(o.help);
    if (const auto at = help.find("{codepage}"); at != std::string::npos) {
      help.replace(at, 10, defaultCodePage);
    }
    const std::size_t width = engine::utf8::countCharacters(names);
    out += names + std::string(width + 2 <= kColumn ? kColumn - width : 2, ' ');
    for (std::size_t at = 0;;) {
      const std::size_t end = help.find('\n', at);
      out += help.substr(at, end - at) + "\n";
      if (end == std::string::npos) break;
      out += std::string(kColumn, ' ');
      at = end + 1;
    }
  }
  return out;
}

}  // namespace

std::string helpText(const std::string& defaultCodePage, bool asciiAsUtf8) {
  return std::string(kUsageLine) +
         "\n"
         "\n"
         "Заменяет все сочетания символов искомого текста на текст замены в каждом файле ПУТЬ и\n"
         "во всех файлах каждой папки ПУТЬ и её вложенных подпапок, по тем же правилам, что и\n"
         "окно Tarvel: каждый файл переписывается через рабочий файл и одним переименованием,\n"
         "файлы без искомого текста не трогаются, ссылки не обходятся, скрытые папки не\n"
         "посещаются, системные, скрытые (без -H) и файлы только для чтения не перезаписываются; "
         "размер\n"
         "файла не ограничен (кроме --max-size). Корневая папка и служебные файловые системы\n"
         "(/proc, /sys) не обходятся.\n"
         "\n"
         "Кодировка каждого файла определяется по его байтам: файл, целиком правильный в UTF-8\n"
         "и содержащий не только ASCII (или начинающийся с метки UTF-8), читается как UTF-8,\n"
         "и тексты сравниваются по символам; файл без единого символа UTF-8 за пределами ASCII -\n"
         "как однобайтовый текст в кодовой странице (--codepage). Файл почти целиком в UTF-8, но\n"
         "с несколькими чужими байтами (вставленное слово в другой кодировке, символ, обрезанный\n"
         "в конце) не изменяется и попадает в отчёт: его кодировку задаёт --encoding. Файл только\n"
         "из символов ASCII получает текст " +
         (asciiAsUtf8 ? std::string("замены в UTF-8, как принято в этой системе.\n")
                      : "замены в кодовой странице.\n") +
         "Файл, начинающийся с метки UTF-16 (FF FE или FE FF), читается как UTF-16 и\n"
         "записывается обратно в том же порядке байтов, с меткой; файл, неправильный в UTF-16\n"
         "после метки, не изменяется и попадает в отчёт.\n"
         "Бинарный файл - файл с байтом меньше 32, кроме табуляции, перевода строки,\n"
         "вертикальной табуляции, перевода страницы и возврата каретки (NUL, ESC и т. п.);\n"
         "в UTF-16 - с таким символом.\n"
         "\n"
         "Параметры:\n" +
         optionsHelp(defaultCodePage) +
         "\n"
         "ПУТЬ - (единственный) - фильтр: стандартный ввод читается как файл и выводится с\n"
         "заменами в стандартный вывод; для отмены ничего не сохраняется.\n"
         "\n"
         "ТЕКСТ в командной строке читается как UTF-8. Если текст замены нельзя записать в\n"
         "кодовой странице файла, где найден искомый текст, этот файл не изменяется и попадает\n"
         "в отчёт. Без --yes программа спрашивает подтверждение в терминале; без терминала и\n"
         "без --yes она ничего не меняет. В конце печатается итог: сколько файлов просмотрено,\n"
         "изменено, сколько замен, сколько файлов без изменений (без искомого текста), сколько\n"
         "пропущено (бинарные, защищённые) и сколько ошибок; отдельно - сколько папок не\n"
         "обойдено (скрытые и недоступные) и сколько ссылок пропущено.\n"
         "\n"
         "Прежние версии изменённых файлов последних 10 замен хранятся в\n"
         "$XDG_STATE_HOME/tarvel/undo (по умолчанию ~/.local/state/tarvel/undo). Отмена\n"
         "возвращает файл, только если он остался в точности таким, каким его записала замена;\n"
         "изменённые и удалённые с тех пор файлы остаются как есть и перечисляются, и тогда\n"
         "код завершения 1.\n"
         "\n"
         "Код завершения:\n"
         "  0        все файлы заменены или намеренно пропущены (скрытые, системные, только для\n"
         "           чтения, ссылки и бинарные файлы попадают в отчёт, но ошибкой не считаются)\n"
         "  1        хотя бы одна ошибка: файл или папку не удалось прочитать или записать, файл\n"
         "           изменился во время замены, текст нельзя записать в его кодировке; или\n"
         "           замена не подтверждена; или отчёт не удалось вывести\n"
         "  2        неверный вызов (ничего не изменено)\n"
         "  128+N    прервано сигналом N: 130 - Ctrl+C, 143 - SIGTERM, 129 - SIGHUP; 141 -\n"
         "           читатель вывода закрыл его (| head): файлы при этом обработаны\n";
}

}  // namespace cli
