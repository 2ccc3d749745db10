#include "engine/file/convert_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include "engine/file/planned_file.h"
#include "engine/file/replacement.h"
#include "engine/file/source_file.h"
#include "engine/file/work_file.h"
#include "platform/attributes.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/metadata.h"
#include "platform/temp_folder.h"

namespace engine {
namespace {

using platform::Error;
using platform::File;

}  // namespace

std::optional<Error> ReplaceRefusal(const platform::Attributes& a, bool hiddenToo) {
  using platform::Refusal;
  const platform::Step step = platform::Step::ReplaceFile;
  if (a.readOnly) return Error(Refusal::ReadOnly, step, platform::Why::ReadOnlyFile);
  if (a.hidden && !hiddenToo) return Error(Refusal::Hidden, step, platform::Why::HiddenFile);
  if (a.system) return Error(Refusal::System, step, platform::Why::SystemFile);
  return std::nullopt;
}

// Where the file used to be deleted: hidden, system and read-only files are refused and stay.
void CheckReplaceable(const std::string& path) {
  if (auto refusal = ReplaceRefusal(platform::readAttributes(path))) throw *refusal;
}

namespace {

// A folder that takes no renames (append-only or immutable) would refuse the last step: the
// conversion fails before it creates anything.
void checkFolderTakesRenames(const FolderFacts& folder) {
  const auto frozen = folder.attributes;
  const platform::Step step = platform::Step::ReplaceFile;
  if (frozen & STATX_ATTR_IMMUTABLE) {
    throw Error(platform::Refusal::FrozenFolder, step, platform::Why::ImmutableFolder);
  }
  if (frozen & STATX_ATTR_APPEND) {
    throw Error(platform::Refusal::FrozenFolder, step, platform::Why::AppendOnlyFolder);
  }
}

// Whether `bytes` hold the find text three times or more (its bytes as they are).
bool Dense(std::string_view bytes, std::string_view find) {
  if (find.empty()) return false;
  int found = 0;
  for (std::size_t at = bytes.find(find); at != std::string_view::npos && ++found < 3;
       at = bytes.find(find, at + find.size())) {
  }
  return found >= 3;
}

// Removes the work file while its lock is held, only when the name is still this work file:
// another Tarvel may take the name the moment the lock is let go.
void removeWorkFile(const WorkFile& open, const struct stat& own) {
  const int folder = open.area->folder.fd();
  struct stat named {};
  if (fstatat(folder, open.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      named.st_dev == own.st_dev && named.st_ino == own.st_ino) {
    unlinkat(folder, open.name.c_str(), 0);
  }
}

// Puts the finished work file in the source's place through the replacement step: renamed
// from the work folder where it is on the source's mount, else copied next to the source
// first. The work file is gone afterwards, whatever happened.
Replacement::Done replaceSource(WorkFile& open, Replacement& replacement, File& source,
                                const struct stat& sourceStat, const FolderFacts& facts,
                                bool workFileShared) {
  File& work = open.file;
  const WorkArea& area = *open.area;
  struct stat own {};
  if (fstat(work.fd(), &own) != 0) {
    platform::raiseSystemError(errno, platform::Step::WriteWorkFile);
  }
  // The work file may already carry the source's owner and permissions, and the next
  // conversion would refuse it as someone else's: on a failure it goes, as a rename would have
  // taken it.
  auto removeWork = [&] { removeWorkFile(open, own); };
  if (SameMount(facts, area.facts)) {
    // Where the work file is shared, a second descriptor keeps the lock after the work file
    // is closed, until it is renamed.
    File lock;
    try {
      if (workFileShared) {
        lock = File(fcntl(work.fd(), F_DUPFD_CLOEXEC, 0));
        if (!lock.isOpen()) platform::raiseSystemError(errno, platform::Step::WriteWorkFile);
      }
      platform::copyMetadata(source.fd(), sourceStat, work.fd(),
                             {area.owner, area.newGroup, area.defaultAcl});
      work.close(platform::Step::WriteWorkFile);
      return replacement.commitFrom(area.folder.fd(), open.name);
    } catch (...) {
      removeWork();
      throw;
    }
  }
  try {
    replacement.stage(work.fd(), source.fd(), sourceStat, false);
  } catch (...) {
    removeWork();
    throw;
  }
  removeWork();
  work.close(platform::Step::CloseWorkFile);
  return replacement.commit();
}

}  // namespace

FileInFolder OpenFolderOf(const std::string& path) {
  // The file's folder is opened once; the file is then named only relative to it.
  std::string name = platform::baseName(path);
  if (name.empty() || name == "." || name == "..") {
    throw Error(platform::kIsFolder, platform::Step::OpenFile, platform::Why::IsFolder);
  }
  File folder = File::open(platform::folderName(path), O_RDONLY | O_DIRECTORY, 0,
                           platform::Step::OpenFolder);
  // A file of the kernel's own (/proc, /sys) is refused as its folder would be.
  if (const auto kernel = platform::kernelFileSystem(folder.fd())) {
    throw Error(platform::Refusal::KernelFileSystem, platform::Step::OpenFile,
                platform::Why::KernelFileSystem)
        .about(*kernel);
  }
  return {std::move(folder), std::move(name)};
}

namespace {

// The converted text on its way to the work file. The work file is opened with the first
// output it must hold: while nothing has been replaced and unmatched files are left alone, the
// output is the file's own bytes, held back and copied from the file once an occurrence is
// found, so that a file without one costs no work file at all. What is written is hashed as it
// goes, for the undo journal's check of the file later. A file the replacement would refuse
// (hidden, system, read-only) is refused before anything is written for it; it is still read
// to the end, for the count of what it holds.
class ConvertedOutput {
 public:
  ConvertedOutput(const FileRef& file, const Conversion& c, SourceFile& reading)
      : m_file(file), m_c(c), m_reading(reading),
        m_facts(file.open ? file.open->facts : FolderFacts{}) {
    if (c.undo != nullptr && c.undo->enabled()) {
      thread_local XXH3_state_t state;
      m_hash = &state;
      XXH3_64bits_reset(m_hash);
    }
  }

  void take(std::string_view piece, std::size_t replaced) {
    if (m_refusal) return;
    if (m_hash != nullptr) XXH3_64bits_update(m_hash, piece.data(), piece.size());
    if (!m_work) {
      if (m_c.options.leaveUnmatched && replaced == 0) {
        m_heldBack += static_cast<long long>(piece.size());
        return;
      }
      m_refusal = ReplaceRefusal(m_reading.attributes(), m_c.options.hidden);
      if (m_refusal) return;
      start();
    }
    m_work->file.writeAll(piece, platform::Step::WriteWorkFile);
  }

  // Copying ranges: the output is opened by the first occurrence that is replaced (or at the
  // end, where every file is rewritten); false when the file is refused.
  bool begin() {
    if (m_work) return true;
    if (m_refusal) return false;
    m_refusal = ReplaceRefusal(m_reading.attributes(), m_c.options.hidden);
    if (m_refusal) return false;
    start();
    return true;
  }
  // Bytes of the output from memory, gathered into large writes.
  void put(const char* bytes, std::size_t n) {
    m_pending.append(bytes, n);
    if (m_pending.size() >= kPendingMost) flushPending();
  }
  // Bytes of the output copied from the source by the kernel. Where the stretch lies at the
  // same place within a block in both files, the whole blocks go in a call of their own: a
  // file system that shares extents (XFS, btrfs) shares those instead of copying them.
  void copy(std::uint64_t offset, std::uint64_t length) {
    flushPending();
    constexpr std::uint64_t kBlock = 4096;
    std::uint64_t head = 0, middle = 0;
    if ((offset - m_size) % kBlock == 0 && length >= 2 * kBlock) {
      head = (kBlock - offset % kBlock) % kBlock;
      middle = (length - head) / kBlock * kBlock;
    }
    for (const std::uint64_t part : {head, middle, length - head - middle}) {
      if (part == 0) continue;
      platform::copyRange(m_reading.file().fd(), static_cast<long long>(offset), m_work->file,
                          static_cast<long long>(part), platform::Step::WriteWorkFile, m_c.pump);
      offset += part;
      m_size += part;
    }
  }
  void hash(const char* bytes, std::size_t n) {
    if (m_hash != nullptr) XXH3_64bits_update(m_hash, bytes, n);
  }
  void flushPending() {
    if (m_pending.empty()) return;
    m_work->file.writeAll(m_pending, platform::Step::WriteWorkFile);
    m_size += m_pending.size();
    m_pending.clear();
  }

  // The source was found to be of another kind once its output had begun: nothing of it is kept.
  void discard() {
    if (!m_work) return;
    struct stat own {};
    if (fstat(m_work->file.fd(), &own) == 0) removeWorkFile(*m_work, own);
    m_work.reset();
  }

  const std::optional<Error>& refusal() const { return m_refusal; }
  bool started() const { return m_work.has_value(); }
  WorkFile& work() { return *m_work; }
  const FolderFacts& facts() const { return m_facts; }
  std::optional<std::uint64_t> hash() const {
    if (m_hash == nullptr) return std::nullopt;
    return XXH3_64bits_digest(m_hash);
  }

 private:
  void start() {
    ReadFolderFacts(m_file.folder, m_facts);
    checkFolderTakesRenames(m_facts);
    m_work.emplace(openWorkFile(m_c.workFile, m_c.workFolder, m_reading.status(), m_c.pump,
                                m_c.workFileShared, m_c.lockBudget));
    if (m_heldBack > 0) {
      platform::copyStart(m_reading.file().fd(), m_work->file, m_heldBack,
                          platform::Step::WriteWorkFile);
    }
  }

  const FileRef& m_file;
  const Conversion& m_c;
  SourceFile& m_reading;
  FolderFacts m_facts;
  static constexpr std::size_t kPendingMost = 1 << 18;

  std::optional<WorkFile> m_work;
  std::string m_pending;  // copying ranges: output not written yet
  std::uint64_t m_size = 0;  // ... and the output written so far
  long long m_heldBack = 0;
  XXH3_state_t* m_hash = nullptr;
  std::optional<Error> m_refusal;
};

}  // namespace

namespace {

Error changedSinceReview() {
  return Error(platform::kChanged, platform::Step::ReadFile, platform::Why::ChangedSinceReview);
}

// Replaces the occurrences the user accepted, and checks on the way that each one is where the
// plan has it, with the replacement that was shown: a file whose bytes hash as planned holds the
// same occurrences, and this says so even before the hash is complete.
class AcceptedOnly final : public Replacer::Watcher {
 public:
  explicit AcceptedOnly(const PlannedFile& plan) : m_plan(plan) {}

  bool occurrence(const char*, std::uint64_t base, std::size_t at, std::size_t length,
                  std::string_view replacement) override {
    const auto& planned = m_plan.occurrences;
    if (m_next >= planned.size() || planned[m_next].offset != base + at ||
        planned[m_next].length != length ||
        (!m_plan.replacementEnds.empty() && m_plan.replacementOf(m_next) != replacement)) {
      throw changedSinceReview();
    }
    return m_plan.accepted[m_next++];
  }

  // Every planned occurrence was met.
  bool complete() const { return m_next == m_plan.occurrences.size(); }

 private:
  const PlannedFile& m_plan;
  std::size_t m_next = 0;
};

// The output of a file whose occurrences are known as they are found: the stretches between
// them are copied by the kernel (copy_file_range: on XFS and btrfs the extents are shared, not
// copied), and only the replacements are written. A stretch short enough to lie in the chunk at
// hand is written from it instead, so that a file dense with occurrences costs no more calls
// than it would through a buffer.
class RangeCopier final : public Replacer::Watcher {
 public:
  RangeCopier(ConvertedOutput& output, Replacer::Watcher* accepted)
      : m_output(output), m_accepted(accepted) {}

  bool occurrence(const char* piece, std::uint64_t base, std::size_t at, std::size_t length,
                  std::string_view replacement) override {
    if (m_accepted != nullptr &&
        !m_accepted->occurrence(piece, base, at, length, replacement)) {
      return false;
    }
    m_replaced = true;
    if (!m_output.begin()) return true;  // refused: the rest is only counted
    const std::uint64_t found = base + at;
    hashUpTo(piece, base, found);
    m_output.hash(replacement.data(), replacement.size());
    m_hashed = found + length;
    if (m_done >= base && found - m_done < kCopyFrom) {
      m_output.put(piece + (m_done - base), static_cast<std::size_t>(found - m_done));
    } else {
      m_output.copy(m_done, found - m_done);
    }
    m_output.put(replacement.data(), replacement.size());
    m_done = found + length;
    return true;
  }

  void passed(const char* piece, std::uint64_t base, std::size_t finished) override {
    hashUpTo(piece, base, base + finished);
  }

  // The rest of the file after the last occurrence, once the whole file has been read: written
  // where the file is to be rewritten (an occurrence replaced, or every file rewritten).
  void finish(std::uint64_t size, bool rewriteAll) {
    if (!m_output.started() && !((m_replaced || rewriteAll) && m_output.begin())) return;
    if (size > m_done) m_output.copy(m_done, size - m_done);
    m_output.flushPending();
  }

 private:
  // Stretches shorter than this are written from memory.
  static constexpr std::uint64_t kCopyFrom = 1 << 15;

  void hashUpTo(const char* piece, std::uint64_t base, std::uint64_t to) {
    if (to > m_hashed) {
      m_output.hash(piece + (m_hashed - base), static_cast<std::size_t>(to - m_hashed));
      m_hashed = to;
    }
  }

  ConvertedOutput& m_output;
  Replacer::Watcher* m_accepted;
  bool m_replaced = false;
  std::uint64_t m_done = 0;    // the output holds the source's text up to here
  std::uint64_t m_hashed = 0;  // ... and its hash up to here
};

}  // namespace

bool ConvertFileAt(const FileRef& file, const Conversion& c, FileOutcome* outcome,
                   const PlannedFile* reviewed) {
  std::optional<SourceFile> opened;
  try {
    opened.emplace(file);
  } catch (const Error& e) {
    // A reviewed file that is no longer a file (a link, a folder, a pipe in its place) is not
    // what was reviewed.
    const bool gone = e.why() == platform::Why::NotRegular || e.why() == platform::Why::IsLink ||
                      e.why() == platform::Why::IsFolder || e.why() == platform::Why::Swapped;
    if (reviewed != nullptr && gone) throw changedSinceReview();
    throw;
  }
  SourceFile& reading = *opened;
  reading.lock(c.pump, c.lockBudget);
  if (reviewed != nullptr && !reviewed->identity.sameAs(reading.status())) {
    throw changedSinceReview();
  }
  const auto size = static_cast<std::uint64_t>(reading.status().st_size);
  FileKind kind = reading.classify(c, true);
  if (reviewed != nullptr && !reading.guessing() && kind != reviewed->kind) {
    throw changedSinceReview();
  }
  if (reviewed != nullptr && reading.guessing()) kind = reviewed->kind;  // held to below
  if (outcome != nullptr) *outcome = FileOutcome{kind, true, 0, std::nullopt, nullptr, {}};
  if (kind == FileKind::Binary) return false;
  std::optional<ConvertedOutput> converted;
  std::optional<AcceptedOnly> accepted;
  std::optional<RangeCopier> copier;
  thread_local XXH3_state_t read;
  std::size_t count = 0;
  // The text between occurrences is copied by the kernel where they lie far apart: a file whose
  // first chunk holds several goes through the program, as a small file does.
  const bool copyRanges =
      size >= c.copyRangesFrom &&
      (c.copyRangesFrom == 0 || c.pattern != nullptr ||
       !Dense(reading.firstChunk(), TextsFor(kind, c, reading.lineBreak(c)).find));
  // Where the kind was guessed, it is streamed as guessed and weighed meanwhile; a guess that
  // does not hold drops what was written, with the work file, and the file is read again.
  for (;;) {
    ConvertedOutput& output = converted.emplace(file, c, reading);
    SourceFile::Watch watch;
    if (reviewed != nullptr) {
      accepted.emplace(*reviewed);
      XXH3_64bits_reset(&read);
      watch.occurrences = &*accepted;
      watch.read = [](std::string_view bytes) {
        XXH3_64bits_update(&read, bytes.data(), bytes.size());
      };
    }
    if (copyRanges) {
      copier.emplace(output, watch.occurrences);
      watch.occurrences = &*copier;
      watch.output = false;
      count = reading.stream(c, kind, {}, watch);
    } else {
      count = reading.stream(
          c, kind,
          [&](std::string_view piece, std::size_t replaced) { output.take(piece, replaced); },
          watch);
    }
    FileKind found = kind;
    try {
      found = reading.settle();
    } catch (const Error&) {
      output.discard();  // not valid where it must be: refused, as before anything was written
      throw;
    }
    if (found == kind) break;
    output.discard();
    if (outcome != nullptr) outcome->kind = found;
    if (reviewed != nullptr) throw changedSinceReview();
    if (found == FileKind::Binary) return false;
    kind = found;
  }
  ConvertedOutput& output = *converted;
  if (copier) copier->finish(size, !c.options.leaveUnmatched);
  if (outcome != nullptr) {
    outcome->replacements = count;
    outcome->pairCounts = reading.pairCounts();
  }
  if (reviewed != nullptr &&
      (!accepted->complete() || XXH3_64bits_digest(&read) != reviewed->identity.hash)) {
    throw changedSinceReview();
  }
  if (output.refusal()) throw *output.refusal();
  if (!output.started()) return false;  // nothing to replace: the file stays as it was
  Replacement replacement(reading.target(), output.facts());
  // A file rewritten without a replacement is what it was: nothing to keep.
  if (const auto hash = output.hash(); hash && count > 0) {
    replacement.keepOriginal(*c.undo, *hash, count, c.pump, c.lockBudget);
  }
  const Replacement::Done done = replaceSource(output.work(), replacement, reading.file(),
                                               reading.status(), output.facts(), c.workFileShared);
  if (done.lateChange) throw *done.lateChange;
  if (outcome != nullptr && done.old) {
    done.old->replacements = count;
    outcome->replaced = done.old;
  }
  return true;
}


}  // namespace engine
