#include "engine/text/utf8.h"

#include <gtest/gtest.h>

#include "engine/text/binary_test.h"
#include "engine/text/file_kind.h"
#include "platform/code_page.h"
#include "platform/error.h"
#include "words/errors.h"

#include <random>
#include <string>

namespace engine::utf8 {
namespace {

// The definition, one code point at a time: a lead byte gives the length, every further byte
// is 10xxxxxx, and the value must need that length, lie outside the surrogates and not pass
// U+10FFFF. Returns the offset of the first byte that does not begin a valid character.
std::size_t referenceFirstInvalid(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xC0 && lead < 0xE0 ? 2
                                       : lead >= 0xE0 && lead < 0xF0   ? 3
                                       : lead >= 0xF0 && lead < 0xF8   ? 4
                                                                       : 0;
    if (length == 0 || i + length > s.size()) return i;
    char32_t cp = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
    i += length;
  }
  return s.size();
}

std::size_t firstInvalid(const std::string& s) {
  bool high = false;
  return validPrefix(s.data(), s.size(), high);
}

// Each loop that the processor has, with the control bytes looked for in the same pass.
void expectEveryKernelAgrees(const std::string& text, std::size_t expected) {
  for (Kernel kernel : {Kernel::Avx512, Kernel::Avx2, Kernel::Scalar}) {
    bool high = false;
    bool control = false;
    ASSERT_EQ(validPrefixUsing(kernel, text.data(), text.size(), high, &control), expected)
        << testing::PrintToString(text) << " kernel " << static_cast<int>(kernel);
    ASSERT_EQ(control, HasControlByte(text.data(), text.size()))
        << testing::PrintToString(text) << " kernel " << static_cast<int>(kernel);
  }
}

// Every validation path (short texts, 32- and 64-byte vector steps, a sequence across a step's
// edge, pieces fed one after another) against the definition, for every pair of bytes and for
// sequences of up to four bytes drawn from the values at the edges of the rules; the control
// bytes of a binary file are found in the same pass.
TEST(Utf8, ValidationAgreesWithTheDefinition) {
  const unsigned char edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0,
                                 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
  std::vector<std::string> sequences;
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) sequences.push_back({static_cast<char>(a), static_cast<char>(b)});
  }
  for (unsigned char a : edges) {
    for (unsigned char b : edges) {
      for (unsigned char c : edges) {
        for (unsigned char d : edges) {
          sequences.push_back({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c),
                               static_cast<char>(d)});
        }
      }
    }
  }
  std::mt19937 rng(2026);
  for (const std::string& sequence : sequences) {
    // Placed alone, early in a long text, and across the edge of a 32-byte step.
    const std::size_t at = rng() % 2 == 0 ? 30 : 62;
    for (const std::string& text :
         {sequence, std::string(at, 'a') + sequence + std::string(40, 'z')}) {
      const std::size_t expected = referenceFirstInvalid(text);
      ASSERT_EQ(firstInvalid(text), expected) << testing::PrintToString(text);
      if (text.size() > sequence.size()) expectEveryKernelAgrees(text, expected);
      Validator pieces;
      const std::size_t cut = rng() % (text.size() + 1);
      pieces.feed(text.data(), cut);
      pieces.feed(text.data() + cut, text.size() - cut);
      ASSERT_EQ(pieces.finish(), expected == text.size()) << testing::PrintToString(text);
      if (expected != text.size()) {
        ASSERT_EQ(pieces.invalidAt(), static_cast<long long>(expected))
            << testing::PrintToString(text) << " cut at " << cut;
      }
    }
  }
}

TEST(Utf8, HighBytesAndCutOffCharacters) {
  bool high = false;
  EXPECT_EQ(validPrefix("plain", 5, high), 5u);
  EXPECT_FALSE(high);
  const std::string russian = "ёж";
  EXPECT_EQ(validPrefix(russian.data(), russian.size(), high), russian.size());
  EXPECT_TRUE(high);
  EXPECT_EQ(cutOffTail("a\xD1", 2), 1u);
  EXPECT_EQ(cutOffTail("a\xF0\x9F\x98", 4), 3u);
  EXPECT_EQ(cutOffTail("a\xF0\x9F\x98\x80", 5), 0u);
  EXPECT_EQ(cutOffTail("ab", 2), 0u);
  Validator v;
  v.feed("abc", 3);
  EXPECT_FALSE(v.finish() && v.sawHighByte());
  Validator cut;
  cut.feed("a\xD1", 2);
  EXPECT_FALSE(cut.finish()) << "a text may not end inside a character";
  EXPECT_EQ(cut.invalidAt(), 1);
}

// Counts of text that is not valid UTF-8, against the definition walked byte by byte: at each
// byte of 0x80 or more, a valid sequence either begins (and is counted with its bytes) or not;
// it is unlikely when none of its continuation bytes is one of the (random) letters.
TEST(Utf8, SequenceTallyAgreesWithTheDefinitionWhateverThePieces) {
  std::mt19937 random(20261207);
  // Bytes that make sequences likely: leads, continuations, ASCII, and the edge values.
  const unsigned char alphabet[] = {'a',  ' ',  0x80, 0x8F, 0x90, 0x94, 0x9F, 0xA0,
                                    0xA8, 0xB5, 0xBF, 0xC0, 0xC1, 0xC2, 0xD0, 0xDF,
                                    0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF4, 0xF5};
  for (int round = 0; round < 400; ++round) {
    std::string text(random() % 300, ' ');
    for (char& c : text) c = static_cast<char>(alphabet[random() % sizeof alphabet]);
    const std::uint64_t letters = std::uint64_t{random()} << 32 | random();
    std::uint64_t sequences = 0, high = 0, inSequences = 0, unlikely = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (static_cast<unsigned char>(text[i]) < 0x80) continue;
      ++high;
      const std::string rest = text.substr(i);
      bool ignored = false;
      for (std::size_t length = 2; length <= 4 && length <= rest.size(); ++length) {
        if (validPrefix(rest.data(), length, ignored) == length &&
            static_cast<unsigned char>(rest[0]) >= 0xC2) {
          ++sequences;
          inSequences += length;
          bool letter = false;
          for (std::size_t k = 1; k < length; ++k) {
            letter = letter || ((letters >> (static_cast<unsigned char>(rest[k]) - 0x80)) & 1);
          }
          unlikely += !letter;
          break;
        }
      }
    }
    SequenceTally tally(letters);
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t piece = std::min<std::size_t>(1 + random() % 100, text.size() - at);
      tally.feed(text.data() + at, piece);
      at += piece;
    }
    tally.finish();
    EXPECT_EQ(tally.sequences(), sequences) << "round " << round;
    EXPECT_EQ(tally.strays(), high - inSequences) << "round " << round;
    EXPECT_EQ(tally.unlikely(), unlikely) << "round " << round;
  }
}

TEST(Utf8, SimpleCaseFolding) {
  EXPECT_EQ(fold("ПРИВЕТ Ёж Hello ΣΑΣ"), "привет ёж hello σασ");
  // One character to one character, though not always to as many bytes.
  EXPECT_EQ(fold("\u212A"), "k");                  // KELVIN SIGN
  EXPECT_EQ(fold("\u017F"), "s");                  // LATIN SMALL LETTER LONG S
  EXPECT_EQ(fold("\u023A"), "\u2C65");             // Ⱥ to ⱥ: two bytes to three
  EXPECT_EQ(fold("\U00010400"), "\U00010428");     // DESERET, outside the first plane
  EXPECT_EQ(fold("ß"), "ß") << "no full folding to ss";
}

// Short texts that are not valid UTF-8, weighed also by what their UTF-8 characters would be
// in the code page: UTF-8 "Да" reads "Р”Р°" in CP1251, no Russian text, while capitals before
// a guillemet and KOI8-R "её" are. Fed whole and a byte at a time, read as the engine reads a
// file: until the classifier has settled.
TEST(Utf8, ShortTextsAreWeighedInTheirCodePage) {
  const auto cp1251 = platform::CodePage::byName("CP1251");
  const auto koi8 = platform::CodePage::byName("KOI8-R");
  ASSERT_TRUE(cp1251 && koi8);
  struct Case {
    std::string text;
    const platform::CodePage& page;
    bool refused;
  };
  const Case cases[] = {
      {"Да\xff foo", *cp1251, true},
      {"Да\xff foo", *koi8, true},
      {"Привет\xe9", *cp1251, true},
      {"Меню\xff\xff", *koi8, true},     // every letter is a box-drawing pair in KOI8-R
      {"\xe9\xe9 Дата", *cp1251, true},  // not given up after the two stray bytes
      {"Я\xe9", *cp1251, false},         // too little text to tell
      {"Я\xe9", *koi8, false},
      {cp1251->encode("ТРЕСТ»"), *cp1251, false},
      {cp1251->encode("ИП «ИВАНОВ»"), *cp1251, false},
      {cp1251->encode("«Я» «Я»"), *cp1251, false},
      {cp1251->encode("ВСЁ ЕЩЁ ЖДЁТ"), *cp1251, false},
      {koi8->encode("её всё"), *koi8, false},
  };
  for (const Case& k : cases) {
    for (const std::size_t piece : {k.text.size(), std::size_t{1}}) {
      SCOPED_TRACE(k.page.decode(k.text) + " in " + k.page.name() + ", pieces of " +
                   std::to_string(piece));
      ASSERT_FALSE(isValid(k.text));
      Classifier classifier(false, Encoding::Auto, true, k.text.size(), &k.page);
      for (std::size_t at = 0; at < k.text.size() && !classifier.settled();) {
        classifier.feed(k.text.data() + at, piece);
        at += piece;
        if (classifier.wantsStart()) {
          classifier.restarted();
          at = 0;
        }
      }
      try {
        EXPECT_EQ(classifier.finish(), FileKind::CodePage);
        EXPECT_FALSE(k.refused);
      } catch (const platform::Error& e) {
        EXPECT_EQ(e.number(), platform::kBadCharacter);
        EXPECT_TRUE(k.refused) << words::ErrorText(e);
      }
    }
  }
}

}  // namespace
}  // namespace engine::utf8
