// tarvel-cli: the window's two commands from the command line, on the same engine.
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/confirmation.h"
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

#ifndef TARVEL_VERSION
#error "TARVEL_VERSION comes from the project's version in CMake"
#endif

namespace cli {
namespace {

volatile std::sig_atomic_t g_signal = 0;

extern "C" void onSignal(int number) { g_signal = number; }

// Without SA_RESTART: a signal interrupts a blocked open or read (a FIFO given as the find
// file, /dev/stdin on a terminal), which then sees EINTR and ends the run. The engine's calls
// on regular files are not interrupted, and where they are they try again, and the run stops
// at the next chunk. A reader of the report that went away (SIGPIPE) does not stop the run:
// the files are finished and the failed output gives status 1.
void installSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigaction(number, &action, nullptr) != 0) std::perror("tarvel-cli: sigaction");
  }
  if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) std::perror("tarvel-cli: signal");
}

/// Thrown from the event pump when a signal asked the program to stop; not a platform::Error,
/// so the walk does not turn it into a failure line but lets it through.
struct Interrupted {};

void stopIfSignalled() {
  if (g_signal != 0) throw Interrupted{};
}

/// The progress line on standard error, shown only on a terminal and only once a run has
/// lasted half a second; at most ten updates a second.
class Progress {
 public:
  explicit Progress(bool enabled) : m_enabled(enabled) {}

  void tick() {
    if (!m_enabled) return;
    const auto now = Clock::now();
    if (now - m_start < std::chrono::milliseconds(500)) return;
    if (m_shown && now - m_last < std::chrono::milliseconds(100)) return;
    m_last = now;
    std::fprintf(stderr, "\rОбработано файлов: %zu\033[K", m_files);
    m_shown = true;
  }
  void fileDone() { ++m_files; }
  /// Removes the line so that a report line can take its place.
  void clear() {
    if (!m_shown) return;
    std::fputs("\r\033[K", stderr);
    m_shown = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool m_enabled;
  bool m_shown = false;
  std::size_t m_files = 0;
  Clock::time_point m_start = Clock::now();
  Clock::time_point m_last{};
};

/// The message list of the command line: every line goes to standard output as it comes.
/// It counts the failures among them: each decides the exit status.
class Report : public engine::MessageList {
 public:
  explicit Report(Progress& progress) : m_progress(progress) {}
  void Clear() override {}
  void AddLine(const std::string& text, const std::string&) override { print(text); }
  void print(const std::string& line) {
    if (line.starts_with("!_ Ошибка ") || line.starts_with("Error ")) ++m_failures;
    m_progress.clear();
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
  }
  std::size_t failures() const { return m_failures; }

 private:
  Progress& m_progress;
  std::size_t m_failures = 0;
};

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

/// What a run works on once the command line has been checked.
struct Job {
  std::optional<platform::CodePage> page;  ///< for files read single-byte
  engine::Encoding encoding = engine::Encoding::Auto;
  std::string find;     ///< UTF-8
  std::string replace;  ///< UTF-8
  std::string target;   ///< PATH without trailing "/"
  bool folder = false;
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
  if (job.encoding == engine::Encoding::Utf8) {
    throw UsageError(std::string(role) + " «" + file + "»: текст не в кодировке UTF-8");
  }
  try {
    return job.page->decodeExact(bytes);
  } catch (const platform::Error& e) {
    throw UsageError(std::string(role) + " «" + file + "»: " + e.description());
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

  job.target = *a.path;
  while (job.target.size() > 1 && job.target.back() == '/') job.target.pop_back();
  struct stat st {};
  if (lstat(job.target.c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR) throw UsageError("нет такого файла или папки: " + *a.path);
    throw UsageError(*a.path + ": " + platform::systemError(err, "не удалось открыть").description());
  }
  std::string why;
  if (engine::RefusedFolder(job.target, &why) != engine::WalkRefusal::None) {
    throw UsageError(engine::ShownPath(*a.path) + ": " + why + ", такую папку Tarvel не обходит");
  }
  job.folder = S_ISDIR(st.st_mode);
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

bool confirm(const Arguments& a, const Job& job) {
  std::string warning = job.folder ? engine::FolderWarning(*a.path, job.find, job.replace)
                                   : engine::FileWarning(*a.path, job.find, job.replace);
  if (isatty(STDERR_FILENO)) warning = forTerminal(warning);
  std::fprintf(stderr, "%s%s", warning.c_str(), kPrompt);
  std::fflush(stderr);
  return isExplicitYes(readAnswer());
}

/// One run over a file or a folder tree, with the counters that decide the exit status.
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
                     }},
        m_afterCount(m_conversion) {
    m_afterCount.options.skipBinary = false;  // tested already, before counting
  }

  /// Converts one file as the window's file command does, or leaves it when --skip-unmatched
  /// finds nothing to replace. True when the file was rewritten.
  bool convert(const engine::FileRef& file) {
    if (!m_args.skipUnmatched) return engine::ConvertFileAt(file, m_conversion);
    const engine::FileOutcome found = engine::CountOccurrencesAt(file, m_conversion);
    if (found.kind == engine::FileKind::Binary || found.replacements == 0) return false;
    return engine::ConvertFileAt(file, m_afterCount);
  }

  /// Reports what convert() would do, changing nothing; each line names the file's encoding.
  void preview(const engine::FileRef& file) {
    const engine::FileOutcome found = engine::CountOccurrencesAt(file, m_conversion);
    if (found.kind == engine::FileKind::Binary) return;
    if (found.replacements == 0 && m_args.skipUnmatched) return;
    if (found.refusal) throw *found.refusal;
    if (found.replacements == 0) return;
    ++m_changedFiles;
    m_replacements += found.replacements;
    m_report.print("Замен: " + std::to_string(found.replacements) + " (" +
                   engine::KindName(found.kind, m_conversion.codePage.name()) + ") - " +
                   engine::ShownPath(file.path));
  }

  /// Walks the tree as the window's folder command does, with `step` for each selected file.
  void walk(const std::string& folder, void (Run::*step)(const engine::FileRef&)) {
    engine::WalkFolderTree(folder, m_conversion, [this, step](const engine::FileRef& file) {
      m_progress.fileDone();
      (this->*step)(file);
    });
  }
  void convertStep(const engine::FileRef& file) { convert(file); }

  /// A single file's failure, as the window's message box words it.
  void reportFailure(const platform::Error& e) {
    m_report.print("Error " + std::to_string(e.number()) + " " + e.description());
  }

  std::size_t failures() const { return m_report.failures(); }
  std::string previewSummary() const {
    return "Пробный прогон завершён, ничего не изменено. Файлов с заменами: " +
           std::to_string(m_changedFiles) + ", замен: " + std::to_string(m_replacements) + ".";
  }

 private:
  static engine::MatchOptions options(const Arguments& a, const Job& job) {
    engine::MatchOptions o;
    o.findText = job.find;
    o.replaceText = job.replace;
    o.caseSensitive = !a.ignoreCase;
    o.skipBinary = !a.includeBinary;
    o.extension = a.extension;
    o.encoding = job.encoding;
    o.asciiAsUtf8 = platform::localeUsesUtf8();
    o.enterHidden = a.hidden;
    return o;
  }

  const Arguments& m_args;
  Progress& m_progress;
  Report& m_report;
  engine::Conversion m_conversion;
  engine::Conversion m_afterCount;
  std::size_t m_changedFiles = 0;
  std::size_t m_replacements = 0;
};

int execute(const Arguments& a) {
  const Job job = prepare(a);
  stopIfSignalled();
  if (!a.dryRun && !a.yes) {
    if (!isatty(STDIN_FILENO)) {
      throw UsageError(
          "нет подтверждения: стандартный ввод не терминал, спросить некого. Чтобы заменять "
          "без вопроса, добавьте --yes");
    }
    if (!confirm(a, job)) {
      std::fputs("Замена отменена, файлы не изменены.\n", stderr);
      return 1;
    }
  }
  Progress progress(job.folder && isatty(STDERR_FILENO));
  Report report(progress);
  std::optional<WorkFile> workFile;
  if (!a.dryRun) workFile.emplace();
  Run run(a, job, progress, report, workFile ? workFile->path() : std::string());

  if (job.folder) {
    run.walk(walkPath(job.target), a.dryRun ? &Run::preview : &Run::convertStep);
    stopIfSignalled();
    progress.clear();
    report.print(a.dryRun ? run.previewSummary() : engine::kOperationDone);
  } else {
    try {
      // The file is named relative to its folder, opened once, as the walk names its files.
      const std::string name = platform::baseName(job.target);
      const platform::File folder =
          platform::File::open(platform::folderName(job.target), O_RDONLY | O_DIRECTORY, 0,
                               "Не удалось открыть папку");
      const engine::FileRef file{folder.fd(), name, job.target};
      if (a.dryRun) {
        run.preview(file);
      } else if (run.convert(file)) {
        report.print(engine::kOperationDone);
      }
    } catch (const platform::Error& e) {
      run.reportFailure(e);
    } catch (const std::bad_alloc&) {
      run.reportFailure(platform::outOfMemory());
    }
    stopIfSignalled();
    if (a.dryRun) report.print(run.previewSummary());
  }
  return run.failures() == 0 ? 0 : 1;
}

int usageError(const std::string& reason) {
  std::fprintf(stderr, "tarvel-cli: %s\n%s\nПодробнее: tarvel-cli --help\n", reason.c_str(),
               kUsageLine);
  return 2;
}

}  // namespace
}  // namespace cli

int main(int argc, char** argv) {
  using namespace cli;
  // The engine takes and frees a chunk buffer or two per file; without this, glibc hands the
  // top of the heap back to the system after each file and takes it again for the next one
  // (three brk calls a file on a tree of small files).
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  mallopt(M_TOP_PAD, 1 << 20);
  installSignalHandlers();
  int status = 0;
  try {
    const Arguments a = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (a.help) {
      std::fputs(helpText(platform::CodePage::system().name(), platform::localeUsesUtf8()).c_str(),
                 stdout);
    } else if (a.version) {
      std::puts("tarvel-cli " TARVEL_VERSION);
    } else {
      status = execute(a);
    }
  } catch (const UsageError& e) {
    return usageError(e.what());
  } catch (const Interrupted&) {
    std::fflush(stdout);
    std::fputs("\ntarvel-cli: операция прервана\n", stderr);
    return 128 + g_signal;
  } catch (const std::bad_alloc&) {
    // Everything on the way out has been undone (the run's work folder removed).
    const platform::Error e = platform::outOfMemory();
    std::fprintf(stderr, "tarvel-cli: Ошибка %d %s\n", e.number(), e.description().c_str());
    return 1;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fputs("tarvel-cli: не удалось вывести отчёт\n", stderr);
    return 1;
  }
  return status;
}
