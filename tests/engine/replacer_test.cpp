#include "engine/text/match_options.h"
#include "engine/text/replacer.h"

#include <gtest/gtest.h>

#include <unicode/uchar.h>

#include <functional>
#include <memory>
#include <random>

#include "engine/text/utf8.h"
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
std::string chunked(Replacer& r, const std::string& text, std::size_t chunk) {
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

std::string chunked(const std::string& text, const std::string& find, const std::string& repl,
                    const platform::FoldTable* fold, std::size_t chunk) {
  Replacer r(find, repl, fold);
  return chunked(r, text, chunk);
}

// As chunked(), each piece in an allocation of its own size: a read past the end of a piece is
// caught where the tests run under AddressSanitizer.
std::string chunkedExact(Replacer& r, const std::string& text, std::size_t chunk) {
  std::string out, carry;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t n = std::min(chunk, text.size() - pos);
    const std::string piece = carry + text.substr(pos, n);
    pos += n;
    const bool last = n < chunk;
    const auto exact = std::make_unique<char[]>(piece.size());
    std::copy(piece.begin(), piece.end(), exact.get());
    const std::size_t done = r.run(exact.get(), piece.size(), last, out);
    EXPECT_LE(piece.size() - done, r.carryLimit());
    carry = piece.substr(done);
    if (last) break;
  }
  EXPECT_TRUE(carry.empty());
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

TEST(Replacer, LongTextsMatchWholeBufferReference) {
  // Texts long enough that the output passes through its buffer many times and the occurrences
  // come in many batches: runs of close occurrences, stretches of up to 2000 bytes without one,
  // near misses; replacements around the length that is copied at once.
  struct Case {
    std::string find;
    std::string repl;
  };
  const std::vector<Case> cases = {
      {"a", "xyz"},
      {"ab", "xyz"},
      {"ab", ""},
      {"ab", std::string(16, 'R')},
      {"ab", std::string(17, 'R')},
      {"abA", std::string(300, 'R')},
      {"aa", "b"},
      {"abcdefghijklmnopq", "<>"},
  };
  std::mt19937 rng(2024);
  for (const Case& c : cases) {
    std::string text;
    while (text.size() < 150000) {
      const std::size_t gap = rng() % 4 == 0 ? rng() % 2000 : rng() % 20;
      for (std::size_t k = 0; k < gap; ++k) text += "abAB xyz\r\n"[rng() % 10];
      std::string copy = c.find;
      if (rng() % 3 == 0) copy.back() = 'z';  // a near miss
      if (rng() % 3 == 0) copy.front() = 'A';  // the same without regard to case
      text += copy;
    }
    for (const platform::FoldTable* fold : {static_cast<const platform::FoldTable*>(nullptr),
                                            &cp1251Fold()}) {
      const std::string expected = reference(text, c.find, c.repl, fold);
      for (std::size_t chunk : {std::size_t{97}, std::size_t{4093}, ChunkSize}) {
        Replacer r(c.find, c.repl, fold);
        ASSERT_EQ(chunkedExact(r, text, chunk), expected)
            << "find=" << c.find << " repl=" << c.repl.size() << " bytes, chunk=" << chunk
            << " fold=" << (fold != nullptr);
      }
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

// The characters of UTF-8 text, each folded by ICU when `fold` is set.
std::u32string characters(const std::string& utf8, bool fold) {
  std::u32string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t n = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t c = n == 1 ? lead : lead & (0xFF >> (n + 1));
    for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (utf8[i + k] & 0x3F);
    out += fold ? static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT))
                : c;
    i += n;
  }
  return out;
}

std::string toUtf8(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
  } else if (c < 0x10000) {
    s += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
          static_cast<char>(0x80 | (c & 0x3F))};
  } else {
    s += {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
          static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
  }
  return s;
}

// The whole-text reference for UTF-8: character by character, left to right, no overlaps.
std::string utf8Reference(const std::string& text, const std::string& find,
                          const std::string& repl, bool fold) {
  const std::u32string t = characters(text, fold), f = characters(find, fold);
  std::vector<std::size_t> starts;  // byte offset of each character
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
  }
  starts.push_back(text.size());
  std::string out;
  for (std::size_t i = 0; i < t.size();) {
    if (!f.empty() && t.compare(i, f.size(), f) == 0) {
      out += repl;
      i += f.size();
    } else {
      out.append(text, starts[i], starts[i + 1] - starts[i]);
      ++i;
    }
  }
  return out;
}

TEST(Replacer, Utf8TextMatchesCharacterReferenceAtEveryChunkSize) {
  // Letters of several scripts in both cases, characters that fold to another length (KELVIN
  // SIGN, long s, Ⱥ), CJK, an emoji, CR LF; pieces end inside characters.
  const std::vector<std::string> scripts = {
      "а", "А", "ё", "Ё", "и", "ж", "a", "A", "k", "K", "\u212A", "s", "S", "\u017F",
      "σ", "Σ", "ς", "\u023A", "\u2C65", "中", "\U0001F600", "\r", "\n", " "};
  // Every Cyrillic letter of U+0400 to U+047F and the ASCII around A-Z, in long runs: the
  // text that the folding takes sixteen bytes at a time.
  std::vector<std::string> russian = {"@", "A", "Z", "[", "`", "a", "z", "{", " ", ".", "\n"};
  for (char32_t c = 0x400; c < 0x480; ++c) russian.push_back(toUtf8(c));
  std::mt19937 rng(99);
  for (int round = 0; round < 600; ++round) {
    const std::vector<std::string>& alphabet = round % 2 == 0 ? scripts : russian;
    auto randomText = [&](std::size_t characters) {
      std::string s;
      for (std::size_t i = 0; i < characters; ++i) s += alphabet[rng() % alphabet.size()];
      return s;
    };
    const std::string find = randomText(1 + rng() % 4);
    const std::string repl = randomText(rng() % 4);
    // Random characters and copies of the find text with each letter in either case.
    std::string text;
    for (std::size_t pieces = rng() % 200; pieces > 0; --pieces) {
      if (rng() % 4 != 0) {
        text += randomText(1);
        continue;
      }
      for (char32_t c : characters(find, false)) {
        const auto other = static_cast<char32_t>(rng() % 2 ? u_toupper(static_cast<UChar32>(c))
                                                           : u_tolower(static_cast<UChar32>(c)));
        text += toUtf8(other);
      }
    }
    for (const bool fold : {false, true}) {
      const std::string expected = utf8Reference(text, find, repl, fold);
      for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, find.size() - 1,
                                find.size(), find.size() + 1, std::size_t{7}, ChunkSize}) {
        if (chunk == 0) continue;
        Replacer r = fold ? Replacer(find, repl, Replacer::Utf8CaseFolding{})
                          : Replacer(find, repl, nullptr);
        const std::string out = chunked(r, text, chunk);
        ASSERT_EQ(out, expected) << "find=" << find << " repl=" << repl << " text=" << text
                                 << " chunk=" << chunk << " fold=" << fold;
        ASSERT_TRUE(utf8::isValid(out));
      }
    }
  }
}

TEST(Replacer, LongUtf8TextsMatchCharacterReference) {
  // As above for UTF-8 without regard to case: text whose folding keeps every length, and text
  // with KELVIN SIGN, which folds to one byte, so that occurrences are mapped back.
  struct Case {
    std::vector<std::string> alphabet;
    std::string find;
    std::string repl;
  };
  const std::vector<Case> cases = {
      {{"а", "А", "б", "a", "b", " ", "\n"}, "аб", "x"},
      {{"а", "А", "б", "a", "b", " ", "\n"}, "аб", std::string(20, 'R')},
      {{"k", "K", "\u212A", "a", "A", "ж", " "}, "ka", "\u212A!"},
  };
  std::mt19937 rng(4048);
  for (const Case& c : cases) {
    std::string text;
    while (text.size() < 60000) {
      const std::size_t gap = rng() % 4 == 0 ? rng() % 600 : rng() % 8;
      for (std::size_t k = 0; k < gap; ++k) text += c.alphabet[rng() % c.alphabet.size()];
      text += c.find;
    }
    const std::string expected = utf8Reference(text, c.find, c.repl, true);
    for (std::size_t chunk : {std::size_t{101}, ChunkSize}) {
      Replacer r(c.find, c.repl, Replacer::Utf8CaseFolding{});
      ASSERT_EQ(chunkedExact(r, text, chunk), expected) << "find=" << c.find << " chunk=" << chunk;
    }
  }
}

TEST(Replacer, Utf8LetterIsNeverMatchedInsideAnother) {
  // ё is B8 in Windows-1251 and the second byte of UTF-8 и: by character, и is untouched.
  const std::string text = "Ещё один пример: и ёжик, и Шишкин. ЁЖ";
  EXPECT_EQ(replaceAll(text, "ё", "е", nullptr), "Еще один пример: и ежик, и Шишкин. ЁЖ");
  Replacer folding("ё", "е", Replacer::Utf8CaseFolding{});
  EXPECT_EQ(chunked(folding, text, 5), "Еще один пример: и ежик, и Шишкин. еЖ");
  EXPECT_EQ(folding.count(), 3u);
}

TEST(Replacer, RefusedReplacementStopsAtTheFirstOccurrence) {
  Replacer r("b", "?", nullptr);
  r.refuseReplacement(platform::Error(platform::kBadCharacter, platform::Step::Recode, platform::Why::BadUtf8));
  std::string out;
  EXPECT_EQ(r.run("aaa", 3, true, out), 3u) << "no occurrence, nothing refused";
  EXPECT_THROW(r.run("ab", 2, true, out), platform::Error);
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
