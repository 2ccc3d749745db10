#include "tests/cli/cli_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string_view>

#include "tests/support/temp_tree.h"

extern char** environ;

namespace cli_testing {
namespace {

// The undo store of every run this test process starts, removed when the process ends.
std::string testStateHome() {
  struct Folder {
    std::string path;
    Folder() {
      char pattern[] = "/tmp/tarvel-test-state-XXXXXX";
      if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
      path = pattern;
    }
    ~Folder() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  };
  static const Folder folder;
  return folder.path;
}

void check(int result, const char* what) {
  if (result != 0) throw std::runtime_error(std::string(what) + ": " + std::strerror(result));
}

}  // namespace

Launch launchOf(std::vector<std::string> args, std::string tmpdir, std::string stdoutPath,
                std::string stderrPath) {
  Launch launch;
  launch.args = std::move(args);
  launch.tmpdir = std::move(tmpdir);
  launch.stdoutPath = std::move(stdoutPath);
  launch.stderrPath = std::move(stderrPath);
  return launch;
}

pid_t spawnCli(const Launch& launch) {
  if (launch.tmpdir.empty() || launch.stdoutPath.empty()) {
    throw std::logic_error("a run needs its own TMPDIR and an output file");
  }
  // The run's own temporary folder, and the locale of a Linux desktop whatever the test's own.
  const bool traced = !launch.wrapper.empty() && launch.wrapper.front() == "strace";
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry = *e;
    if (!entry.starts_with("TMPDIR=") && !entry.starts_with("LC_") && !entry.starts_with("LANG") &&
        !(traced && entry.starts_with("ASAN_OPTIONS="))) {
      env.emplace_back(entry);
    }
  }
  env.push_back("TMPDIR=" + launch.tmpdir);
  env.push_back("LC_ALL=C.UTF-8");
  // Runs keep their undo data out of the user's home: in a folder of this test process,
  // unless the test names one.
  const bool ownState = std::any_of(launch.environment.begin(), launch.environment.end(),
                                    [](const std::string& e) { return e.starts_with("XDG_STATE_HOME="); });
  if (!ownState) env.push_back("XDG_STATE_HOME=" + testStateHome());
  // LeakSanitizer cannot work under ptrace: a sanitized run under strace keeps its other checks.
  if (traced) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr && *asan ? std::string(asan) + ":" : "") +
                  "detect_leaks=0");
  }
  env.insert(env.end(), launch.environment.begin(), launch.environment.end());
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::vector<std::string> args = launch.args;
  args.insert(args.begin(), launch.program.empty() ? std::string(TARVEL_CLI) : launch.program);
  args.insert(args.begin(), launch.wrapper.begin(), launch.wrapper.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  check(posix_spawn_file_actions_init(&actions), "file actions");
  const int inFlags = launch.stdinIsTerminal ? O_RDWR | O_NOCTTY : O_RDONLY;
  check(posix_spawn_file_actions_addopen(&actions, 0, launch.stdinPath.c_str(), inFlags, 0),
        "stdin");
  check(posix_spawn_file_actions_addopen(&actions, 1, launch.stdoutPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600),
        "stdout");
  const std::string errPath = launch.stderrPath.empty() ? "/dev/null" : launch.stderrPath;
  check(posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0600),
        "stderr");
  if (!launch.cwd.empty()) {
    check(posix_spawn_file_actions_addchdir_np(&actions, launch.cwd.c_str()), "cwd");
  }
  // A process group of its own: a test that holds a run with SIGSTOP must be the only one to
  // continue it (the kernel continues stopped members of a group that becomes orphaned).
  posix_spawnattr_t attributes;
  check(posix_spawnattr_init(&attributes), "spawn attributes");
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = 0;
  const int spawned = launch.wrapper.empty()
                          ? posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(),
                                        envp.data())
                          : posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(),
                                         envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  check(spawned, "posix_spawn");
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  for (int waited = 0;; waited += 10) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return -1;
    if (waited >= 120000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(10000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Result runCli(const std::vector<std::string>& args, const std::string& tmpdir,
              const std::string& cwd, const std::vector<std::string>& wrapper) {
  Launch launch = launchOf(args, tmpdir, {});
  launch.cwd = cwd;
  launch.wrapper = wrapper;
  return runToEnd(std::move(launch));
}

Result runToEnd(Launch launch) {
  testing_support::TempTree io;
  launch.stdoutPath = io / "out";
  launch.stderrPath = io / "err";
  Result r;
  r.status = waitFor(spawnCli(launch));
  r.out = testing_support::readFile(io / "out");
  r.err = testing_support::readFile(io / "err");
  return r;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    if (end == std::string::npos) {
      result.push_back(text.substr(start));
      break;
    }
    result.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

std::map<std::string, FileState> snapshot(const std::string& root) {
  namespace fs = std::filesystem;
  std::map<std::string, FileState> files;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    struct stat st {};
    if (lstat(it->path().c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
    FileState state;
    state.inode = st.st_ino;
    state.mtimeNs = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    if (S_ISREG(st.st_mode)) {
      state.content = testing_support::readFile(it->path());
    } else if (S_ISLNK(st.st_mode)) {
      state.content = "-> " + fs::read_symlink(it->path()).string();
    }
    files[fs::relative(it->path(), root).string()] = state;
  }
  return files;
}

std::map<std::string, std::string> contents(const std::string& root) {
  std::map<std::string, std::string> result;
  for (const auto& [name, state] : snapshot(root)) result[name] = state.content;
  return result;
}

std::vector<std::string> busyWorkFiles(const std::string& tmpdir) {
  std::vector<std::string> found;
  auto look = [&found](const std::string& folder, int depth, auto& self) -> void {
    for (const std::string& name : testing_support::listFolder(folder)) {
      const std::string path = folder + "/" + name;
      struct stat st {};
      if (lstat(path.c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode) && depth > 0) self(path, depth - 1, self);
      if (S_ISREG(st.st_mode) && name.starts_with("k5ywhqx") && st.st_size > 0) {
        found.push_back(path);
      }
    }
  };
  look(tmpdir, 2, look);
  return found;
}

bool waitForOpenFile(pid_t pid, const std::string& path) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (;;) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(fds, ec)) {
      std::error_code linkError;
      if (std::filesystem::read_symlink(entry.path(), linkError) == path) return true;
    }
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid) {
      return false;  // ended: left for waitFor()
    }
  }
}

std::optional<std::string> waitForWorkFile(pid_t pid, const std::string& tmpdir,
                                           const std::string& other) {
  for (;;) {
    for (const std::string& work : busyWorkFiles(tmpdir)) {
      if (work != other) return work;
    }
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid) {
      return std::nullopt;  // ended: left for waitFor()
    }
  }
}

Terminal::Terminal() {
  m_master = posix_openpt(O_RDWR | O_NOCTTY);
  if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
    throw std::runtime_error("no pseudo-terminal");
  }
  char name[128];
  check(ptsname_r(m_master, name, sizeof name), "ptsname");
  m_name = name;
  // Output passes unchanged, so a test sees exactly the bytes the program wrote.
  const int slave = open(name, O_RDWR | O_NOCTTY);
  if (slave < 0) throw std::runtime_error("cannot open the terminal's program side");
  termios t{};
  tcgetattr(slave, &t);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tcsetattr(slave, TCSANOW, &t);
  close(slave);
}

Terminal::~Terminal() {
  if (m_master >= 0) close(m_master);
}

void Terminal::type(const std::string& text) {
  if (write(m_master, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    throw std::runtime_error("cannot type on the terminal");
  }
}

std::string Terminal::readUntil(const std::string& marker) {
  char buffer[4096];
  for (int waited = 0; m_seen.find(marker) == std::string::npos && waited < 10000; waited += 50) {
    pollfd p{m_master, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = read(m_master, buffer, sizeof buffer);
    if (n <= 0) break;
    m_seen.append(buffer, static_cast<std::size_t>(n));
  }
  return m_seen;
}

std::string Terminal::drain() {
  fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
  std::string text = m_seen;
  char buffer[4096];
  for (int idle = 0; idle < 20;) {
    const ssize_t n = read(m_master, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{m_master, POLLIN, 0};
      poll(&p, 1, 50);
      ++idle;
    } else {
      break;  // EIO: the program's side is closed and everything has been read
    }
  }
  return text;
}

std::string textBlock(std::size_t bytes, const std::string& line) {
  std::string text;
  text.reserve(bytes + line.size());
  while (text.size() < bytes) text += line;
  text.resize(bytes);
  return text;
}

}  // namespace cli_testing
