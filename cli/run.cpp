#include "cli/run.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "cli/confirmation.h"
#include "cli/report.h"
#include "cli/signals.h"
#include "engine/convert_file.h"
#include "engine/count_occurrences.h"
#include "engine/folder_walk.h"
#include "engine/messages.h"
#include "engine/undo.h"
#include "engine/utf8.h"
#include "platform/attributes.h"
#include "platform/code_page.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/temp_folder.h"

namespace cli {
namespace {

/// The run's work files, named by the engine's rule inside a folder of this process's own
/// (TMPDIR/tarvel-cli-XXXXXX/k5ywhqx, then k5ywhqx0, k5ywhqx1 … for the other workers). Runs
/// started together (xargs -P, make -j) would all pick the same free name and then take turns
/// through the engine's lock on it; with a folder each they work side by side, and need no
/// lock. The folder is locked for the run's life, so that the next run can tell the folder of
/// a run that was killed, and clear it. Deleted with their folder when the object goes.
class WorkFiles {
 public:
  explicit WorkFiles(unsigned count) {
    const std::string temp = platform::temporaryFolder();
    std::string folder = (temp == "/" ? "" : temp) + "/tarvel-cli-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {
      // No folder of our own: the shared name, as the window uses it, for one worker.
      m_paths.push_back(engine::ChooseWorkFile());
      m_shared = true;
      return;
    }
    m_folder = folder;
    m_lock = platform::File(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (m_lock.isOpen()) (void)!flock(m_lock.fd(), LOCK_EX | LOCK_NB);
    for (unsigned i = 0; i < count; ++i) {
      m_paths.push_back(m_folder + "/k5ywhqx" + (i == 0 ? "" : std::to_string(i - 1)));
    }
    clearKilledRuns(temp, platform::baseName(folder));
  }
  ~WorkFiles() {
    for (const std::string& path : m_paths) engine::DeleteWorkFile(path);
    if (!m_folder.empty()) rmdir(m_folder.c_str());
  }
  WorkFiles(const WorkFiles&) = delete;
  WorkFiles& operator=(const WorkFiles&) = delete;

  const std::string& path(std::size_t worker) const {
    return m_paths[std::min(worker, m_paths.size() - 1)];
  }
  std::size_t count() const { return m_paths.size(); }
  bool shared() const { return m_shared; }

 private:
  // The folders of this user's runs that were killed: no run holds their lock any more.
  static void clearKilledRuns(const std::string& temp, const std::string& ours) {
    const platform::File parent(::open(temp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.isOpen()) return;
    try {
      for (const platform::FolderEntry& e : platform::listFolder(parent.fd(), "")) {
        if (e.name.size() != ours.size() || !e.name.starts_with("tarvel-cli-") || e.name == ours) {
          continue;
        }
        const platform::File folder(
            openat(parent.fd(), e.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!folder.isOpen() || fstat(folder.fd(), &st) != 0 || st.st_uid != geteuid() ||
            (st.st_mode & 07777) != 0700 || flock(folder.fd(), LOCK_EX | LOCK_NB) != 0) {
          continue;
        }
        for (const platform::FolderEntry& f : platform::listFolder(folder.fd(), "")) {
          if (f.name.starts_with("k5ywhqx")) unlinkat(folder.fd(), f.name.c_str(), 0);
        }
        unlinkat(parent.fd(), e.name.c_str(), AT_REMOVEDIR);
      }
    } catch (const platform::Error&) {
      // Clearing is a courtesy; the run goes on without it.
    }
  }

  std::string m_folder;
  platform::File m_lock;  // held while the run lasts
  std::vector<std::string> m_paths;
  bool m_shared = false;
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
  t.folder = S_ISDIR(st.st_mode);
  if (engine::RefusedFolder(t.path, &why) != engine::WalkRefusal::None) {
    throw UsageError(engine::ShownPath(given) + ": " + why + ", такую папку Tarvel не обходит");
  }
  // A file of the kernel's own (/proc/self/status) as its folder is.
  if (!t.folder && engine::RefusedFolder(platform::folderName(t.path), &why) ==
                       engine::WalkRefusal::SystemFileSystem) {
    throw UsageError(engine::ShownPath(given) + ": " + why + ", такие файлы Tarvel не изменяет");
  }
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

bool confirm(const Job& job) { return askOnTerminal(warningFor(job)); }

/// What one file gave, in the order it gave it: report lines (items for the report to word,
/// texts to print, a failure in the window's box words) and its counts.
struct FileResult {
  struct Box {
    platform::Error error;
  };
  std::vector<std::variant<engine::ReportItem, std::string, Box>> lines;
  Tally counts;
  bool interrupted = false;
};

/// A message list that keeps a file's lines in its result, for the report to print in order.
class Collector : public engine::MessageList {
 public:
  FileResult* result = nullptr;
  void Clear() override {}
  void AddLine(const std::string& text, const std::string&) override {
    result->lines.emplace_back(text);
  }
  void Add(const engine::ReportItem& item) override { result->lines.emplace_back(item); }
};

/// One file to convert or count: all that a worker needs, the folder kept open.
struct FileTask {
  std::string name;
  std::string path;
  unsigned char type = 0;
  std::shared_ptr<const engine::OpenFolder> open;
  bool only = false;  ///< the only PATH: its failure is worded as the window's box
};

/// Converts (or counts) files as the window's commands do: a file at a time on the thread that
/// calls it, or, with several jobs, on workers of its own, each with its own work file. Either
/// way the results reach the report in the order the files were handed in, so the report is the
/// same whatever the number of jobs.
class Run {
 public:
  Run(const Arguments& a, const Job& job, Progress& progress, Report& report,
      const WorkFiles* workFiles, engine::UndoJournal* undo, unsigned jobs)
      : m_args(a),
        m_job(job),
        m_progress(progress),
        m_report(report),
        m_workFiles(workFiles),
        m_undo(undo) {
    const unsigned workers = jobs > 1 ? jobs : 0;
    // The thread that walks converts too when there are no workers.
    m_converters.reserve(std::max(1u, workers));
    for (unsigned i = 0; i < std::max(1u, workers); ++i) {
      m_converters.push_back(std::make_unique<Converter>(*this, i));
    }
    m_walkLines.result = &m_walkResult;
    m_walk = std::make_unique<engine::Conversion>(conversion(m_walkLines, 0));
    m_walk->pump = [this] { pumpMain(); };
    // Without workers the walking thread converts, and keeps the progress line going.
    if (workers == 0) m_converters.front()->conversion.pump = [this] { pumpMain(); };
    for (unsigned i = 0; i < workers; ++i) {
      m_threads.emplace_back([this, i] { work(*m_converters[i]); });
    }
    m_capacity = 4 * std::max<std::size_t>(1, workers);
  }

  ~Run() {
    {
      // Stopped early (a signal): the files not begun are left alone.
      const std::lock_guard<std::mutex> lock(m_mutex);
      m_closing = true;
      m_tasks.clear();
    }
    m_wake.notify_all();
    for (std::thread& t : m_threads) t.join();
  }

  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  /// Walks a folder as the window's folder command does.
  void walk(const std::string& folder) {
    engine::WalkFolderTree(folder, *m_walk, [this](const engine::FileRef& file) {
      hand(FileTask{file.name, file.path, file.type, file.open, false});
    });
    flushWalkLines();
  }

  /// One file named on the command line.
  void file(const Target& target, bool only) {
    try {
      auto open = std::make_shared<engine::OpenFolder>();
      open->folder = platform::File::open(platform::folderName(target.path), O_RDONLY | O_DIRECTORY,
                                          0, "Не удалось открыть папку");
      const std::string name = platform::baseName(target.path);
      if (name.empty() || name == "." || name == "..") {
        throw platform::Error(platform::kIsFolder, "Не удалось открыть файл: это папка, а не файл");
      }
      hand(FileTask{name, target.path, 0, std::move(open), only});
    } catch (const platform::Error& e) {
      FileResult r;
      failed(r, e, target.path, only);
      handDone(std::move(r));
    }
  }

  /// A PATH that names nothing, among several.
  void missing(const platform::Error& e, const std::string& path) {
    FileResult r;
    failed(r, e, path, false);
    handDone(std::move(r));
  }

  /// Waits for every file handed in and puts the last results into the report.
  void finish() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_slots.empty()) {
      flushLocked(lock);
      if (m_slots.empty()) break;
      m_done.wait_for(lock, std::chrono::milliseconds(50));
      lock.unlock();
      stopIfSignalled();
      m_progress.tick();
      lock.lock();
    }
  }

 private:
  // One converter per worker (or one for the thread that walks): its own conversion, whose
  // messages go into the result of the file at hand, and its own work file.
  struct Converter {
    Converter(Run& run, unsigned index)
        : conversion(run.conversion(lines, index)) {
      conversion.pump = [] { stopIfSignalled(); };
    }
    Collector lines;
    engine::Conversion conversion;
  };

  engine::Conversion conversion(engine::MessageList& messages, unsigned worker) const {
    engine::Conversion c{.options = options(m_args, m_job),
                         .messages = messages,
                         .codePage = *m_job.page,
                         .workFile = m_workFiles ? m_workFiles->path(worker) : std::string(),
                         .pump = {}};
    c.workFileShared = m_workFiles == nullptr || m_workFiles->shared();
    c.undo = m_undo;
    return c;
  }

  static engine::MatchOptions options(const Arguments& a, const Job& job) {
    engine::MatchOptions o;
    o.findText = job.find;
    o.replaceText = job.replace;
    o.caseSensitive = !a.ignoreCase;
    o.skipBinary = !a.includeBinary;
    o.extensions = a.extensions;
    o.encoding = job.encoding;
    o.asciiAsUtf8 = !platform::localeIsSingleByte();
    o.enterHidden = a.hidden;
    o.leaveUnmatched = !a.rewriteAll;
    return o;
  }

  // The file's conversion or count, its lines and counts kept in `r`.
  void process(Converter& converter, const FileTask& task, FileResult& r) {
    converter.lines.result = &r;
    const engine::FileRef file{task.open->folder.fd(), task.name, task.path, task.type, task.open};
    ++r.counts.visited;
    try {
      if (m_args.dryRun) {
        preview(converter.conversion, file, r);
      } else {
        convert(converter.conversion, file, r);
      }
    } catch (const platform::Error& e) {
      failed(r, e, task.path, task.only);
    } catch (const std::bad_alloc&) {
      failed(r, platform::outOfMemory(), task.path, task.only);
    } catch (const Interrupted&) {
      r.interrupted = true;
    }
    converter.lines.result = nullptr;
  }

  // Converts one file: unmatched files are left alone unless --rewrite-all.
  void convert(const engine::Conversion& c, const engine::FileRef& file, FileResult& r) {
    Tally& t = r.counts;
    engine::FileOutcome found;
    try {
      const bool rewritten = engine::ConvertFileAt(file, c, &found);
      if (found.kind == engine::FileKind::Binary) return;  // reported, counted by the report
      noteKind(t, found.kind);
      t.found += found.replacements;
      if (found.replacements > 0) {
        ++t.changed;
        t.replacements += found.replacements;
      } else if (!rewritten) {
        ++t.skipped;  // unmatched, left alone
      }
    } catch (const platform::Error&) {
      if (found.classified && found.kind != engine::FileKind::Binary) noteKind(t, found.kind);
      t.found += found.replacements;  // a protected file may hold the text
      throw;
    }
  }

  // What convert() would do, changing nothing; each line names the file's encoding.
  void preview(const engine::Conversion& c, const engine::FileRef& file, FileResult& r) {
    Tally& t = r.counts;
    const engine::FileOutcome found = engine::CountOccurrencesAt(file, c);
    if (found.kind == engine::FileKind::Binary) return;
    noteKind(t, found.kind);
    t.found += found.replacements;
    if (found.replacements == 0 && !m_args.rewriteAll) {
      ++t.skipped;
      return;
    }
    if (found.refusal) throw *found.refusal;
    if (found.replacements == 0) return;
    ++t.changed;
    t.replacements += found.replacements;
    r.lines.emplace_back("Замен: " + std::to_string(found.replacements) + " (" +
                         engine::KindName(found.kind, c.codePage.name()) + ") - " +
                         engine::ShownPath(file.path));
  }

  void noteKind(Tally& t, engine::FileKind kind) const {
    t.readAs.insert(engine::KindName(kind, m_job.page->name()));
  }

  // The only PATH fails as the window's file command says it ("Error N …"); any other file or
  // folder as a walk reports it.
  static void failed(FileResult& r, const platform::Error& e, const std::string& path, bool only) {
    if (only && e.number() != platform::kRefusedAttribute) {
      r.lines.emplace_back(FileResult::Box{e});
    } else {
      r.lines.emplace_back(
          engine::ReportItem{engine::ReportItem::Kind::Failure, e.number(), e.description(), path,
                             e.advice()});
    }
  }

  // ---- Order

  struct Slot {
    bool done = false;
    FileResult result;
  };

  // Hands a file over: converted at once without workers, else queued for them (waiting while
  // too many are on their way, so that memory stays bounded).
  void hand(FileTask task) {
    if (m_threads.empty()) {
      flushWalkLines();
      FileResult r;
      process(*m_converters.front(), task, r);
      apply(std::move(r));
      stopIfSignalled();
      return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    flushLocked(lock);
    while (m_slots.size() >= m_capacity) {
      flushLocked(lock);
      if (m_slots.size() < m_capacity) break;
      m_done.wait_for(lock, std::chrono::milliseconds(50));
      lock.unlock();
      stopIfSignalled();
      m_progress.tick();
      lock.lock();
    }
    moveWalkLinesLocked();
    m_slots.emplace_back();
    m_tasks.push_back({m_base + m_slots.size() - 1, std::move(task)});
    lock.unlock();
    m_wake.notify_one();
  }

  // A result that needs no worker, in its place among the others.
  void handDone(FileResult r) {
    if (m_threads.empty()) {
      flushWalkLines();
      apply(std::move(r));
      return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    moveWalkLinesLocked();
    m_slots.push_back(Slot{true, std::move(r)});
    flushLocked(lock);
  }

  // The walk's own lines (hidden folders, folders that cannot be read) take their place between
  // the files around them.
  void moveWalkLinesLocked() {
    if (m_walkResult.lines.empty()) return;
    m_slots.push_back(Slot{true, std::move(m_walkResult)});
    m_walkResult = FileResult{};
  }

  void flushWalkLines() {
    if (m_threads.empty()) {
      if (!m_walkResult.lines.empty()) apply(std::exchange(m_walkResult, FileResult{}));
      return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    moveWalkLinesLocked();
    flushLocked(lock);
  }

  // Puts every finished result at the front into the report, in order; the lock is let go
  // while they are printed.
  void flushLocked(std::unique_lock<std::mutex>& lock) {
    std::vector<FileResult> ready;
    while (!m_slots.empty() && m_slots.front().done) {
      ready.push_back(std::move(m_slots.front().result));
      m_slots.pop_front();
      ++m_base;
    }
    if (ready.empty()) return;
    lock.unlock();
    for (FileResult& r : ready) apply(std::move(r));
    lock.lock();
  }

  void apply(FileResult r) {
    if (r.interrupted) throw Interrupted{};
    for (auto& line : r.lines) {
      if (auto* item = std::get_if<engine::ReportItem>(&line)) {
        m_report.Add(*item);
      } else if (auto* text = std::get_if<std::string>(&line)) {
        m_report.print(*text);
      } else {
        m_report.failure(std::get<FileResult::Box>(line).error);
      }
    }
    Tally& t = m_report.tally();
    t.visited += r.counts.visited;
    t.changed += r.counts.changed;
    t.replacements += r.counts.replacements;
    t.found += r.counts.found;
    t.skipped += r.counts.skipped;
    t.readAs.insert(r.counts.readAs.begin(), r.counts.readAs.end());
    for (std::size_t i = 0; i < r.counts.visited; ++i) m_progress.fileDone();
  }

  // The walking thread's pump: a signal stops the run, the progress line moves on, and what
  // the workers finished is printed.
  void pumpMain() {
    stopIfSignalled();
    m_progress.tick();
  }

  void work(Converter& converter) {
    for (;;) {
      std::pair<std::size_t, FileTask> task;
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait(lock, [this] { return m_closing || !m_tasks.empty(); });
        if (m_tasks.empty()) return;  // closing
        task = std::move(m_tasks.front());
        m_tasks.pop_front();
      }
      FileResult r;
      process(converter, task.second, r);
      {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_slots[task.first - m_base].done = true;
        m_slots[task.first - m_base].result = std::move(r);
      }
      m_done.notify_all();
    }
  }

  const Arguments& m_args;
  const Job& m_job;
  Progress& m_progress;
  Report& m_report;
  const WorkFiles* m_workFiles;
  engine::UndoJournal* m_undo;
  std::vector<std::unique_ptr<Converter>> m_converters;
  Collector m_walkLines;
  FileResult m_walkResult;
  std::unique_ptr<engine::Conversion> m_walk;

  std::mutex m_mutex;
  std::condition_variable m_wake;  // workers: a task or the end
  std::condition_variable m_done;  // the walking thread: a result
  std::deque<Slot> m_slots;        // results on their way, in the order of the files
  std::size_t m_base = 0;          // the number of the slot at the front
  std::deque<std::pair<std::size_t, FileTask>> m_tasks;
  std::size_t m_capacity = 4;
  bool m_closing = false;
  std::vector<std::thread> m_threads;
};

engine::RunHeader undoHeader(const Job& job) {
  engine::RunHeader header{engine::RunOrigin::CommandLine, job.find, job.replace, {}};
  for (const Target& t : job.targets) {
    if (!header.target.empty()) header.target += ", ";
    header.target += t.path;
  }
  return header;
}

}  // namespace

int execute(const Arguments& a) {
  const Job job = prepare(a);
  stopIfSignalled();
  if (!a.dryRun && !a.yes) {
    requireTerminal("заменять");
    if (!confirm(job)) {
      std::fputs("Замена отменена, файлы не изменены.\n", stderr);
      return 1;
    }
  }
  bool anyFolder = false;
  for (const Target& t : job.targets) anyFolder = anyFolder || t.folder;
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  const bool only = job.targets.size() == 1;
  // One file needs one worker: the walking thread converts it.
  const unsigned jobs = !anyFolder && only
                            ? 1u
                            : a.jobs.value_or(cores > 0 ? static_cast<unsigned>(cores) : 1u);
  Progress progress(anyFolder && isatty(STDERR_FILENO));
  Report report(progress);
  std::optional<WorkFiles> workFiles;
  if (!a.dryRun) workFiles.emplace(jobs);
  // With one shared work file (no folder of our own) there is one worker.
  const unsigned workers = workFiles && workFiles->shared() ? 1u : jobs;
  std::optional<engine::UndoJournal> undo;
  if (!a.dryRun && !a.noUndo) {
    undo.emplace(engine::UndoStoreFolder(), undoHeader(job));
  }
  {
    Run run(a, job, progress, report, workFiles ? &*workFiles : nullptr, undo ? &*undo : nullptr,
            workers);
    for (const Target& t : job.targets) {
      if (t.missing) {
        run.missing(*t.missing, t.path);
      } else if (t.folder) {
        run.walk(walkPath(t.path));
      } else {
        run.file(t, only);
      }
    }
    run.finish();
  }
  stopIfSignalled();
  // A single file closes as the window's file command does: only when it was rewritten.
  const Tally& t = report.tally();
  const bool closing = a.dryRun || !only || job.targets.front().folder ||
                       (t.failures == 0 && t.skipped == 0);
  report.finish(a.dryRun, !a.ignoreCase, closing);
  if (undo && !undo->enabled()) {
    std::fflush(stdout);
    std::fprintf(stderr, "tarvel-cli: %s: %s\n",
                 undo->partial() ? "эту замену можно будет отменить лишь отчасти"
                                 : "эту замену нельзя будет отменить",
                 undo->problem().c_str());
  }
  return report.tally().failures == 0 ? 0 : 1;
}

}  // namespace cli
