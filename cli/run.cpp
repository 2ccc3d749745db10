#include "cli/run.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "cli/confirmation.h"
#include "cli/report.h"
#include "cli/signals.h"
#include "engine/convert_file.h"
#include "engine/count_occurrences.h"
#include "engine/folder_walk.h"
#include "engine/messages.h"
#include "engine/utf8.h"
#include "platform/attributes.h"
#include "platform/code_page.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/temp_folder.h"

namespace cli {
namespace {

/// The run's work file, chosen by the engine's rule inside a folder of this process's own
/// (TMPDIR/tarvel-cli-XXXXXX/k5ywhqx). Runs started together (xargs -P, make -j) would all pick
/// the same free name and then take turns through the engine's lock on it; with a folder each
/// they work side by side. Deleted with its folder when the object goes.
class WorkFile {
 public:
  WorkFile() {
    const std::string temp = platform::temporaryFolder();
    std::string folder = (temp == "/" ? "" : temp) + "/tarvel-cli-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {
      // No folder of our own: the shared name, as the window uses it.
      m_path = engine::ChooseWorkFile();
      return;
    }
    m_folder = folder;
    const char* old = getenv("TMPDIR");
    const std::string saved = old ? old : "";
    setenv("TMPDIR", m_folder.c_str(), 1);
    m_path = engine::ChooseWorkFile();
    if (old) {
      setenv("TMPDIR", saved.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }
  ~WorkFile() {
    engine::DeleteWorkFile(m_path);
    if (!m_folder.empty()) rmdir(m_folder.c_str());
  }
  WorkFile(const WorkFile&) = delete;
  WorkFile& operator=(const WorkFile&) = delete;

  const std::string& path() const { return m_path; }

 private:
  std::string m_folder;
  std::string m_path;
};

/// One PATH of the command line.
struct Target {
  std::string given;  ///< as typed
  std::string path;   ///< without trailing "/"
  bool folder = false;
  std::optional<platform::Error> missing;  ///< it names nothing (one of several)
};

/// What a run works on once the command line has been checked.
struct Job {
  std::optional<platform::CodePage> page;  ///< for files read single-byte
  engine::Encoding encoding = engine::Encoding::Auto;
  std::string find;     ///< UTF-8
  std::string replace;  ///< UTF-8
  std::vector<Target> targets;
};

// The longest find or replacement text taken from a file.
constexpr std::size_t kLongestText = 64u << 20;

// Reads a find or replacement file, which may be a pipe (`<(…)`, a FIFO with no writer yet)
// or a terminal: it is opened without waiting and waited for in short slices, so that a signal
// always ends the wait; a text longer than kLongestText (/dev/zero, a wrong file) is refused.
std::string readTextFile(const std::string& file, const char* role) {
  auto fail = [&](int err, const char* what) {
    throw UsageError(std::string(role) + " «" + engine::ShownPath(file) +
                     "»: " + platform::systemError(err, what).description());
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
      throw UsageError(std::string(role) + " «" + engine::ShownPath(file) +
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
  const std::string shown = std::string(role) + " «" + engine::ShownPath(file) + "»";
  if (job.encoding == engine::Encoding::Utf8) {
    throw UsageError(shown + ": текст не в кодировке UTF-8");
  }
  try {
    return job.page->decodeExact(bytes);
  } catch (const platform::Error& e) {
    throw UsageError(shown + ": " + e.description());
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
    throw UsageError("неизвестная кодовая страница " + engine::ShownPath(name) +
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
    const platform::Error e = platform::systemError(err, "Не удалось открыть файл или папку");
    // One PATH that names nothing is a bad call; among several, it is that path's failure.
    if (!only) {
      t.missing = e;
      return t;
    }
    if (err == ENOENT || err == ENOTDIR) {
      throw UsageError("нет такого файла или папки: " + engine::ShownPath(given));
    }
    throw UsageError(engine::ShownPath(given) + ": " + e.description());
  }
  std::string why;
  if (engine::RefusedFolder(t.path, &why) != engine::WalkRefusal::None) {
    throw UsageError(engine::ShownPath(given) + ": " + why + ", такую папку Tarvel не обходит");
  }
  t.folder = S_ISDIR(st.st_mode);
  return t;
}

Job prepare(const Arguments& a) {
  Job job;
  const std::string encoding = a.encoding.value_or("auto");
  if (encoding == "auto") {
    job.encoding = engine::Encoding::Auto;
  } else if (namesUtf8(encoding)) {
    job.encoding = engine::Encoding::Utf8;
  } else {
    job.encoding = engine::Encoding::CodePage;
    job.page = codePageNamed(encoding);
    if (a.codePage && codePageNamed(*a.codePage).name() != job.page->name()) {
      throw UsageError("--encoding " + encoding + " и --codepage " + *a.codePage +
                       " называют разные кодовые страницы");
    }
  }
  if (!job.page) job.page = a.codePage ? codePageNamed(*a.codePage) : platform::CodePage::system();
  job.find = a.find ? typedText(*a.find, "искомый текст")
                    : textFromFile(job, *a.findFile, "файл искомого текста");
  if (job.find.empty()) throw UsageError("искомый текст пуст");
  if (a.replace) job.replace = typedText(*a.replace, "текст замены");
  if (a.replaceFile) job.replace = textFromFile(job, *a.replaceFile, "файл текста замены");
  for (const std::string& path : a.paths) job.targets.push_back(targetOf(path, a.paths.size() == 1));
  return job;
}

// The walk leaves alone a path without any "/", as the window leaves a bare drive; on the
// command line a folder is mostly named relative to the current one, so it gets "./" in front
// ("." itself becomes the current folder's full path, else every line would begin "././").
std::string walkPath(const std::string& target) {
  if (target.find('/') != std::string::npos) return target;
  if (target == ".") {
    std::vector<char> buffer(4096);
    if (getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.data();
  }
  return "./" + target;
}

// Reads one line from the terminal; a signal ends the wait.
std::string readAnswer() {
  std::string line;
  for (;;) {
    // A signal may come just before poll() starts, so the wait is cut into short slices.
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&p, 1, 100);
    stopIfSignalled();
    if (ready == 0) continue;
    if (ready < 0) {
      if (errno == EINTR) continue;
      return line;
    }
    char c = 0;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::fputc('\n', stderr);  // Ctrl+D: the next prompt starts on a line of its own
      return line;
    }
    if (c == '\n') return line;
    line += c;
  }
}

// The window's warning for one path; for several, the same words for all of them.
std::string warningFor(const Job& job) {
  if (job.targets.size() == 1) {
    const Target& t = job.targets.front();
    return t.folder ? engine::FolderWarning(t.given, job.find, job.replace)
                    : engine::FileWarning(t.given, job.find, job.replace);
  }
  std::string paths;
  for (const Target& t : job.targets) paths += (paths.empty() ? "\"" : ", \"") + t.given + "\"";
  return "Внимание! В файлах и папках " + paths +
         " (с вложенными подпапками) все сочетания символов \"" + job.find +
         "\" будут заменены на \"" + job.replace + "\".\r\nПерезаписать все файлы ?";
}

bool confirm(const Job& job) {
  std::string warning = warningFor(job);
  if (isatty(STDERR_FILENO)) warning = forTerminal(warning);
  std::fprintf(stderr, "%s%s", warning.c_str(), kPrompt);
  std::fflush(stderr);
  return isExplicitYes(readAnswer());
}

/// One run over the files and folders of the command line.
class Run {
 public:
  Run(const Arguments& a, const Job& job, Progress& progress, Report& report,
      const std::string& workFile)
      : m_args(a),
        m_progress(progress),
        m_report(report),
        m_conversion{.options = options(a, job),
                     .messages = report,
                     .codePage = *job.page,
                     .workFile = workFile,
                     .pump = [&progress] {
                       stopIfSignalled();
                       progress.tick();
                     }} {}

  /// Converts one file: unmatched files are left alone unless --rewrite-all.
  void convert(const engine::FileRef& file) {
    Tally& t = m_report.tally();
    ++t.visited;
    m_progress.fileDone();
    engine::FileOutcome found;
    try {
      const bool rewritten = engine::ConvertFileAt(file, m_conversion, &found);
      if (found.kind == engine::FileKind::Binary) return;  // reported and counted
      noteKind(found.kind);
      t.found += found.replacements;
      if (found.replacements > 0) {
        ++t.changed;
        t.replacements += found.replacements;
      } else if (!rewritten) {
        ++t.skipped;  // unmatched, left alone
      }
    } catch (const platform::Error&) {
      if (found.kind != engine::FileKind::Binary) noteKind(found.kind);
      t.found += found.replacements;  // a protected file may hold the text
      throw;
    }
  }

  /// Reports what convert() would do, changing nothing; each line names the file's encoding.
  void preview(const engine::FileRef& file) {
    Tally& t = m_report.tally();
    ++t.visited;
    m_progress.fileDone();
    const engine::FileOutcome found = engine::CountOccurrencesAt(file, m_conversion);
    if (found.kind == engine::FileKind::Binary) return;  // reported and counted
    noteKind(found.kind);
    t.found += found.replacements;
    if (found.replacements == 0 && !m_args.rewriteAll) {
      ++t.skipped;
      return;
    }
    if (found.refusal) throw *found.refusal;
    if (found.replacements == 0) return;
    ++t.changed;
    t.replacements += found.replacements;
    m_report.print("Замен: " + std::to_string(found.replacements) + " (" +
                   engine::KindName(found.kind, m_conversion.codePage.name()) + ") - " +
                   engine::ShownPath(file.path));
  }

  /// Walks the tree as the window's folder command does, with `step` for each selected file.
  void walk(const std::string& folder, void (Run::*step)(const engine::FileRef&)) {
    engine::WalkFolderTree(folder, m_conversion,
                           [this, step](const engine::FileRef& file) { (this->*step)(file); });
  }

  /// One file named on the command line. The only PATH is reported as the window's file
  /// command reports it ("Error N …"); one of several, as a walk reports its files.
  void file(const Target& target, void (Run::*step)(const engine::FileRef&), bool only) {
    try {
      const std::string name = platform::baseName(target.path);
      const platform::File folder = platform::File::open(
          platform::folderName(target.path), O_RDONLY | O_DIRECTORY, 0, "Не удалось открыть папку");
      (this->*step)(engine::FileRef{folder.fd(), name, target.path});
    } catch (const platform::Error& e) {
      failed(e, target.path, only);
    } catch (const std::bad_alloc&) {
      failed(platform::outOfMemory(), target.path, only);
    }
  }

  void failed(const platform::Error& e, const std::string& path, bool only) {
    if (only && e.number() != platform::kRefusedAttribute) return m_report.failure(e);
    m_report.Add({engine::ReportItem::Kind::Failure, e.number(), e.description(), path});
  }

 private:
  static engine::MatchOptions options(const Arguments& a, const Job& job) {
    engine::MatchOptions o;
    o.findText = job.find;
    o.replaceText = job.replace;
    o.caseSensitive = !a.ignoreCase;
    o.skipBinary = !a.includeBinary;
    o.extensions = a.extensions;
    o.encoding = job.encoding;
    o.asciiAsUtf8 = platform::localeUsesUtf8();
    o.enterHidden = a.hidden;
    o.leaveUnmatched = !a.rewriteAll;
    return o;
  }

  void noteKind(engine::FileKind kind) {
    m_report.tally().readAs.insert(engine::KindName(kind, m_conversion.codePage.name()));
  }

  const Arguments& m_args;
  Progress& m_progress;
  Report& m_report;
  engine::Conversion m_conversion;
};

}  // namespace

int execute(const Arguments& a) {
  const Job job = prepare(a);
  stopIfSignalled();
  if (!a.dryRun && !a.yes) {
    if (!isatty(STDIN_FILENO)) {
      throw UsageError(
          "нет подтверждения: стандартный ввод не терминал, спросить некого. Чтобы заменять "
          "без вопроса, добавьте --yes");
    }
    if (!confirm(job)) {
      std::fputs("Замена отменена, файлы не изменены.\n", stderr);
      return 1;
    }
  }
  bool anyFolder = false;
  for (const Target& t : job.targets) anyFolder = anyFolder || t.folder;
  Progress progress(anyFolder && isatty(STDERR_FILENO));
  Report report(progress);
  std::optional<WorkFile> workFile;
  if (!a.dryRun) workFile.emplace();
  Run run(a, job, progress, report, workFile ? workFile->path() : std::string());

  const auto step = a.dryRun ? &Run::preview : &Run::convert;
  const bool only = job.targets.size() == 1;
  for (const Target& t : job.targets) {
    if (t.missing) {
      run.failed(*t.missing, t.path, false);
    } else if (t.folder) {
      run.walk(walkPath(t.path), step);
    } else {
      run.file(t, step, only);
    }
  }
  stopIfSignalled();
  // A single file closes as the window's file command does: only when it was rewritten.
  const Tally& t = report.tally();
  const bool closing = a.dryRun || !only || job.targets.front().folder ||
                       (t.failures == 0 && t.skipped == 0);
  report.finish(a.dryRun, !a.ignoreCase, closing);
  return report.tally().failures == 0 ? 0 : 1;
}

}  // namespace cli
