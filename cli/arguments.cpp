#include "cli/arguments.h"

#include <string_view>

#include "engine/messages.h"

namespace cli {
namespace {

enum class Kind { Flag, Value };

struct OptionSpec {
  std::string_view name;
  Kind kind;
};

constexpr OptionSpec kOptions[] = {
    {"--find", Kind::Value},       {"--find-file", Kind::Value},   {"--replace", Kind::Value},
    {"--replace-file", Kind::Value}, {"--ext", Kind::Value},       {"--codepage", Kind::Value},
    {"--encoding", Kind::Value},
    {"--ignore-case", Kind::Flag}, {"--include-binary", Kind::Flag}, {"--yes", Kind::Flag},
    {"--dry-run", Kind::Flag},     {"--skip-unmatched", Kind::Flag}, {"--help", Kind::Flag},
    {"--hidden", Kind::Flag},
    {"--version", Kind::Flag},
};

const OptionSpec* findOption(std::string_view name) {
  for (const OptionSpec& o : kOptions) {
    if (o.name == name) return &o;
  }
  return nullptr;
}

void setOnce(std::optional<std::string>& slot, std::string_view name, const std::string& value) {
  if (slot) throw UsageError("параметр " + std::string(name) + " указан дважды");
  slot = value;
}

void apply(Arguments& a, std::string_view name, const std::string& value) {
  if (name == "--find") return setOnce(a.find, name, value);
  if (name == "--find-file") return setOnce(a.findFile, name, value);
  if (name == "--replace") return setOnce(a.replace, name, value);
  if (name == "--replace-file") return setOnce(a.replaceFile, name, value);
  if (name == "--codepage") return setOnce(a.codePage, name, value);
  if (name == "--encoding") return setOnce(a.encoding, name, value);
  if (name == "--ignore-case") a.ignoreCase = true;
  if (name == "--include-binary") a.includeBinary = true;
  if (name == "--yes") a.yes = true;
  if (name == "--dry-run") a.dryRun = true;
  if (name == "--skip-unmatched") a.skipUnmatched = true;
  if (name == "--hidden") a.hidden = true;
  if (name == "--help") a.help = true;
  if (name == "--version") a.version = true;
}

void checkComplete(const Arguments& a, std::size_t operands) {
  if (a.find && a.findFile) throw UsageError("--find и --find-file вместе не указываются");
  if (a.replace && a.replaceFile) {
    throw UsageError("--replace и --replace-file вместе не указываются");
  }
  if (!a.find && !a.findFile) {
    throw UsageError("не указан искомый текст: нужен --find ТЕКСТ или --find-file ФАЙЛ");
  }
  if (a.find && a.find->empty()) throw UsageError("искомый текст пуст");
  if (!a.replace && !a.replaceFile && !a.dryRun) {
    throw UsageError(
        "не указан текст замены: нужен --replace ТЕКСТ или --replace-file ФАЙЛ "
        "(чтобы удалить найденное, --replace \"\")");
  }
  if (operands == 0) throw UsageError("не указан путь к файлу или папке");
  if (operands > 1) throw UsageError("указано больше одного пути");
  if (a.path->empty()) throw UsageError("путь пуст");
}

}  // namespace

const char* const kUsageLine =
    "Использование: tarvel-cli [параметры] --find ТЕКСТ --replace ТЕКСТ ПУТЬ";

Arguments parseArguments(const std::vector<std::string>& args) {
  Arguments a;
  std::size_t operands = 0;
  bool optionsEnded = false;
  bool extSeen = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool looksLikeOption = arg.size() > 1 && arg[0] == '-';
    if (optionsEnded || !looksLikeOption) {
      if (++operands == 1) a.path = arg;
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "-h") {
      a.help = true;
      continue;
    }
    const auto eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const OptionSpec* option = arg.starts_with("--") ? findOption(name) : nullptr;
    if (option == nullptr) throw UsageError("неизвестный параметр " + name);
    std::string value;
    if (option->kind == Kind::Flag) {
      if (eq != std::string::npos) throw UsageError("параметр " + name + " не принимает значения");
    } else if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      throw UsageError("у параметра " + name + " нет значения");
    }
    if (name == "--ext") {
      // An --ext "" still counts as given, so a second --ext is caught either way.
      if (extSeen) throw UsageError("параметр --ext указан дважды");
      extSeen = true;
      a.extension = engine::NormalizeExtension(value);
      continue;
    }
    apply(a, name, value);
  }
  if (!a.help && !a.version) checkComplete(a, operands);
  return a;
}

std::string helpText(const std::string& defaultCodePage, bool utf8Locale) {
  return std::string(kUsageLine) +
         "\n"
         "\n"
         "Заменяет все сочетания символов искомого текста на текст замены в файле ПУТЬ или во\n"
         "всех файлах папки ПУТЬ и её вложенных подпапок, по тем же правилам, что и окно Tarvel:\n"
         "каждый файл переписывается через рабочий файл и одним переименованием, ссылки не\n"
         "обходятся, скрытые папки не посещаются, системные, скрытые и файлы только для чтения\n"
         "не перезаписываются. Корневая папка и служебные файловые системы (/proc, /sys ...)\n"
         "не обходятся.\n"
         "\n"
         "Кодировка каждого файла определяется по его байтам: файл, целиком правильный в UTF-8\n"
         "и содержащий не только ASCII (или начинающийся с метки UTF-8), читается как UTF-8,\n"
         "и тексты сравниваются по символам; любой другой файл - как однобайтовый текст в\n"
         "кодовой странице (--codepage). Файл только из символов ASCII получает текст\n" +
         (utf8Locale ? std::string("замены в UTF-8, как принято в этой системе.\n")
                     : "замены в кодовой странице.\n") +
         "\n"
         "Параметры:\n"
         "  --find ТЕКСТ         искомый текст (или --find-file)\n"
         "  --find-file ФАЙЛ     искомый текст из файла (для многострочного текста): UTF-8, если\n"
         "                       файл в UTF-8, иначе байты кодовой страницы\n"
         "  --replace ТЕКСТ      текст замены (или --replace-file; при --dry-run не нужен)\n"
         "  --replace-file ФАЙЛ  текст замены из файла, как --find-file\n"
         "  --ignore-case        без учёта регистра символов (по умолчанию с учётом)\n"
         "  --include-binary     изменять и бинарные файлы (по умолчанию они пропускаются)\n"
         "  --ext РАСШИРЕНИЕ     в папке только файлы с этим расширением: txt, .txt и \" txt \"\n"
         "                       означают .txt; регистр букв учитывается\n"
         "  --encoding КОДИРОВКА auto (по умолчанию) - у каждого файла своя, как сказано выше;\n"
         "                       utf-8 - все файлы в UTF-8, файл с недопустимыми байтами не\n"
         "                       изменяется и попадает в отчёт; имя кодовой страницы - все\n"
         "                       файлы однобайтовые в ней\n"
         "  --codepage ИМЯ       однобайтовая кодовая страница для файлов не в UTF-8, как её\n"
         "                       называет iconv (по умолчанию " +
         defaultCodePage +
         ")\n"
         "  --yes                не спрашивать подтверждения\n"
         "  --dry-run            ничего не менять: перечислить файлы, которые изменятся,\n"
         "                       с числом замен и кодировкой каждого\n"
         "  --skip-unmatched     не перезаписывать файлы, в которых искомого текста нет\n"
         "  --hidden             заходить и в скрытые папки (по умолчанию они, например .git,\n"
         "                       пропускаются; скрытые файлы не перезаписываются в любом случае)\n"
         "  --help               эта справка\n"
         "  --version            версия программы\n"
         "\n"
         "ТЕКСТ в командной строке читается как UTF-8. Если текст замены нельзя записать в\n"
         "кодовой странице файла, где найден искомый текст, этот файл не изменяется и попадает\n"
         "в отчёт. Без --yes программа спрашивает подтверждение в терминале; без терминала и\n"
         "без --yes она ничего не меняет.\n"
         "\n"
         "Код завершения: 0 - все файлы перезаписаны или пропущены как бинарные; 1 - хотя бы\n"
         "одна ошибка (или замена не подтверждена); 2 - неверный вызов; 130 и 143 - прервано\n"
         "сигналом (Ctrl+C, SIGTERM).\n";
}

}  // namespace cli
