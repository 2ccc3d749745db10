#include "platform/code_page.h"

#include <gtest/gtest.h>
#include <locale.h>

#include "platform/error.h"
#include "tests/support/temp_tree.h"

namespace platform {
namespace {

TEST(CodePage, Cp1251CaseFoldingFromUnicodeRules) {
  const auto page = CodePage::byName("CP1251");
  ASSERT_TRUE(page.has_value());
  const FoldTable& f = page->fold();
  EXPECT_EQ(f['A'], 'a');
  EXPECT_EQ(f['z'], 'z');
  EXPECT_EQ(f[0xC0], 0xE0);  // А -> а
  EXPECT_EQ(f[0xDF], 0xFF);  // Я -> я
  EXPECT_EQ(f[0xA8], 0xB8);  // Ё -> ё
  EXPECT_EQ(f[0x81], 0x83);  // Ѓ -> ѓ
  EXPECT_EQ(f[0xB8], 0xB8);
  EXPECT_EQ(f['1'], '1');
  EXPECT_EQ(f[0x98], 0x98);  // undefined in CP1251: itself
  int letters = 0;
  for (int b = 0; b < 256; ++b) letters += f[b] != b;
  EXPECT_EQ(letters, 26 + 32 + 1 + 14);  // Latin, Russian, Ё and the other Cyrillic capitals
}

TEST(CodePage, EncodeAndDecodeRoundTrip) {
  const auto page = CodePage::byName("CP1251");
  const std::string utf8 = "Искомый текст: Ёж, №5 — \r\n ok";
  const std::string bytes = page->encode(utf8);
  EXPECT_EQ(bytes.size(), 29u);  // one byte per character
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xC8);
  EXPECT_EQ(page->decode(bytes), utf8);
}

// Every byte of each page, between runs of ASCII of every length up to two words, at every
// alignment: the decoded text is each byte's character in turn, as iconv gave it.
TEST(CodePage, DecodesEveryByteWhereverItStands) {
  for (const char* name : {"CP1251", "KOI8-R", "CP866", "ISO-8859-5", "ISO-8859-1"}) {
    const auto page = CodePage::byName(name);
    ASSERT_TRUE(page.has_value()) << name;
    std::string bytes;
    std::u32string characters;
    for (int b = 0; b < 256; ++b) {
      for (int k = 0; k < b % 17; ++k) {
        bytes += static_cast<char>('a' + k);
        characters += static_cast<char32_t>('a' + k);
      }
      bytes += static_cast<char>(b);
      characters += page->character(static_cast<unsigned char>(b));
    }
    std::string expected;
    for (const char32_t c : characters) {
      if (c < 0x80) {
        expected += static_cast<char>(c);
      } else if (c < 0x800) {
        expected += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
      } else {
        expected += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                     static_cast<char>(0x80 | (c & 0x3F))};
      }
    }
    for (std::size_t skip = 0; skip < 9; ++skip) {
      std::size_t skipped = 0;  // UTF-8 bytes of the first `skip` characters
      for (std::size_t i = 0; i < skip; ++i) skipped += page->decode(bytes.substr(i, 1)).size();
      EXPECT_EQ(page->decode(std::string_view(bytes).substr(skip)), expected.substr(skipped))
          << name << ", from byte " << skip;
    }
  }
}

TEST(CodePage, EncodeRefusesCharacterItCannotHold) {
  const auto page = CodePage::byName("CP1251");
  try {
    page->encode("цена 5 €? нет: ü");
    // € is in CP1251 (0x88); ü is not.
    FAIL() << "ü was encoded";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kBadCharacter);
    EXPECT_EQ(e.why(), Why::NotInCodePage);
    EXPECT_EQ(e.subject(), "ü") << "the character that does not fit, whole";
    EXPECT_EQ(e.detail(), "CP1251");
  }
  EXPECT_THROW(page->encode("\xFF\xFE broken"), Error);
}

TEST(CodePage, KoiAndLatinPagesAreSingleByte) {
  const auto koi = CodePage::byName("KOI8-R");
  ASSERT_TRUE(koi.has_value());
  EXPECT_EQ(koi->encode("Ж"), "\xF6");
  EXPECT_EQ(koi->fold()[0xF6], 0xD6);  // Ж -> ж in KOI8-R
  EXPECT_FALSE(CodePage::byName("UTF-8").has_value());
  EXPECT_FALSE(CodePage::byName("ANSI_X3.4-1968").has_value());
  EXPECT_FALSE(CodePage::byName("no-such-page").has_value());
  EXPECT_FALSE(CodePage::byName("").has_value());
}

TEST(CodePage, SystemFallsBackToCp1251UnderUtf8AndPlainC) {
  {
    testing_support::ScopedEnv all("LC_ALL", "C.UTF-8");
    EXPECT_EQ(CodePage::system().name(), "CP1251");
  }
  {
    testing_support::ScopedEnv all("LC_ALL", "C");
    EXPECT_EQ(CodePage::system().name(), "CP1251");
  }
}

// Plain ASCII files take a replacement in UTF-8 unless the locale chose a single-byte code page:
// C and POSIX (cron, CI, ssh host cmd) chose none.
TEST(CodePage, OnlyASingleByteLocaleKeepsAsciiFilesSingleByte) {
  for (const char* locale : {"C", "POSIX", "C.UTF-8"}) {
    testing_support::ScopedEnv all("LC_ALL", locale);
    EXPECT_FALSE(localeIsSingleByte()) << locale;
  }
  // Where the system has a CP1251 locale, it is a single-byte one.
  testing_support::ScopedEnv all("LC_ALL", "ru_RU.CP1251");
  if (locale_t cp1251 = newlocale(LC_CTYPE_MASK, "ru_RU.CP1251", nullptr)) {
    freelocale(cp1251);
    EXPECT_TRUE(localeIsSingleByte());
  }
}

}  // namespace
}  // namespace platform
