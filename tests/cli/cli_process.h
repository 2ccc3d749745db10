#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cli_testing {

/// How the companion is started: its arguments, where its three streams go, its folder and
/// its temporary folder (TMPDIR, where its work file lives).
struct Launch {
  std::vector<std::string> args;
  std::string tmpdir;               ///< required: every run gets a temporary folder of the test's own
  std::string stdinPath = "/dev/null";
  std::string stdoutPath;           ///< a file; required
  std::string stderrPath;           ///< a file, or a terminal's name
  std::string cwd;                  ///< empty: the test's own
  bool stdinIsTerminal = false;     ///< open stdinPath as a terminal (no controlling tty taken)
  std::vector<std::string> wrapper; ///< a command to run it under (setpriv, strace), looked up in PATH
  std::string program;              ///< empty: tarvel-cli
  std::vector<std::string> environment;  ///< NAME=value entries added to the test's own
};

/// A launch with standard input from /dev/null; set the other fields afterwards.
Launch launchOf(std::vector<std::string> args, std::string tmpdir, std::string stdoutPath,
                std::string stderrPath = {});

/// Starts tarvel-cli (or `launch.program`); returns its process id.
pid_t spawnCli(const Launch& launch);

/// Waits for the process; its exit status, or 128 + the signal that killed it. A process still
/// running after two minutes is killed and gives -1, so that a hanging run fails its test.
int waitFor(pid_t pid);

/// What a finished run left.
struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

/// Runs tarvel-cli to the end with standard input from /dev/null, capturing both outputs;
/// under `wrapper` when one is given.
Result runCli(const std::vector<std::string>& args, const std::string& tmpdir,
              const std::string& cwd = {}, const std::vector<std::string>& wrapper = {});

/// Runs `launch` to the end, capturing both outputs (its own output paths are not used).
Result runToEnd(Launch launch);

/// Splits output into lines (without their "\n").
std::vector<std::string> lines(const std::string& text);

/// A file as a run may leave it: content, inode and modification time.
struct FileState {
  std::string content;
  ino_t inode = 0;
  long long mtimeNs = 0;
  bool operator==(const FileState&) const = default;
};

/// Every file below `root` (hidden ones and links included, links not followed), by path
/// relative to `root`.
std::map<std::string, FileState> snapshot(const std::string& root);

/// Contents only, by relative path.
std::map<std::string, std::string> contents(const std::string& root);

/// The work files of runs going on that already hold data: files named k5ywhqx... in TMPDIR
/// or in a folder up to two levels below it (the private folder, then the run's).
std::vector<std::string> busyWorkFiles(const std::string& tmpdir);

/// Polls until process `pid` has `path` open; false when it ended first.
bool waitForOpenFile(pid_t pid, const std::string& path);

/// Polls until a work file other than `other` holds data, that is until a run is in the
/// middle of converting a file; returns it, or nothing when process `pid` ended first.
std::optional<std::string> waitForWorkFile(pid_t pid, const std::string& tmpdir,
                                           const std::string& other = {});

/// A pseudo-terminal whose output side passes bytes unchanged (no CR added before LF).
class Terminal {
 public:
  Terminal();
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  const std::string& name() const { return m_name; }
  /// Types `text` as the user would.
  void type(const std::string& text);
  /// Reads what the program writes until `marker` has appeared (or ten seconds have passed);
  /// returns all read so far.
  std::string readUntil(const std::string& marker);
  /// Everything the program wrote to the terminal (and the echo of what was typed) until it
  /// closed its side; call after the process has ended.
  std::string drain();

 private:
  int m_master = -1;
  std::string m_name;
  std::string m_seen;
};

/// `bytes` bytes of `line` repeated, the last copy cut short.
std::string textBlock(std::size_t bytes, const std::string& line);

}  // namespace cli_testing
