#include "engine/text/literal_pairs.h"

#include <hs/hs.h>

#include <algorithm>

#include "engine/text/pattern.h"
#include "engine/text/utf16.h"
#include "engine/text/utf8.h"
#include "platform/error.h"

namespace engine {
namespace {

// Each thread's scratch space, grown to fit every database it has scanned with.
struct Scratch {
  hs_scratch_t* space = nullptr;
  ~Scratch() { hs_free_scratch(space); }
};

// A stretch of the text: matches beginning in it, and as many bytes after it as the longest
// text needs.
constexpr std::size_t kStretch = 1 << 20;
// The watch is looked at every so many matches reported (a text full of texts that overlap).
constexpr std::uint32_t kWatchEvery = 1 << 16;

}  // namespace

// The matcher reports every text where it ends, all of them, overlapping ones too, in the order
// of their ends. Each place keeps the best text that begins there (the longest, then the first
// listed) until no text beginning there can come any more: then, if it lies after the last
// occurrence taken, it is taken. So the work is one step a report, and the memory one slot a
// byte of the longest text, however many texts overlap.
struct LiteralPairs::Chooser {
  const std::vector<std::uint32_t>* lengths = nullptr;
  std::size_t longest = 0;
  std::vector<std::uint64_t> ends;   // by place modulo the ring's size: its best text's end+1
  std::vector<std::uint32_t> pairs;  // ... and its pair
  std::size_t mask = 0;
  std::size_t held = 0;        // places holding a text
  std::size_t settled = 0;     // the places before this are settled (in the stretch's bytes)
  std::size_t stretchEnd = 0;  // texts beginning from here are the next stretch's
  const std::uint32_t* offsets = nullptr;  // folded bytes to the text's, where they differ
  std::size_t base = 0;                    // the stretch's first byte in the text
  std::size_t* next = nullptr;             // where the next occurrence may begin, in the text
  std::size_t unit = 1;                    // 2 in UTF-16: occurrences begin where units do
  std::size_t begin = 0;                   // where the text proper begins
  std::vector<Found>* taken = nullptr;  // the stretch's occurrences, given out once it is scanned
  SearchWatch* watch = nullptr;
  std::uint32_t reports = 0;
  // A report of a text beginning at a place already settled: the matcher gave ends out of
  // their order. The stretch is then chosen again from all its reports, sorted.
  bool disordered = false;
  std::vector<Found>* all = nullptr;

  std::size_t original(std::size_t at) const { return base + (offsets ? offsets[at] : at); }

  // Settles the places before `to` (in the stretch's bytes).
  void settle(std::size_t to) {
    if (held == 0) {
      settled = std::max(settled, to);
      return;
    }
    for (; settled < to && held > 0; ++settled) {
      const std::size_t slot = settled & mask;
      if (ends[slot] == 0) continue;
      const std::size_t end = static_cast<std::size_t>(ends[slot] - 1);
      ends[slot] = 0;
      --held;
      const std::size_t at = original(settled);
      if (at < *next || (at - begin) % unit != 0) continue;
      const std::size_t last = original(end);
      taken->push_back({at, last - at, pairs[slot]});
      *next = last;
    }
    settled = std::max(settled, to);
  }

  void report(unsigned id, std::size_t end) {
    const std::size_t at = end - (*lengths)[id];
    if (at >= stretchEnd) return;  // the next stretch reports it again
    if (all != nullptr) {
      all->push_back({at, end - at, id});
      return;
    }
    if (at < settled) {
      disordered = true;
      return;
    }
    // Every text that begins before `end - longest` has been reported.
    if (end > longest) settle(end - longest);
    const std::size_t slot = at & mask;
    if (ends[slot] == 0) {
      ++held;
    } else if (ends[slot] > end + 1 || (ends[slot] == end + 1 && pairs[slot] < id)) {
      return;
    }
    ends[slot] = end + 1;
    pairs[slot] = id;
  }
};

namespace {

int onMatch(unsigned id, unsigned long long, unsigned long long to, unsigned, void* context) {
  auto* c = static_cast<LiteralPairs::Chooser*>(context);
  c->report(id, static_cast<std::size_t>(to));
  if (++c->reports % kWatchEvery == 0 && c->watch != nullptr && !c->watch->checkQuietly()) {
    return 1;  // the search ends here; the watch's reason is raised after it
  }
  return 0;
}

}  // namespace

// The pairs in one encoding: each find text's bytes there, one id each (its pair's index).
struct LiteralPairs::Set {
  FileKind kind;
  std::string page;  // a code page's name
  hs_database_t* database = nullptr;
  std::vector<std::uint32_t> lengths;  // by pair: the find text's bytes as matched
  std::size_t longest = 0;
  ~Set() { hs_free_database(database); }
};

bool LiteralPairs::Fit(const std::vector<Pair>& pairs, bool exactLineBreaks) {
  if (exactLineBreaks) return true;
  return std::none_of(pairs.begin(), pairs.end(), [](const Pair& p) {
    return p.find.find_first_of("\r\n") != std::string::npos;
  });
}

LiteralPairs::LiteralPairs(std::vector<Pair> pairs, bool ignoreCase)
    : m_pairs(std::move(pairs)), m_ignoreCase(ignoreCase) {}

LiteralPairs::~LiteralPairs() = default;

std::shared_ptr<const LiteralPairs> LiteralPairs::Make(std::vector<Pair> pairs, bool ignoreCase) {
  if (hs_valid_platform() != HS_SUCCESS) return nullptr;
  auto made = std::make_shared<LiteralPairs>(std::move(pairs), ignoreCase);
  try {
    made->setFor(FileKind::Utf8, platform::CodePage::system());
  } catch (const platform::Error&) {
    return nullptr;
  }
  return made;
}

const LiteralPairs::Set& LiteralPairs::setFor(FileKind kind, const platform::CodePage& page) const {
  const std::lock_guard<std::mutex> held(m_lock);
  const std::string name = kind == FileKind::CodePage ? page.name() : std::string();
  for (const auto& set : m_sets) {
    if (set->kind == kind && set->page == name) return *set;
  }
  auto set = std::make_unique<Set>();
  set->kind = kind;
  set->page = name;
  set->lengths.assign(m_pairs.size(), 0);
  std::vector<std::string> texts;
  std::vector<unsigned> ids;
  for (std::size_t k = 0; k < m_pairs.size(); ++k) {
    std::string bytes;
    try {
      if (IsUtf16(kind)) {
        bytes = utf16::Encode(m_pairs[k].find, kind == FileKind::Utf16Be);
      } else if (kind == FileKind::Utf8) {
        bytes = m_ignoreCase ? utf8::fold(m_pairs[k].find) : m_pairs[k].find;
      } else {
        bytes = page.encode(m_pairs[k].find);
        if (m_ignoreCase) {
          for (char& b : bytes) b = static_cast<char>(page.fold()[static_cast<unsigned char>(b)]);
        }
      }
    } catch (const platform::Error&) {
      continue;  // a character the file cannot hold: the text cannot occur in it
    }
    if (bytes.empty()) continue;
    set->lengths[k] = static_cast<std::uint32_t>(bytes.size());
    set->longest = std::max(set->longest, bytes.size());
    texts.push_back(std::move(bytes));
    ids.push_back(static_cast<unsigned>(k));
  }
  if (!texts.empty()) {
    std::vector<const char*> data;
    std::vector<std::size_t> sizes;
    for (const std::string& t : texts) {
      data.push_back(t.data());
      sizes.push_back(t.size());
    }
    const std::vector<unsigned> flags(texts.size(), 0);
    hs_compile_error_t* error = nullptr;
    if (hs_compile_lit_multi(data.data(), flags.data(), ids.data(), sizes.data(),
                             static_cast<unsigned>(texts.size()), HS_MODE_BLOCK, nullptr,
                             &set->database, &error) != HS_SUCCESS) {
      hs_free_compile_error(error);
      throw platform::outOfMemory();
    }
  }
  m_sets.push_back(std::move(set));
  return *m_sets.back();
}

void LiteralPairs::scan(std::string_view text, std::size_t begin, FileKind kind,
                        const platform::CodePage& page, SearchWatch* watch,
                        const std::function<void(std::size_t)>& passed,
                        const std::function<void(const Found&)>& found) const {
  const Set& set = setFor(kind, page);
  if (set.database == nullptr || text.size() <= begin) return;
  static thread_local Scratch scratch;
  if (hs_alloc_scratch(set.database, &scratch.space) != HS_SUCCESS) throw platform::outOfMemory();
  static thread_local std::vector<char> folded;
  static thread_local std::vector<std::uint32_t> offsets;
  const bool foldUtf8 = m_ignoreCase && kind == FileKind::Utf8;
  const bool foldPage = m_ignoreCase && kind == FileKind::CodePage;
  // A folded character may take fewer bytes than the text's own (KELVIN SIGN to k).
  const std::size_t reach = set.longest * (foldUtf8 ? 4 : 1);
  std::size_t ring = 1;
  while (ring < set.longest + 2) ring <<= 1;
  std::size_t next = begin;
  Chooser chooser;
  chooser.lengths = &set.lengths;
  chooser.longest = set.longest;
  chooser.ends.assign(ring, 0);
  chooser.pairs.assign(ring, 0);
  chooser.mask = ring - 1;
  chooser.next = &next;
  chooser.unit = IsUtf16(kind) ? 2 : 1;
  chooser.begin = begin;
  static thread_local std::vector<Found> taken, all;
  chooser.taken = &taken;
  chooser.watch = watch;
  for (std::size_t from = begin; from < text.size();) {
    std::size_t to = std::min(text.size(), from + kStretch);
    // A stretch ends where a character begins: folding takes whole characters.
    if (foldUtf8) {
      while (to < text.size() && (static_cast<unsigned char>(text[to]) & 0xC0) == 0x80) ++to;
    }
    const std::size_t end = std::min(text.size(), to + reach);
    const char* bytes = text.data() + from;
    std::size_t size = end - from;
    chooser.offsets = nullptr;
    chooser.stretchEnd = to - from;
    if (foldUtf8) {
      const utf8::Folded f = utf8::foldInto(bytes, size, folded, offsets);
      bytes = folded.data();
      size = f.size;
      if (f.mapped) {
        chooser.offsets = offsets.data();
        // The stretch's end among the folded bytes: the first that belongs to it or after.
        chooser.stretchEnd = static_cast<std::size_t>(
            std::lower_bound(offsets.begin(), offsets.begin() + static_cast<std::ptrdiff_t>(size),
                             static_cast<std::uint32_t>(to - from)) -
            offsets.begin());
      }
    } else if (foldPage) {
      if (folded.size() < size) folded.resize(size);
      const platform::FoldTable& table = page.fold();
      for (std::size_t i = 0; i < size; ++i) {
        folded[i] = static_cast<char>(table[static_cast<unsigned char>(bytes[i])]);
      }
      bytes = folded.data();
    }
    const auto scanStretch = [&] {
      chooser.base = from;
      chooser.settled = 0;
      const hs_error_t scanned = hs_scan(set.database, bytes, static_cast<unsigned>(size), 0,
                                         scratch.space, onMatch, &chooser);
      if (scanned == HS_SCAN_TERMINATED && watch != nullptr) watch->raiseHeld();
      if (scanned != HS_SUCCESS) throw platform::outOfMemory();
    };
    const std::size_t nextBefore = next;
    taken.clear();
    scanStretch();
    chooser.settle(chooser.stretchEnd);
    if (chooser.disordered) {
      taken.clear();
      all.clear();
      std::fill(chooser.ends.begin(), chooser.ends.end(), 0);
      chooser.held = 0;
      chooser.disordered = false;
      chooser.all = &all;
      scanStretch();
      chooser.all = nullptr;
      std::sort(all.begin(), all.end(), [](const Found& a, const Found& b) {
        if (a.at != b.at) return a.at < b.at;
        if (a.length != b.length) return a.length > b.length;
        return a.pair < b.pair;
      });
      next = nextBefore;
      for (const Found& m : all) {
        const std::size_t at = chooser.original(m.at);
        if (at < next || (at - begin) % chooser.unit != 0) continue;
        const std::size_t last = chooser.original(m.at + m.length);
        taken.push_back({at, last - at, m.pair});
        next = last;
      }
    }
    for (const Found& f : taken) found(f);
    from = to;
    passed(to);
  }
}

}  // namespace engine
