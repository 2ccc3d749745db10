#include "engine/replacer.h"
#include "engine/match_options.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/code_page.h"

namespace engine {
namespace {

// The plain whole-buffer reference: left to right, no overlaps, output never searched again.
std::string reference(const std::string& text, const std::string& find, const std::string& repl,
                      const platform::FoldTable* fold) {
  if (find.empty()) return text;
  auto same = [&](char a, char b) {
    if (!fold) return a == b;
    return (*fold)[static_cast<unsigned char>(a)] == (*fold)[static_cast<unsigned char>(b)];
  };
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    bool hit = i + find.size() <= text.size();
    for (std::size_t k = 0; hit && k < find.size(); ++k) hit = same(text[i + k], find[k]);
    if (hit) {
      out += repl;
      i += find.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

// Feeds `text` in pieces of `chunk` bytes the way the conversion loop does.
std::string chunked(const std::string& text, const std::string& find, const std::string& repl,
                    const platform::FoldTable* fold, std::size_t chunk) {
  Replacer r(find, repl, fold);
  std::string out, buffer;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t n = std::min(chunk, text.size() - pos);
    buffer.append(text, pos, n);
    pos += n;
    const bool last = n < chunk;
    const std::size_t done = r.run(buffer.data(), buffer.size(), last, out);
    EXPECT_LE(buffer.size() - done, r.carryLimit());
    buffer.erase(0, done);
    if (last) break;
  }
  EXPECT_TRUE(buffer.empty());
  return out;
}

const platform::FoldTable& cp1251Fold() {
  static const auto page = platform::CodePage::byName("CP1251");
  return page->fold();
}

TEST(Replacer, MatchesWholeBufferReferenceAtEveryChunkSize) {
  std::mt19937 rng(12345);
  // A small alphabet with letters of both cases, CR LF and a Cyrillic pair, so that
  // occurrences are frequent, overlap and straddle every boundary.
  const std::string alphabet = "abAB\r\n\xC0\xE0";  // А а in CP1251
  auto randomText = [&](std::size_t len) {
    std::string s;
    for (std::size_t i = 0; i < len; ++i) s += alphabet[rng() % alphabet.size()];
    return s;
  };
  int cases = 0;
  for (int round = 0; round < 300; ++round) {
    const std::string find = randomText(1 + rng() % 5);
    const std::string repl = randomText(rng() % 7);
    const std::string text = randomText(rng() % 400);
    for (const platform::FoldTable* fold : {static_cast<const platform::FoldTable*>(nullptr),
                                            &cp1251Fold()}) {
      const std::string expected = reference(text, find, repl, fold);
      for (std::size_t chunk : {std::size_t{1}, std::max<std::size_t>(1, find.size() - 1),
                                find.size(), find.size() + 1, std::size_t{7}, ChunkSize}) {
        ASSERT_EQ(chunked(text, find, repl, fold, chunk), expected)
            << "find=" << find << " repl=" << repl << " chunk=" << chunk;
        ++cases;
      }
    }
  }
  EXPECT_EQ(cases, 300 * 2 * 6);
}

TEST(Replacer, LongFindTextsBuiltFromTheirOwnPieces) {
  // Texts made of whole occurrences, near misses (a prefix, a changed last byte) and noise, so
  // the vectorised search meets candidates at every offset of its 16-byte steps.
  std::mt19937 rng(777);
  for (int round = 0; round < 200; ++round) {
    std::string find;
    const std::size_t len = 2 + rng() % 70;
    for (std::size_t i = 0; i < len; ++i) find += "ab\xC0\xE0"[rng() % 4];
    std::string nearMiss = find;
    nearMiss.back() = nearMiss.back() == 'a' ? 'b' : 'a';
    std::string text;
    while (text.size() < 3000) {
      switch (rng() % 4) {
        case 0: text += find; break;
        case 1: text += find.substr(0, rng() % len); break;
        case 2: text += nearMiss; break;
        default: text += static_cast<char>('a' + rng() % 3); break;
      }
    }
    for (const platform::FoldTable* fold : {static_cast<const platform::FoldTable*>(nullptr),
                                            &cp1251Fold()}) {
      const std::string expected = reference(text, find, "<>", fold);
      ASSERT_EQ(replaceAll(text, find, "<>", fold), expected) << "find=" << find;
      ASSERT_EQ(chunked(text, find, "<>", fold, 1 + rng() % 100), expected) << "find=" << find;
    }
  }
}

TEST(Replacer, RulesOfOneText) {
  // Non-overlapping, left to right.
  EXPECT_EQ(replaceAll("aaaa", "aa", "b", nullptr), "bb");
  EXPECT_EQ(replaceAll("aaa", "aa", "b", nullptr), "ba");
  // The emitted replacement is never searched again.
  EXPECT_EQ(replaceAll("ab", "a", "aa", nullptr), "aab");
  EXPECT_EQ(replaceAll("xyz", "y", "yy", nullptr), "xyyz");
  // An empty find text changes nothing; an empty replacement removes.
  EXPECT_EQ(replaceAll("abc", "", "zz", nullptr), "abc");
  EXPECT_EQ(replaceAll("a-b-c", "-", "", nullptr), "abc");
  // CR LF in the find text matches line ends like any other characters.
  EXPECT_EQ(replaceAll("one\r\ntwo\nthree\r\n", "\r\n", " ", nullptr), "one two\nthree ");
  EXPECT_EQ(replaceAll("end.\r\nnext", ".\r\nn", "!", nullptr), "end!ext");
}

TEST(Replacer, CaseRulesLatinAndCyrillic) {
  const auto& fold = cp1251Fold();
  // "привет" in CP1251, lower and upper case, and Ё/ё.
  const std::string lower = "\xEF\xF0\xE8\xE2\xE5\xF2";
  const std::string upper = "\xCF\xD0\xC8\xC2\xC5\xD2";
  const std::string mixed = "\xCF\xF0\xC8\xE2\xE5\xD2";
  EXPECT_EQ(replaceAll(upper + " " + mixed + " " + lower, lower, "X", &fold), "X X X");
  EXPECT_EQ(replaceAll(upper + " " + mixed + " " + lower, lower, "X", nullptr),
            upper + " " + mixed + " X");
  EXPECT_EQ(replaceAll("\xA8\xEB\xEA\xE0 \xB8\xEB\xEA\xE0", "\xB8\xEB\xEA\xE0", "tree", &fold),
            "tree tree");
  EXPECT_EQ(replaceAll("Hello HELLO hello", "hello", "bye", &fold), "bye bye bye");
  EXPECT_EQ(replaceAll("Hello HELLO hello", "hello", "bye", nullptr), "Hello HELLO bye");
  // The replacement keeps its own case; untouched text keeps its bytes.
  EXPECT_EQ(replaceAll("Keep ABC keep", "abc", "DeF", &fold), "Keep DeF keep");
}

TEST(Replacer, CountsOccurrences) {
  Replacer r("ab", "x", nullptr);
  std::string out;
  r.run("abcabab", 7, true, out);
  EXPECT_EQ(out, "xcxx");
  EXPECT_EQ(r.count(), 3u);
}

}  // namespace
}  // namespace engine
