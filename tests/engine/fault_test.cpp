// Faults made real rather than mocked: a temporary folder on another file system or behind a
// bind mount, a disk that fills up (a small tmpfs), failures injected into the system calls of
// a conversion with strace, a kill at every one of those calls, and files that other programs
// plant or change while a conversion runs. Mounting needs root; the tests skip without it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "engine/file/convert_file.h"
#include "platform/attributes.h"
#include "platform/error.h"
#include "tests/support/run_transcript.h"
#include "tests/support/strace_log.h"
#include "tests/support/temp_tree.h"

namespace engine {
namespace {

using testing_support::Call;
using testing_support::exists;
using testing_support::listFolder;
using testing_support::readFile;
using testing_support::readTrace;
using testing_support::Record;
using testing_support::RunSetup;
using testing_support::straceMissing;
using testing_support::TempTree;
using testing_support::Verdict;
using testing_support::writeFile;

constexpr const char* kFind = "alpha";
constexpr const char* kReplace = "alpha-ALPHA-alpha";
constexpr const char* kName = "notes.txt";
constexpr mode_t kMode = 0640;
constexpr uid_t kOwner = 1234;
constexpr gid_t kGroup = 5678;

// 215 KB in four chunks, CR LF line ends and Cyrillic bytes, `word` once on every line. With
// kReplace the result is 323 KB: more than one 256 KiB block of the copy next to the source,
// and more than a 256 KiB tmpfs holds, while the source alone fits on one.
std::string textWith(const std::string& word) {
  std::string s;
  for (int i = 0; i < 9000; ++i) {
    s += std::to_string(i) + " " + word + " \xEF\xF0\xE8\xE2\xE5\xF2 beta\r\n";
  }
  return s;
}

// The file as a test plants it: its text in CP1251, or (a test that sets this) in UTF-16 behind
// its mark, which is read through a mapping rather than read() and searched as decoded text.
bool g_utf16 = false;

std::string inUtf16(const std::string& cp1251) {
  iconv_t cd = iconv_open("UTF-16LE", "CP1251");
  std::string out(cp1251.size() * 2, '\0');
  char* in = const_cast<char*>(cp1251.data());
  std::size_t inLeft = cp1251.size(), outLeft = out.size();
  char* o = out.data();
  iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  return "\xFF\xFE" + out;
}

const std::string& oldText() {
  static const std::string text = textWith(kFind);
  static const std::string utf16 = inUtf16(text);
  return g_utf16 ? utf16 : text;
}

const std::string& newText() {
  static const std::string text = textWith(kReplace);
  static const std::string utf16 = inUtf16(text);
  return g_utf16 ? utf16 : text;
}

// Whether `path` holds exactly `expected`; a failure says how it differs in a line, not 300 KB.
::testing::AssertionResult holds(const std::string& path, const std::string& expected) {
  if (!exists(path)) return ::testing::AssertionFailure() << path << " is missing";
  const std::string actual = readFile(path);
  if (actual == expected) return ::testing::AssertionSuccess();
  auto what = [](const std::string& s) {
    return s == oldText()   ? std::string("the old text")
           : s == newText() ? std::string("the new text")
                            : std::to_string(s.size()) + " bytes";
  };
  const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
  return ::testing::AssertionFailure()
         << path << " holds " << what(actual) << " instead of " << what(expected)
         << ", first difference at byte " << (diff.first - actual.begin());
}

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char ch : s) q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return q + "'";
}

struct stat statOf(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) std::memset(&st, 0, sizeof st);
  return st;
}

std::string xattr(const std::string& path, const char* name) {
  char value[256];
  const ssize_t n = lgetxattr(path.c_str(), name, value, sizeof value);
  return n < 0 ? std::string("<none>") : std::string(value, static_cast<std::size_t>(n));
}

// Names in `folder` other than `keep`.
std::vector<std::string> othersIn(const std::string& folder, const std::string& keep = kName) {
  std::vector<std::string> names = listFolder(folder);
  std::erase(names, keep);
  return names;
}

// A POSIX access ACL in the kernel's xattr form: owner rwx, user kOwner r-x, group r-x,
// mask r-x, others --x (mode 0751).
std::string accessAcl() {
  std::string blob;
  auto put32 = [&](std::uint32_t v) { blob.append(reinterpret_cast<const char*>(&v), 4); };
  auto entry = [&](std::uint16_t tag, std::uint16_t perm, std::uint32_t id) {
    blob.append(reinterpret_cast<const char*>(&tag), 2);
    blob.append(reinterpret_cast<const char*>(&perm), 2);
    put32(id);
  };
  put32(2);                // version
  entry(0x01, 7, ~0u);     // owner
  entry(0x02, 5, kOwner);  // a named user
  entry(0x04, 5, ~0u);     // owning group
  entry(0x10, 5, ~0u);     // mask
  entry(0x20, 1, ~0u);     // others
  return blob;
}

/// A tmpfs (or a bind mount) on `dir` for the life of the object; unmounted even when the
/// test fails. Mounting needs root.
class Mount {
 public:
  static Mount tmpfs(const std::string& dir, const std::string& size) {
    return Mount(dir, ::mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()));
  }
  static Mount bind(const std::string& from, const std::string& dir) {
    return Mount(dir, ::mount(from.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr));
  }
  Mount(Mount&& other) noexcept : m_dir(std::move(other.m_dir)), m_error(other.m_error) {
    other.m_dir.clear();
  }
  Mount& operator=(Mount&&) = delete;
  ~Mount() {
    if (!m_dir.empty() && m_error.empty()) umount2(m_dir.c_str(), MNT_DETACH);
  }
  /// Empty when mounted, else why not.
  const std::string& error() const { return m_error; }

 private:
  Mount(std::string dir, int result) : m_dir(std::move(dir)) {
    if (result != 0) m_error = std::string("cannot mount (needs root): ") + std::strerror(errno);
  }
  std::string m_dir;
  std::string m_error;
};

/// One run of the probe program: its exit status (128 + signal when killed) and its verdict
/// line ("rewritten", "binary" or "Error N description"; empty when it printed none).
struct ProbeRun {
  int status = -1;
  std::string verdict;
  std::string output;
};

// Runs the probe on `path` through `workFile`, after `wrapper` (strace, timeout) when given.
ProbeRun runProbe(const std::string& wrapper, const std::string& workFile, const std::string& path,
                  const std::string& options = "") {
  // LeakSanitizer cannot work under ptrace; a sanitized probe keeps its other checks. Without
  // address randomisation (setarch -R) the probe makes the same calls every run: the sanitizer
  // reads /proc/self/maps at its start, in as many reads as the addresses' digits take.
  const std::string command = "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 " +
                              wrapper + " setarch -R " + quote(TARVEL_CONVERT_PROBE) + " " +
                              quote(workFile) + " " + kFind + " " + kReplace + " " + quote(path) +
                              options;
  ProbeRun r;
  r.status = testing_support::run(command, &r.output);
  std::istringstream lines(r.output);
  for (std::string line; std::getline(lines, line);) {
    if (line == "rewritten" || line == "binary" || line.starts_with("Error ")) r.verdict = line;
  }
  return r;
}

class FaultTest : public ::testing::Test {
 protected:
  // The user's files and a temporary folder on the same disk file system; /var/tmp is on disk
  // where /tmp may be a tmpfs.
  static std::string diskParent() {
    struct stat st {};
    return stat("/var/tmp", &st) == 0 && S_ISDIR(st.st_mode) ? "/var/tmp" : "/tmp";
  }

  static std::string shmParent() {
    struct stat st {};
    return stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : diskParent();
  }

  // Empty when /dev/shm is on another file system than the user's files, else why not.
  std::string otherFileSystemMissing() const {
    if (statOf(shm.path()).st_dev == statOf(files.path()).st_dev) {
      return "/dev/shm is on the same file system as " + files.path();
    }
    return {};
  }

  // The run of the file at `path` alone through the window's work file `workFile`, as the
  // probe runs it in a process of its own.
  static RunSetup one(const std::string& path, const std::string& workFile) {
    return testing_support::FileRun(path, kFind, kReplace, workFile);
  }

  // What became of the file: "rewritten", or "Error N description".
  static std::string verdictOf(const RunSetup& s) { return Verdict(Record(s)); }

  // A fresh source file of the old text in `folder`, with the permission bits, owner (as
  // root) and extended attribute that every rewrite must keep.
  std::string plantSource(const std::string& folder) {
    const std::string path = folder + "/" + kName;
    unlink(path.c_str());
    writeFile(path, oldText());
    EXPECT_EQ(chmod(path.c_str(), kMode), 0);
    EXPECT_EQ(setxattr(path.c_str(), "user.note", "kept", 4, 0), 0);
    if (geteuid() == 0) {
      EXPECT_EQ(chown(path.c_str(), kOwner, kGroup), 0);
    }
    return path;
  }

  // The metadata plantSource gave, checked on whatever file `path` now is.
  static void expectMetadataKept(const std::string& path) {
    const struct stat st = statOf(path);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
    EXPECT_EQ(st.st_mode & 07777, kMode) << path;
    if (geteuid() == 0) {
      EXPECT_EQ(st.st_uid, kOwner) << path;
      EXPECT_EQ(st.st_gid, kGroup) << path;
    }
    EXPECT_EQ(xattr(path, "user.note"), "kept") << path;
  }

  // Records one conversion under strace, then runs it again on a fresh source with `error`
  // injected into the `nth` call of `syscall` whose logged line names `target`. Fails the test
  // unless exactly that one call was made to fail.
  ProbeRun injectFault(const std::string& syscall, const std::string& error,
                       const std::string& workFile, const std::string& target, int nth,
                       const std::string& options = "") {
    const std::string path = plantSource(files.path());
    const std::string record = logs / "record.log";
    const ProbeRun clean =
        runProbe("strace -f -qq -y -o " + quote(record), workFile, path, options);
    EXPECT_EQ(clean.verdict, "rewritten") << clean.output;
    int when = 0;
    for (const Call& call : readTrace(record)) {
      if (call.name == syscall && call.line.find(target) != std::string::npos && --nth == 0) {
        when = call.occurrence;
        break;
      }
    }
    EXPECT_GT(when, 0) << "no such call of " << syscall << " on " << target << " in the recording";
    if (when == 0) return {};

    plantSource(files.path());
    unlink(workFile.c_str());
    const std::string log = logs / "inject.log";
    const ProbeRun r = runProbe("strace -f -qq -y -o " + quote(log) + " -e inject=" + syscall +
                                    ":error=" + error + ":when=" + std::to_string(when),
                                workFile, path, options);
    std::vector<std::string> injected;
    for (const Call& call : readTrace(log)) {
      if (call.line.find("(INJECTED)") != std::string::npos) injected.push_back(call.line);
    }
    EXPECT_EQ(injected.size(), 1u) << readFile(log);
    if (injected.size() == 1) {
      EXPECT_TRUE(injected[0].find(syscall + "(") != std::string::npos &&
                  injected[0].find(target) != std::string::npos)
          << injected[0];
    }
    return r;
  }

  // Kills the probe at each system call of one conversion in turn, from its first look at the
  // source to its exit, each time on a fresh copy; after each kill the file must hold exactly
  // the old or exactly the new text with its metadata, and only strays of ours may be left.
  // Slice `slice` of `slices` takes every slices-th call from the slice-th on: the slices
  // together kill every call, each in a test of its own that fits the test's time limit. The
  // recording is the same in each: without address randomisation the probe makes the same calls.
  void crashAtEverySystemCall(const std::string& workFile, const std::string& options, int slice,
                              int slices) {
    const std::string path = plantSource(files.path());
    const std::string record = logs / "record.log";
    const ProbeRun clean =
        runProbe("strace -f -qq -y -o " + quote(record), workFile, path, options);
    ASSERT_EQ(clean.verdict, "rewritten") << clean.output;
    ASSERT_TRUE(holds(path, newText()));
    ASSERT_EQ(othersIn(files.path()), std::vector<std::string>{}) << "a run that ends well";
    ASSERT_FALSE(exists(workFile));

    const std::vector<Call> trace = readTrace(record);
    std::size_t first = 0;
    while (first < trace.size() &&
           (trace[first].name == "execve" || trace[first].line.find(path) == std::string::npos)) {
      ++first;
    }
    ASSERT_LT(first, trace.size()) << "the recording never names " << path;

    EXPECT_GT(trace.size() - first, 20u) << "the harness must exercise the conversion";

    int kills = 0, oldAfterKill = 0, newAfterKill = 0;
    const std::string log = logs / "kill.log";
    for (std::size_t k = first + static_cast<std::size_t>(slice); k < trace.size();
         k += static_cast<std::size_t>(slices)) {
      const Call& at = trace[k];
      SCOPED_TRACE("killed at " + at.name + " #" + std::to_string(at.occurrence) + ": " +
                   at.line.substr(0, 160));
      plantSource(files.path());
      for (const std::string& stray : othersIn(files.path())) {
        unlink((files / stray).c_str());
      }
      unlink(workFile.c_str());

      // Only the call to be killed is logged, its descriptors undecoded: strace's work at each
      // of the probe's other calls is what a kill step costs on a loaded machine. The call's
      // occurrences count as in the recording. (seccomp-bpf, which would spare those stops
      // too, drops a signal injected at the call.)
      const ProbeRun r = runProbe("strace -f -qq -e trace=" + at.name + " -o " + quote(log) +
                                      " -e inject=" + at.name +
                                      ":signal=KILL:when=" + std::to_string(at.occurrence),
                                  workFile, path, options);
      ASSERT_EQ(r.status, 128 + SIGKILL) << r.output;
      const std::vector<Call> killed = readTrace(log);
      ASSERT_FALSE(killed.empty());
      ASSERT_EQ(killed.back().name, at.name) << "the kill came at another call";
      ASSERT_EQ(killed.back().occurrence, at.occurrence) << "the kill came at another call";
      ++kills;

      ASSERT_TRUE(exists(path)) << "the file is gone";
      const std::string content = readFile(path);
      if (content == oldText()) {
        ++oldAfterKill;
      } else if (content == newText()) {
        ++newAfterKill;
      } else {
        FAIL() << holds(path, oldText()).message() << "; neither the old nor the new text";
      }
      expectMetadataKept(path);
      for (const std::string& stray : othersIn(files.path())) {
        EXPECT_TRUE(stray.starts_with(".tarvel-")) << "unknown file " << stray;
      }

      if (at.name == "renameat") {
        // The program started again (choosing its work file anew, as the leftover takes the
        // old name) converts the file.
        const ProbeRun again =
            runProbe("TMPDIR=" + quote(platform::folderName(workFile)), "-", path);
        EXPECT_EQ(again.verdict, "rewritten") << again.output;
        EXPECT_TRUE(holds(path, newText()));
      }
    }
    RecordProperty("kills", kills);
    std::printf("[          ] %d of %zu kill points: %d left the old text, %d the new\n", kills,
                trace.size() - first, oldAfterKill, newAfterKill);
    // The calls after the rename, which leave the new text, are more than there are slices.
    EXPECT_GT(oldAfterKill, 0);
    EXPECT_GT(newAfterKill, 0);
  }

  TempTree files{diskParent()};  // the user's files
  TempTree temp{diskParent()};   // a temporary folder on their file system
  TempTree shm{shmParent()};     // a temporary folder on another file system
  TempTree logs{diskParent()};   // strace logs
};

// ---- The temporary folder on another file system, or on the same one through a bind mount

TEST_F(FaultTest, TemporaryFolderOnAnotherFileSystemKeepsMetadataAndLeavesNothing) {
  if (const std::string why = otherFileSystemMissing(); !why.empty()) GTEST_SKIP() << why;
  const std::string path = plantSource(files.path());
  ASSERT_EQ(setxattr(path.c_str(), "user.DOSATTRIB", "0x20", 4, 0), 0);
  const std::string acl = accessAcl();
  const bool withAcl =
      setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
  const struct stat before = statOf(path);

  testing_support::ScopedEnv env("TMPDIR", shm.path().c_str());
  const std::string work = ChooseWorkFile();
  ASSERT_EQ(work, shm / "k5ywhqx");
  EXPECT_EQ(
      Record(one(path, work)).transcript,
      " | \nФайлов: 1, изменено: 1, замен: 9000, без изменений: 0, пропущено: 0, ошибок: 0\n");

  EXPECT_TRUE(holds(path, newText()));
  const struct stat after = statOf(path);
  EXPECT_NE(after.st_ino, before.st_ino) << "a new file took the source's place";
  EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(xattr(path, "user.note"), "kept");
  EXPECT_EQ(xattr(path, "user.DOSATTRIB"), "0x20");
  if (withAcl) {
    EXPECT_EQ(xattr(path, "system.posix_acl_access"), acl);
  }
  EXPECT_FALSE(exists(work)) << "the work file is removed after the copy";
  EXPECT_EQ(othersIn(files.path()), std::vector<std::string>{});
  EXPECT_EQ(listFolder(shm.path()), std::vector<std::string>{});
}

TEST_F(FaultTest, TemporaryFolderBoundFromTheSameFileSystem) {
  // A private /tmp or a container volume: the device is the same, yet rename(2) across the
  // two mounts fails with EXDEV.
  const std::string real = temp.mkdir("real");
  const std::string bound = temp.mkdir("bound");
  const Mount mount = Mount::bind(real, bound);
  if (!mount.error().empty()) GTEST_SKIP() << mount.error();
  ASSERT_EQ(statOf(bound).st_dev, statOf(files.path()).st_dev);

  const std::string path = plantSource(files.path());
  const std::string work = bound + "/k5ywhqx";
  ASSERT_EQ(verdictOf(one(path, work)), "rewritten");
  EXPECT_TRUE(holds(path, newText()));
  expectMetadataKept(path);
  EXPECT_FALSE(exists(work));
  EXPECT_EQ(othersIn(files.path()), std::vector<std::string>{});
}

// ---- A full disk, made by a small tmpfs

class DiskFullTest : public FaultTest {
 protected:
  void expectDiskFull(const std::string& path, const std::string& workFile) {
    const std::string verdict = verdictOf(one(path, workFile));
    EXPECT_TRUE(verdict.starts_with("Error 61 ")) << verdict;
    EXPECT_NE(verdict.find("диск заполнен"), std::string::npos) << verdict;
    EXPECT_TRUE(holds(path, oldText())) << "the source is unchanged";
    expectMetadataKept(path);
  }
};

TEST_F(DiskFullTest, WorkFileOnAFullFileSystem) {
  const std::string small = temp.mkdir("small");
  const Mount mount = Mount::tmpfs(small, "256k");
  if (!mount.error().empty()) GTEST_SKIP() << mount.error();
  const std::string work = small + "/k5ywhqx";
  const std::string little = files.write("little.txt", "alpha\n");
  ASSERT_EQ(verdictOf(one(little, work)), "rewritten") << "a result that fits";
  EXPECT_EQ(readFile(little), "alpha-ALPHA-alpha\n");

  const std::string path = plantSource(files.path());
  expectDiskFull(path, work);
  EXPECT_EQ(othersIn(files.path()), std::vector<std::string>{"little.txt"});

  // The failed work file filled the disk; the next conversion starts by emptying it.
  writeFile(little, "alpha\n");
  EXPECT_EQ(verdictOf(one(little, work)), "rewritten");
  EXPECT_EQ(readFile(little), "alpha-ALPHA-alpha\n");
}

TEST_F(DiskFullTest, CopyNextToTheSourceOnAFullFileSystem) {
  const std::string small = temp.mkdir("small");
  const Mount mount = Mount::tmpfs(small, "256k");
  if (!mount.error().empty()) GTEST_SKIP() << mount.error();
  ASSERT_NE(statOf(small).st_dev, statOf(temp.path()).st_dev);
  const std::string work = temp / "k5ywhqx";
  const std::string little = small + "/little.txt";
  writeFile(little, "alpha\n");
  ASSERT_EQ(verdictOf(one(little, work)), "rewritten") << "a result that fits";
  EXPECT_EQ(readFile(little), "alpha-ALPHA-alpha\n");

  const std::string path = plantSource(small);
  expectDiskFull(path, work);
  EXPECT_EQ(othersIn(small), std::vector<std::string>{"little.txt"}) << "no copy left behind";
}

TEST_F(DiskFullTest, SourceAndWorkFileOnTheSameFullFileSystem) {
  const std::string small = temp.mkdir("small");
  const Mount mount = Mount::tmpfs(small, "256k");
  if (!mount.error().empty()) GTEST_SKIP() << mount.error();
  const std::string folder = small + "/files";
  const std::string tmp = small + "/tmp";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(tmp.c_str(), 0755), 0);
  const std::string path = plantSource(folder);
  expectDiskFull(path, tmp + "/k5ywhqx");
  EXPECT_EQ(othersIn(folder), std::vector<std::string>{});
}

// ---- System calls made to fail with strace

TEST_F(FaultTest, InjectedSystemCallFailuresLeaveTheSourceAsItWas) {
  if (!straceMissing().empty()) GTEST_SKIP() << straceMissing();
  const bool across = otherFileSystemMissing().empty();
  const std::string sameWork = temp / "k5ywhqx";
  const std::string otherWork = shm / "k5ywhqx";
  const std::string source = files / kName;
  const std::string copy = ".tarvel-";            // the copy next to the source, once named
  const std::string unnamed = "O_TMPFILE";        // ... and before, when it is created
  const std::string nextToSource = files.path();  // any call on a descriptor in that folder
  struct Fault {
    const char* syscall;
    const char* error;
    bool acrossFileSystems;
    std::string target;  // what the failing call's line must name
    int nth;             // which of the calls that name it
    int number;
    const char* why;
    const char* options;
  };
  const std::vector<Fault> faults = {
      {"renameat", "EXDEV", false, "\"k5ywhqx\"", 1, platform::kIoError, "системная ошибка 18", ""},
      {"write", "ENOSPC", false, sameWork, 2, platform::kDiskFull, "диск заполнен", ""},
      {"write", "EIO", false, sameWork, 1, platform::kIoError, "системная ошибка 5", ""},
      {"read", "EIO", false, source, 2, platform::kIoError, "системная ошибка 5",
       " include-binary"},
      // The first look at the file, which decides whether it is binary.
      {"read", "EIO", false, source, 1, platform::kIoError, "системная ошибка 5", ""},
      {"fchmod", "EPERM", false, sameWork, 1, platform::kAccessRefused, "операция не разрешена",
       ""},
      {"renameat", "EXDEV", true, copy, 1, platform::kIoError, "системная ошибка 18", ""},
      {"write", "ENOSPC", true, nextToSource, 2, platform::kDiskFull, "диск заполнен", ""},
      {"pread64", "EIO", true, otherWork, 1, platform::kIoError, "системная ошибка 5", ""},
      {"openat", "EACCES", true, unnamed, 1, platform::kAccessRefused, "доступ запрещён", ""},
      {"fsetxattr", "ENOSPC", true, nextToSource, 1, platform::kDiskFull, "диск заполнен", ""},
      {"linkat", "EIO", true, copy, 1, platform::kIoError, "системная ошибка 5", ""},
      {"copy_file_range", "EIO", false, sameWork, 1, platform::kIoError, "системная ошибка 5",
       " copy-ranges"},
      {"copy_file_range", "ENOSPC", false, sameWork, 3, platform::kDiskFull, "диск заполнен",
       " copy-ranges"},
  };
  int injected = 0;
  for (const Fault& f : faults) {
    if (f.acrossFileSystems && !across) continue;
    SCOPED_TRACE(std::string(f.error) + " on " + f.syscall + " #" + std::to_string(f.nth) +
                 " naming " + f.target);
    const std::string work = f.acrossFileSystems ? otherWork : sameWork;
    const ProbeRun r = injectFault(f.syscall, f.error, work, f.target, f.nth, f.options);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(r.verdict.starts_with("Error " + std::to_string(f.number) + " ")) << r.verdict;
    EXPECT_NE(r.verdict.find(f.why), std::string::npos) << r.verdict;
    EXPECT_TRUE(holds(source, oldText())) << "the source is byte for byte as it was";
    expectMetadataKept(source);
    EXPECT_EQ(othersIn(files.path()), std::vector<std::string>{}) << "nothing of ours is left";
    // The next conversion through the same work file is not hindered by what the failed one
    // left there.
    const ProbeRun next = runProbe("", work, source);
    EXPECT_EQ(next.verdict, "rewritten") << next.output;
    EXPECT_TRUE(holds(source, newText()));
    ++injected;
  }
  EXPECT_GE(injected, 5);
  if (!across) GTEST_SKIP() << "faults across file systems not run: " << otherFileSystemMissing();
}

// ---- A kill at every system call of a conversion

/// One conversion whose every system call the kill harness takes in turn.
struct KillCase {
  const char* name;
  bool acrossFileSystems;  ///< the work file on another file system than the source's
  const char* options;     ///< the probe's
  bool utf16;              ///< the file in UTF-16
};

const KillCase kKillCases[] = {
    {"Plain", false, "", false},
    // The text between occurrences copied by the kernel (copy_file_range), on one file system
    // and across two (where the kernel copies no ranges and the program falls back to a buffer).
    {"CopyingRanges", false, " copy-ranges", false},
    {"CopyingRangesAcrossFileSystems", true, " copy-ranges", false},
    // A file planned, then written as planned: the plan's reading and the check that the file is
    // as it was planned add no step that a kill could leave half done.
    {"Reviewed", false, " reviewed", false},
    // A file in UTF-16: mapped, decoded a piece at a time, its replacements encoded back.
    {"Utf16", false, "", true},
    {"AcrossFileSystems", true, "", false},
};

// Each conversion's calls are killed in this many tests, a slice of them each: under the
// sanitizers on a loaded machine a kill step takes up to seconds.
constexpr int kKillSlices = 4;

void PrintTo(const KillCase& conversion, std::ostream* out) { *out << conversion.name; }

class KillTest : public FaultTest,
                 public ::testing::WithParamInterface<std::tuple<KillCase, int>> {};

TEST_P(KillTest, AtEverySystemCallLeavesTheOldOrTheNewFile) {
  if (!straceMissing().empty()) GTEST_SKIP() << straceMissing();
  const auto& [conversion, slice] = GetParam();
  if (conversion.acrossFileSystems) {
    if (const std::string why = otherFileSystemMissing(); !why.empty()) GTEST_SKIP() << why;
  }
  struct InUtf16 {
    explicit InUtf16(bool on) { g_utf16 = on; }
    ~InUtf16() { g_utf16 = false; }
  } inUtf16(conversion.utf16);
  crashAtEverySystemCall((conversion.acrossFileSystems ? shm : temp) / "k5ywhqx",
                         conversion.options, slice, kKillSlices);
}

INSTANTIATE_TEST_SUITE_P(Conversions, KillTest,
                         ::testing::Combine(::testing::ValuesIn(kKillCases),
                                            ::testing::Range(0, kKillSlices)),
                         [](const ::testing::TestParamInfo<KillTest::ParamType>& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::to_string(std::get<1>(info.param) + 1) + "of" +
                                  std::to_string(kKillSlices);
                         });

// ---- Files that other programs plant or change

TEST_F(FaultTest, FifoAtTheWorkFilesNameFailsWithoutHanging) {
  const std::string work = temp / "k5ywhqx";
  ASSERT_EQ(mkfifo(work.c_str(), 0600), 0);
  const std::string path = plantSource(files.path());
  const ProbeRun r = runProbe("timeout 10", work, path);
  ASSERT_NE(r.status, 124) << "the conversion hung on the FIFO";
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(r.verdict.starts_with("Error 70 ")) << r.verdict;
  EXPECT_NE(r.verdict.find("это не обычный файл"), std::string::npos) << r.verdict;
  EXPECT_TRUE(holds(path, oldText()));
  EXPECT_TRUE(S_ISFIFO(statOf(work).st_mode));
  EXPECT_EQ(othersIn(files.path()), std::vector<std::string>{});
}

TEST_F(FaultTest, SourceChangedWhileItIsConvertedIsLeftAsTheOtherProgramMadeIt) {
  // The run lets the window repaint after each chunk: there another program changes the
  // source, between the conversion's read and its rename.
  struct Change {
    const char* what;
    std::function<void(const std::string& path)> apply;
  };
  const std::string theirs = "someone else's text\n";
  const std::vector<Change> changes = {
      {"replaced by another file",
       [&](const std::string& path) {
         writeFile(path + ".new", theirs);
         ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
       }},
      {"rewritten in place at the same size",
       [](const std::string& path) {
         const int fd = open(path.c_str(), O_WRONLY);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(pwrite(fd, "OMEGA", 5, 100000), 5);
         close(fd);
       }},
      {"grown",
       [&](const std::string& path) {
         const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(write(fd, theirs.data(), theirs.size()), static_cast<ssize_t>(theirs.size()));
         close(fd);
       }},
      {"shrunk", [](const std::string& path) { ASSERT_EQ(truncate(path.c_str(), 1000), 0); }},
  };
  std::vector<std::string> workFiles = {temp / "k5ywhqx"};
  if (otherFileSystemMissing().empty()) workFiles.push_back(shm / "k5ywhqx");
  for (const std::string& workFile : workFiles) {
    for (const Change& change : changes) {
      SCOPED_TRACE(std::string(change.what) + ", work file " + workFile);
      const std::string path = plantSource(files.path());
      // An old file, so that any change moves its modification time.
      const struct timespec past[2] = {{978307200, 0}, {978307200, 0}};
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), past, 0), 0);
      RunSetup s = one(path, workFile);
      s.options.skipBinary = false;
      std::string expected;
      int calls = 0;
      s.onWaiting = [&] {
        if (++calls != 1) return;
        change.apply(path);
        expected = readFile(path);
      };
      const std::string verdict = verdictOf(s);
      EXPECT_TRUE(verdict.starts_with("Error 78 ")) << verdict;
      EXPECT_NE(verdict.find("файл изменился"), std::string::npos) << verdict;
      EXPECT_TRUE(holds(path, expected));
      EXPECT_EQ(othersIn(files.path()), std::vector<std::string>{});

      // As in a folder walk, the next file goes through the same work file.
      const std::string next = plantSource(files.path());
      EXPECT_EQ(verdictOf(one(next, workFile)), "rewritten");
      EXPECT_TRUE(holds(next, newText()));
    }
  }
}

TEST_F(FaultTest, ReadOnlyFileIsRefusedEvenForRoot) {
  std::vector<std::string> workFiles = {temp / "k5ywhqx"};
  if (otherFileSystemMissing().empty()) workFiles.push_back(shm / "k5ywhqx");
  for (const std::string& workFile : workFiles) {
    SCOPED_TRACE("work file " + workFile);
    const std::string path = plantSource(files.path());
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    if (geteuid() == 0) {
      ASSERT_EQ(access(path.c_str(), W_OK), 0) << "the system would let root write it";
    }
    const ProbeRun r = runProbe("", workFile, path);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(r.verdict.starts_with("Error 75 ")) << r.verdict;
    EXPECT_NE(r.verdict.find("только для чтения"), std::string::npos) << r.verdict;
    EXPECT_TRUE(holds(path, oldText()));
    EXPECT_EQ(statOf(path).st_mode & 07777, 0444u);
    EXPECT_FALSE(exists(workFile)) << "nothing of the refused file is written anywhere";
    EXPECT_EQ(othersIn(files.path()), std::vector<std::string>{});
  }
}

// ---- Other users, other Tarvels, other programs

TEST_F(FaultTest, InheritedAclNeverWidensWhoMayReadTheFile) {
  if (geteuid() != 0) GTEST_SKIP() << "setting ACLs for another user needs root here";
  if (testing_support::run("command -v setfacl >/dev/null") != 0) GTEST_SKIP() << "no setfacl";
  // A default ACL that lets nobody in: on the temporary folder (the work file is made there),
  // and on the file's own folder (the copy next to it is made there when the temporary folder
  // is on another file system).
  struct Case {
    std::string inherits;  // the folder with the default ACL
    std::string workFile;
  };
  std::vector<Case> cases = {{temp.path(), temp / "k5ywhqx"}};
  if (otherFileSystemMissing().empty()) cases.push_back({files.path(), shm / "k5ywhqx"});
  for (const Case& k : cases) {
    SCOPED_TRACE(k.inherits);
    ASSERT_EQ(testing_support::run("setfacl -d -m u:nobody:rwx '" + k.inherits + "'"), 0);
    const std::string path = plantSource(files.path());
    ASSERT_EQ(testing_support::run("setfacl -b '" + path + "'"), 0);  // no ACL of its own
    ASSERT_EQ(chmod(path.c_str(), kMode), 0);
    ASSERT_EQ(verdictOf(one(path, k.workFile)), "rewritten");
    EXPECT_TRUE(holds(path, newText()));
    EXPECT_LT(getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0), 0)
        << "the rewritten file carries an ACL its source did not have";
    expectMetadataKept(path);
    ASSERT_EQ(testing_support::run("setfacl -k '" + k.inherits + "'"), 0);
  }
}

TEST_F(FaultTest, TwoTarvelsOnOneFileApplyBothConversions) {
  // Two programs convert the same large file at once, each through a work file of its own:
  // the lock on the source makes one wait for the other, so neither replacement is lost.
  const std::string path = files / "both.txt";
  for (int round = 0; round < 5; ++round) {
    std::string text;
    while (text.size() < 2'000'000) text += "q.\n";
    writeFile(path, text);
    const std::string command = std::string(TARVEL_CONVERT_PROBE) + " '" + (temp / "one") +
                                "' q qq '" + path + "' & " + TARVEL_CONVERT_PROBE + " '" +
                                (shm / "two") + "' q qq '" + path + "' & wait";
    std::string output;
    ASSERT_EQ(testing_support::run(command, &output), 0) << output;
    std::string expected;
    while (expected.size() < 5'000'000) expected += "qqqq.\n";
    expected.resize(text.size() / 3 * 6);
    ASSERT_TRUE(readFile(path) == expected) << "round " << round << ": a replacement was lost";
  }
}

TEST_F(FaultTest, ChangeWithItsModificationTimePutBackIsCaught) {
  // While the file is converted, another program writes it and puts the modification time
  // back (touch -r): size and modification time say nothing, the change time does.
  const std::string path = plantSource(files.path());
  RunSetup s = one(path, temp / "k5ywhqx");
  bool changed = false;
  s.onWaiting = [&] {
    if (changed) return;
    changed = true;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "X", 1, 0), 1);
    close(fd);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  };
  const std::string verdict = verdictOf(s);
  EXPECT_TRUE(verdict.starts_with("Error 78 ")) << verdict;
  ASSERT_TRUE(changed);
  EXPECT_EQ(readFile(path).substr(0, 1), "X") << "the other program's change stays";
}

TEST_F(FaultTest, FolderThatTakesNoRenamesFailsBeforeAnythingIsMade) {
  // The files on a tmpfs, append-only or immutable; the work file on the disk or beside them.
  if (testing_support::run("command -v chattr >/dev/null") != 0) GTEST_SKIP() << "no chattr";
  for (const char* flag : {"+a", "+i"}) {
    for (const std::string& workFile : {temp / "k5ywhqx", shm / "work/k5ywhqx"}) {
      SCOPED_TRACE(std::string(flag) + " " + workFile);
      TempTree folder{shm.path()};
      mkdir((shm / "work").c_str(), 0700);
      const std::string path = plantSource(folder.path());
      if (testing_support::run("chattr " + std::string(flag) + " '" + folder.path() + "'") != 0) {
        GTEST_SKIP() << "chattr " << flag << " is not available on this tmpfs";
      }
      const std::string verdict = verdictOf(one(path, workFile));
      EXPECT_TRUE(verdict.starts_with("Error 75 ")) << verdict;
      EXPECT_NE(verdict.find("chattr " + std::string(flag)), std::string::npos) << verdict;
      EXPECT_FALSE(exists(workFile)) << "nothing was made";
      testing_support::run("chattr -a -i '" + folder.path() + "'");
      EXPECT_EQ(listFolder(folder.path()), std::vector<std::string>{kName});
      EXPECT_TRUE(holds(path, oldText()));
    }
  }
}

TEST_F(FaultTest, OthersCannotTakeTheWorkFilesPlaceInASharedTemporaryFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "the test plays two users";
  // A temporary folder like /tmp, where another user has planted folders at the work file's
  // names; the conversion runs as nobody.
  const std::string shared = temp.mkdir("shared");
  ASSERT_EQ(chmod(temp.path().c_str(), 0711), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  for (const char* name : {"k5ywhqx", "k5ywhqx0", "k5ywhqx1"})
    mkdir((shared + "/" + name).c_str(), 0755);
  ASSERT_EQ(chmod(files.path().c_str(), 0777), 0);
  const std::string path = files / "mine.txt";
  writeFile(path, "old");
  ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups env TMPDIR='" +
                               shared + "' " + TARVEL_CONVERT_PROBE + " - old new '" + path + "'";
  std::string output;
  EXPECT_EQ(testing_support::run(asNobody, &output), 0) << output;
  EXPECT_EQ(readFile(path), "new");
  EXPECT_EQ(statOf(shared + "/tarvel-65534").st_mode & 07777, 0700u);
  EXPECT_EQ(statOf(shared + "/tarvel-65534").st_uid, 65534u);

  // The user's own folder planted by someone else: refused, nothing touched.
  ASSERT_EQ(testing_support::run("rm -rf '" + shared + "/tarvel-65534'"), 0);
  mkdir((shared + "/tarvel-65534").c_str(), 0777);
  EXPECT_EQ(testing_support::run(asNobody, &output), 1) << output;
  EXPECT_NE(output.find("принадлежит другому пользователю"), std::string::npos) << output;
  EXPECT_EQ(readFile(path), "new");
  EXPECT_EQ(listFolder(shared + "/tarvel-65534"), std::vector<std::string>{});
}

}  // namespace
}  // namespace engine
