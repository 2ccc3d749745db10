#include "cli/job.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <vector>

#include "cli/signals.h"
#include "engine/text/pattern.h"
#include "cli/words.h"
#include "engine/run/folder_walk.h"
#include "engine/text/utf8.h"
#include "platform/attributes.h"
#include "words/errors.h"
#include "words/texts.h"

namespace cli {
namespace {

// The longest find or replacement text taken from a file.
constexpr std::size_t kLongestText = 64u << 20;

// Reads a find or replacement file, which may be a pipe (`<(…)`, a FIFO with no writer yet)
// or a terminal: it is opened without waiting and waited for in short slices, so that a signal
// always ends the wait; a text longer than kLongestText (/dev/zero, a wrong file) is refused.
std::string readTextFile(const std::string& file, const char* role) {
  auto fail = [&](int err, const char* what) {
    throw UsageError(std::string(role) + " «" + words::ShownPath(file) + "»: " + what + ": " +
                     words::SystemReason(err));
  };
  int fd;
  while ((fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
    if (errno != EINTR) fail(errno, "не удалось открыть");
    stopIfSignalled();
  }
  const platform::File f(fd);
  std::string text;
  std::vector<char> block(1 << 16);
  for (;;) {
    // A FIFO that no writer has opened yet reads as its end: it is read only once poll() says
    // that something came (data, or the end after a writer).
    stopIfSignalled();
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, 100);
    if (ready < 0 && errno != EINTR) fail(errno, "не удалось прочитать");
    if (ready <= 0) continue;  // nothing yet, or a signal: look again
    const ssize_t n = ::read(fd, block.data(), block.size());
    if (n < 0) {
      if (errno != EAGAIN && errno != EINTR) fail(errno, "не удалось прочитать");
      continue;
    }
    if (n == 0) return text;
    if (text.size() + static_cast<std::size_t>(n) > kLongestText) {
      throw UsageError(std::string(role) + " «" + words::ShownPath(file) +
                       "» длиннее 64 МиБ: такой текст не ищут и не вставляют");
    }
    text.append(block.data(), static_cast<std::size_t>(n));
  }
}

// A text from a file is read the way a file to convert would be: UTF-8 when it is valid UTF-8
// (unless every file is read in the code page), else bytes in the code page.
std::string textFromFile(const Job& job, const std::string& file, const char* role) {
  const std::string bytes = readTextFile(file, role);
  if (job.encoding != engine::Encoding::CodePage && engine::utf8::isValid(bytes)) return bytes;
  const std::string shown = std::string(role) + " «" + words::ShownPath(file) + "»";
  if (job.encoding == engine::Encoding::Utf8) {
    throw UsageError(shown + ": текст не в кодировке UTF-8");
  }
  try {
    return job.page->decodeExact(bytes);
  } catch (const platform::Error& e) {
    throw UsageError(shown + ": " + words::ErrorText(e));
  }
}

std::string typedText(const std::string& text, const char* role) {
  if (!engine::utf8::isValid(text)) {
    throw UsageError(std::string(role) +
                     ": текст не в кодировке UTF-8 (так ли настроена кодировка терминала?)");
  }
  return text;
}

platform::CodePage codePageNamed(const std::string& name) {
  auto page = platform::CodePage::byName(name);
  if (!page) {
    throw UsageError("неизвестная кодовая страница " + words::ShownPath(name) +
                     (platform::iconvModulesMissing()
                          ? " (в системе нет модулей преобразования iconv, gconv: ни одна "
                            "кодовая страница, кроме ISO-8859-1, недоступна)"
                          : " (нужна однобайтовая, которую знает iconv)"));
  }
  return *page;
}

bool namesUtf8(std::string name) {
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name == "utf-8" || name == "utf8";
}

Target targetOf(const std::string& given, bool only) {
  Target t{given, given, false, std::nullopt};
  while (t.path.size() > 1 && t.path.back() == '/') t.path.pop_back();
  struct stat st {};
  if (lstat(t.path.c_str(), &st) != 0) {
    const int err = errno;
    const platform::Error e = platform::systemError(err, platform::Step::OpenFileOrFolder);
    // One PATH that names nothing is a bad call; among several, it is that path's failure.
    if (!only) {
      t.missing = e;
      return t;
    }
    if (err == ENOENT || err == ENOTDIR) {
      throw UsageError("нет такого файла или папки: " + words::ShownPath(given));
    }
    throw UsageError(words::ShownPath(given) + ": " + words::ErrorText(e));
  }
  std::optional<platform::Error> why;
  t.folder = S_ISDIR(st.st_mode);
  if (engine::RefusedFolder(t.path, &why) != engine::WalkRefusal::None) {
    throw UsageError(words::ShownPath(given) + ": " + words::ReasonText(*why) +
                     ", такую папку Tarvel не обходит");
  }
  // A file of the kernel's own (/proc/self/status) as its folder is.
  if (!t.folder && engine::RefusedFolder(platform::folderName(t.path), &why) ==
                       engine::WalkRefusal::SystemFileSystem) {
    throw UsageError(words::ShownPath(given) + ": " + words::ReasonText(*why) +
                     ", такие файлы Tarvel не изменяет");
  }
  return t;
}

// Why a pair is refused, in words.
std::string pairsFaultText(const engine::PairsFault& f, bool typed) {
  const std::string where =
      typed ? "пара " + std::to_string(f.line) : "строка " + std::to_string(f.line);
  switch (f.why) {
    case engine::PairsWhy::NoTab:
      return where + ": нет табуляции между искомым текстом и заменой";
    case engine::PairsWhy::SecondTab:
      return where + ": больше одной табуляции (табуляция внутри текста пишется как \\t)";
    case engine::PairsWhy::EmptyFind:
      return where + ": искомый текст пуст";
    case engine::PairsWhy::Conflict:
      return where + ": тот же искомый текст, что " + (typed ? "в паре " : "в строке ") +
             std::to_string(f.earlier) + ", но с другой заменой";
    case engine::PairsWhy::NotUtf8:
      return where + ": текст не в кодировке UTF-8";
  }
  return where;
}

// The pairs of --pairs F, or of --find and --replace given again, checked as a run takes them:
// nothing is touched for a bad one.
void preparePairs(const Arguments& a, Job& job) {
  if (a.pairsFile) {
    job.pairsFile = *a.pairsFile;
    const std::string shown = "файл пар «" + words::ShownPath(*a.pairsFile) + "»";
    engine::ReadPairs read = engine::ParsePairs(readTextFile(*a.pairsFile, "файл пар"));
    if (read.fault) throw UsageError(shown + ", " + pairsFaultText(*read.fault, false));
    if (read.pairs.empty()) throw UsageError(shown + ": в файле нет ни одной пары");
    job.pairs = std::move(read.pairs);
  } else {
    for (std::size_t i = 0; i < a.finds.size(); ++i) {
      job.pairs.push_back({typedText(a.finds[i], "искомый текст"),
                           i < a.replaces.size() ? typedText(a.replaces[i], "текст замены") : "",
                           i + 1});
    }
    if (auto fault = engine::CheckPairs(job.pairs)) throw UsageError(pairsFaultText(*fault, true));
  }
  const auto where = [&](const engine::Pair& p) {
    return a.pairsFile ? "файл пар «" + words::ShownPath(*a.pairsFile) + "», строка " +
                             std::to_string(p.line) + ": "
                       : "пара " + std::to_string(p.line) + ": ";
  };
  if (a.regex) {
    // Each pattern and its references read on its own first: a bad one is told with its line.
    for (const engine::Pair& p : job.pairs) {
      try {
        engine::CompiledPattern(p.find, p.replace, a.ignoreCase);
      } catch (const platform::Error& e) {
        throw UsageError(where(p) + words::ErrorText(e));
      }
    }
  }
  engine::MatchOptions o;
  o.pairs = job.pairs;
  o.regex = a.regex;
  o.caseSensitive = !a.ignoreCase;
  o.wholeWords = a.wholeWords;
  o.exactLineBreaks = a.exactLineBreaks;
  try {
    engine::CompiledPattern::ForPairs(o);
  } catch (const platform::Error& e) {
    throw UsageError((a.regex ? "выражения пар вместе: " : "пары вместе: ") + words::ErrorText(e));
  }
  // What names the run: the file, or the first pairs.
  if (a.pairsFile) {
    job.find = "--pairs " + *a.pairsFile;
    job.replace = words::CountText(job.pairs.size(), "пара", "пары", "пар");
  } else {
    for (std::size_t i = 0; i < job.pairs.size() && i < 3; ++i) {
      job.find += (i > 0 ? ", " : "") + job.pairs[i].find;
      job.replace += (i > 0 ? ", " : "") + job.pairs[i].replace;
    }
    if (job.pairs.size() > 3) {
      job.find += ", …";
      job.replace += ", …";
    }
  }
}

}  // namespace

Job prepare(const Arguments& a) {
  Job job;
  const std::string encoding = a.encoding.value_or("auto");
  if (encoding == "auto") {
    job.encoding = engine::Encoding::Auto;
  } else if (namesUtf8(encoding)) {
    job.encoding = engine::Encoding::Utf8;
  } else {
    job.encoding = engine::Encoding::CodePage;
    try {
      job.page = codePageNamed(encoding);
    } catch (const UsageError& e) {
      throw UsageError(std::string("--encoding: ") + e.what() +
                       "; --encoding принимает auto (у каждого файла своя кодировка), utf-8 или "
                       "имя однобайтовой кодовой страницы (CP1251, KOI8-R, CP866…)");
    }
    if (a.codePage && codePageNamed(*a.codePage).name() != job.page->name()) {
      throw UsageError("--encoding " + encoding + " и --codepage " + *a.codePage +
                       " называют разные кодовые страницы");
    }
  }
  if (!job.page) job.page = a.codePage ? codePageNamed(*a.codePage) : platform::CodePage::system();
  job.regex = a.regex;
  if (a.pairsFile || !a.finds.empty()) {
    preparePairs(a, job);
    if (a.filter) return job;
    for (const std::string& path : a.paths) {
      job.targets.push_back(targetOf(path, a.paths.size() == 1));
    }
    return job;
  }
  job.find = a.find ? typedText(*a.find, "искомый текст")
                    : textFromFile(job, *a.findFile, "файл искомого текста");
  if (job.find.empty()) throw UsageError("искомый текст пуст");
  if (a.replace) job.replace = typedText(*a.replace, "текст замены");
  if (a.replaceFile) job.replace = textFromFile(job, *a.replaceFile, "файл текста замены");
  job.regex = a.regex;
  if (a.regex) {
    // A bad pattern or a bad reference to a group is a bad call: nothing is touched.
    try {
      engine::CompiledPattern(job.find, job.replace, a.ignoreCase);
    } catch (const platform::Error& e) {
      throw UsageError(words::ErrorText(e));
    }
  }
  if (a.filter) return job;  // standard input: no PATH to look at
  for (const std::string& path : a.paths) job.targets.push_back(targetOf(path, a.paths.size() == 1));
  return job;
}

// The window's warning for one path; for several, the same words for all of them.
std::string WarningFor(const Job& job) {
  if (job.targets.size() == 1) {
    const Target& t = job.targets.front();
    return t.folder ? words::FolderWarning(t.given, job.find, job.replace, job.regex)
                    : words::FileWarning(t.given, job.find, job.replace, job.regex);
  }
  std::vector<std::string> paths;
  for (const Target& t : job.targets) paths.push_back(t.given);
  return text::SeveralPathsWarning(paths, job.find, job.replace, job.regex);
}


engine::RunTarget Target::runTarget() const {
  if (!folder) return engine::RunTarget{path, false, missing};
  engine::RunTarget t = engine::RunTarget::Folder(path);
  t.missing = missing;
  return t;
}

}  // namespace cli
