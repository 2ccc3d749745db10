// Prints, for each file, what its bytes look like as UTF-8: the figures that tell a UTF-8 text
// with a few bad bytes (a stray Latin-1 letter, a cut at the end) from single-byte text whose
// letters happen to form a few valid UTF-8 pairs. scripts/corpus-encodings runs it over a
// corpus and weighs rules on what it prints.
//   tarvel_encoding_corpus [-0] [--high-only] [--codepage NAME] [FILE...]
// Without FILE, the paths are read from standard input, one a line.
//   -0           each NUL-separated record of a file is measured on its own, as if it were a
//                file of its own (named FILE#N, N counted from 1; an empty record is skipped)
//   --high-only  rows of plain ASCII (no byte of 0x80 or more) are not printed
//   --codepage   the code page a single-byte file is read in (as iconv names it; CP1251 unless
//                given): what the valid sequences would be there ("unlikely"), and the verdict
// One tab-separated line per file (or record), after a header line that begins with '#':
//   name      the path (FILE#N for a record)
//   size      bytes
//   high      bytes of 0x80 or more
//   leads     bytes that can begin a multi-byte sequence (0xC2 to 0xF4)
//   seq2 seq3 seq4  valid multi-byte sequences of 2, 3 and 4 bytes, over the whole text,
//             after an invalid byte as well as before it
//   valid     seq2 + seq3 + seq4
//   bad       invalid units: each maximal part of an ill-formed sequence counts once (as a
//             decoder that puts one U+FFFD for each would count them): a lead byte with the
//             continuation bytes that fit it so far, or a lone byte that begins nothing
//   bad_bytes bytes in those units
//   bad_runs  runs of invalid units with no valid byte between them
//   first_bad offset of the first invalid byte, or -1
//   cut_end   1 when the text ends inside a sequence that was well-formed so far
//   strays    bytes of 0x80 or more outside the valid sequences
//   unlikely  valid sequences none of whose continuation bytes is a letter in the code page
//             (engine::ContinuationLetters): UTF-8 "Да" is "Р”Р°" in CP1251, two of them
//   verdict   engine::Classifier(false, Encoding::Auto, true) over the bytes in the code page,
//             fed in 64 KiB pieces: "utf8", "codepage", "binary", or "error N" for a failure
//             number
// The walk below is the Unicode table of well-formed sequences; its first invalid offset is
// checked against engine::utf8::Validator, and its counts against engine::utf8::SequenceTally,
// for every row; a row that disagrees is reported on standard error (exit status 1).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/text/file_kind.h"
#include "engine/text/utf8.h"
#include "platform/code_page.h"
#include "platform/error.h"

namespace {

struct Stats {
  std::size_t size = 0;
  std::size_t high = 0;
  std::size_t leads = 0;
  std::size_t sequences[5] = {};  // by length, [2] to [4]
  std::size_t bad = 0;
  std::size_t badBytes = 0;
  std::size_t badRuns = 0;
  long long firstBad = -1;
  bool cutAtEnd = false;
  std::size_t strays = 0;
  std::size_t unlikely = 0;
};

// One step of the walk: `length` bytes that are either one valid sequence or one invalid unit.
struct Unit {
  std::size_t length;
  bool valid;
  bool atEnd;  // invalid only because the text ended
};

// The unit that begins at `p[0]` (a byte of 0x80 or more), `n` bytes being left.
Unit nextUnit(const unsigned char* p, std::size_t n) {
  const unsigned char lead = p[0];
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return {1, false, false};  // a continuation byte, 0xC0, 0xC1 or 0xF5 and up
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (k >= n) return {k, false, true};
    const unsigned char b = p[k];
    const bool fits = k == 1 ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xBF);
    if (!fits) return {k, false, false};
  }
  return {length, true, false};
}

// The continuation bytes (0x80 to 0xBF) that are letters in the code page, bit b - 0x80.
std::uint64_t g_letters = 0;

Stats measure(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  Stats s;
  s.size = n;
  bool inRun = false;
  std::size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      inRun = false;
      ++i;
      continue;
    }
    const Unit u = nextUnit(p + i, n - i);
    if (u.valid) {
      ++s.sequences[u.length];
      inRun = false;
      bool letter = false;
      for (std::size_t k = 1; k < u.length; ++k) {
        letter = letter || ((g_letters >> (p[i + k] - 0x80)) & 1);
      }
      s.unlikely += !letter;
    } else {
      if (s.firstBad < 0) s.firstBad = static_cast<long long>(i);
      ++s.bad;
      s.badBytes += u.length;
      if (!inRun) ++s.badRuns;
      inRun = true;
      s.cutAtEnd = u.atEnd;
    }
    i += u.length;
  }
  for (std::size_t k = 0; k < n; ++k) {
    s.high += p[k] >= 0x80;
    s.leads += p[k] >= 0xC2 && p[k] <= 0xF4;
  }
  s.strays = s.high - 2 * s.sequences[2] - 3 * s.sequences[3] - 4 * s.sequences[4];
  return s;
}

struct Verdict {
  std::string kind;
  long long invalidAt;                // the engine's first invalid offset, or -1
  engine::utf8::SequenceTally tally;  // over the whole text
};

const platform::CodePage* g_page = nullptr;

Verdict classify(std::string_view text) {
  constexpr std::size_t kPiece = 64 * 1024;
  // Fed as the engine's reader feeds it: until it is settled, from the start again when asked.
  engine::Classifier classifier(false, engine::Encoding::Auto, true, text.size(), g_page);
  for (std::size_t at = 0; at < text.size() && !classifier.settled();) {
    const std::size_t size = std::min(kPiece, text.size() - at);
    classifier.feed(text.data() + at, size);
    at += size;
    if (classifier.wantsStart()) {
      classifier.restarted();
      at = 0;
    }
  }
  engine::utf8::Validator validator;
  Verdict v{"", -1, engine::utf8::SequenceTally(g_letters)};
  for (std::size_t at = 0; at < text.size(); at += kPiece) {
    validator.feed(text.data() + at, std::min(kPiece, text.size() - at));
    v.tally.feed(text.data() + at, std::min(kPiece, text.size() - at));
  }
  validator.finish();
  v.tally.finish();
  v.invalidAt = validator.invalidAt();
  try {
    switch (classifier.finish()) {
      case engine::FileKind::Binary:
        v.kind = "binary";
        break;
      case engine::FileKind::Utf8:
        v.kind = "utf8";
        break;
      case engine::FileKind::CodePage:
        v.kind = "codepage";
        break;
      case engine::FileKind::Utf16Le:
      case engine::FileKind::Utf16Be:
        v.kind = "utf16";
        break;
    }
  } catch (const platform::Error& e) {
    v.kind = "error " + std::to_string(e.number());
  }
  return v;
}

bool g_highOnly = false;
bool g_mismatch = false;
std::size_t g_rows = 0;
std::size_t g_skipped = 0;

void report(const std::string& name, std::string_view text) {
  const Stats s = measure(text);
  if (g_highOnly && s.high == 0) {
    ++g_skipped;
    return;
  }
  const Verdict v = classify(text);
  if (v.invalidAt != s.firstBad || engine::utf8::isValid(text) != (s.bad == 0)) {
    std::fprintf(stderr, "%s: the walk finds the first invalid byte at %lld, the engine at %lld\n",
                 name.c_str(), s.firstBad, v.invalidAt);
    g_mismatch = true;
  }
  const std::size_t valid = s.sequences[2] + s.sequences[3] + s.sequences[4];
  if (v.tally.sequences() != valid || v.tally.strays() != s.strays ||
      v.tally.unlikely() != s.unlikely) {
    std::fprintf(stderr,
                 "%s: the walk counts %zu sequences, %zu strays and %zu unlikely, the engine at "
                 "%llu, %llu and %llu\n",
                 name.c_str(), valid, s.strays, s.unlikely,
                 static_cast<unsigned long long>(v.tally.sequences()),
                 static_cast<unsigned long long>(v.tally.strays()),
                 static_cast<unsigned long long>(v.tally.unlikely()));
    g_mismatch = true;
  }
  std::printf(
      "%s\t%zu\t%zu\t%zu\t%zu\t%zu\t%zu\t%zu\t%zu\t%zu\t%zu\t%lld\t%d\t%zu\t%zu\t%s\n",
      name.c_str(), s.size, s.high, s.leads, s.sequences[2], s.sequences[3], s.sequences[4], valid,
      s.bad, s.badBytes, s.badRuns, s.firstBad, s.cutAtEnd ? 1 : 0, s.strays, s.unlikely,
      v.kind.c_str());
  ++g_rows;
}

bool processFile(const std::string& path, bool records) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    return false;
  }
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  if (!records) {
    report(path, bytes);
    return true;
  }
  std::size_t number = 0;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    ++number;
    if (end > start) {
      report(path + "#" + std::to_string(number), std::string_view(bytes).substr(start, end - start));
    }
    start = end + 1;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool records = false;
  std::string pageName = "CP1251";
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-0") == 0) {
      records = true;
    } else if (std::strcmp(argv[i], "--high-only") == 0) {
      g_highOnly = true;
    } else if (std::strcmp(argv[i], "--codepage") == 0 && i + 1 < argc) {
      pageName = argv[++i];
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      std::fprintf(stderr, "usage: %s [-0] [--high-only] [--codepage NAME] [FILE...]\n", argv[0]);
      return 2;
    } else {
      paths.emplace_back(argv[i]);
    }
  }
  const std::optional<platform::CodePage> page = platform::CodePage::byName(pageName);
  if (!page) {
    std::fprintf(stderr, "no single-byte code page %s\n", pageName.c_str());
    return 2;
  }
  g_page = &*page;
  g_letters = engine::ContinuationLetters(*page);
  if (paths.empty()) {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (!line.empty()) paths.push_back(line);
    }
  }
  std::printf(
      "#name\tsize\thigh\tleads\tseq2\tseq3\tseq4\tvalid\tbad\tbad_bytes\tbad_runs\t"
      "first_bad\tcut_end\tstrays\tunlikely\tverdict\n");
  bool ok = true;
  for (const std::string& path : paths) ok = processFile(path, records) && ok;
  std::fflush(stdout);
  std::fprintf(stderr, "%zu rows", g_rows);
  if (g_highOnly) std::fprintf(stderr, ", %zu of plain ASCII not printed", g_skipped);
  std::fprintf(stderr, "\n");
  if (g_mismatch) return 1;
  return ok ? 0 : 1;
}
