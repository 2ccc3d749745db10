#include "platform/code_page.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>

#include "platform/error.h"

namespace platform {
namespace {

// An iconv conversion descriptor, closed however the scope is left; empty when iconv has no
// such conversion.
struct IconvCloser {
  void operator()(iconv_t cd) const { iconv_close(cd); }
};
using Iconv = std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser>;

Iconv openIconv(const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  return Iconv(cd == reinterpret_cast<iconv_t>(-1) ? nullptr : cd);
}

constexpr char32_t kUndefined = 0xFFFFFFFF;
constexpr char32_t kReplacement = 0xFFFD;

// One UTF-8 sequence from `text` at `pos`; advances `pos`. Returns kUndefined for a
// malformed sequence (and skips one byte).
char32_t nextCodePoint(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  int extra = 0;
  char32_t cp = 0;
  if (lead < 0x80) {
    ++pos;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    cp = lead & 0x07;
  } else {
    ++pos;
    return kUndefined;
  }
  if (pos + extra >= text.size()) {
    ++pos;
    return kUndefined;
  }
  for (int i = 1; i <= extra; ++i) {
    const auto c = static_cast<unsigned char>(text[pos + i]);
    if ((c & 0xC0) != 0x80) {
      ++pos;
      return kUndefined;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return kUndefined;
  }
  pos += extra + 1;
  return cp;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The reverse of a code page's character table, sorted by character; where two bytes give
// the same character, the lower byte is the one written.
std::vector<std::pair<char32_t, unsigned char>> reverseTable(
    const std::array<char32_t, 256>& chars) {
  std::vector<std::pair<char32_t, unsigned char>> bytes;
  for (int b = 0; b < 256; ++b) {
    if (chars[b] != kUndefined) bytes.emplace_back(chars[b], static_cast<unsigned char>(b));
  }
  std::stable_sort(bytes.begin(), bytes.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return bytes;
}

const unsigned char* findByte(const std::vector<std::pair<char32_t, unsigned char>>& bytes,
                              char32_t c) {
  auto it = std::lower_bound(bytes.begin(), bytes.end(), c,
                             [](const auto& entry, char32_t key) { return entry.first < key; });
  return it != bytes.end() && it->first == c ? &it->second : nullptr;
}

// The C library's Unicode case rules, independent of the user's own locale.
locale_t unicodeCaseLocale() {
  static locale_t loc = [] {
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
      if (locale_t l = newlocale(LC_CTYPE_MASK, name, nullptr)) return l;
    }
    return static_cast<locale_t>(nullptr);
  }();
  return loc;
}

}  // namespace

const FoldTable& identityFold() {
  static const FoldTable table = [] {
    FoldTable t{};
    for (int b = 0; b < 256; ++b) t[b] = static_cast<unsigned char>(b);
    return t;
  }();
  return table;
}

std::optional<CodePage> CodePage::build(const std::string& name) {
  // The code page's characters are read off iconv once, byte by byte; encoding and decoding
  // then use these tables, so a round trip is exact by construction.
  const Iconv converter = openIconv("UTF-32LE", name.c_str());
  if (!converter) return std::nullopt;
  const iconv_t cd = converter.get();
  CodePage page;
  page.m_name = name;
  bool singleByte = true;
  int highDefined = 0;
  for (int b = 0; b < 256 && singleByte; ++b) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char in = static_cast<char>(b);
    unsigned char out[16];
    char* inPtr = &in;
    char* outPtr = reinterpret_cast<char*>(out);
    std::size_t inLeft = 1;
    std::size_t outLeft = sizeof out;
    const std::size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    const std::size_t produced = sizeof out - outLeft;
    page.m_chars[b] = kUndefined;
    if (r == static_cast<std::size_t>(-1)) {
      if (errno == EINVAL) singleByte = false;  // a lead byte of a multi-byte encoding
      continue;
    }
    if (produced != 4) continue;
    page.m_chars[b] =
        out[0] | (out[1] << 8) | (out[2] << 16) | (static_cast<char32_t>(out[3]) << 24);
    if (b >= 0x80) ++highDefined;
  }
  if (!singleByte || highDefined == 0) return std::nullopt;
  for (int b = 0x20; b < 0x7F; ++b) {
    if (page.m_chars[b] != static_cast<char32_t>(b)) return std::nullopt;
  }
  page.finish();
  return page;
}

void CodePage::finish() {
  CodePage& page = *this;
  page.m_bytes = reverseTable(page.m_chars);
  page.m_keeps = std::none_of(page.m_chars.begin(), page.m_chars.end(), [](char32_t c) {
    return c != kUndefined && c >= kKeptByte && c <= kKeptByte + 0xFF;
  });
  for (int b = 0; b < 256; ++b) {
    const bool undefined = page.m_chars[b] == kUndefined;
    std::string utf8;
    appendUtf8(utf8, undefined ? kReplacement : page.m_chars[b]);
    std::copy(utf8.begin(), utf8.end(), page.m_utf8[b].begin());
    page.m_utf8Length[b] = static_cast<unsigned char>(utf8.size());
    if (undefined && page.m_keeps) {
      utf8.clear();
      appendUtf8(utf8, kKeptByte + static_cast<char32_t>(b));
    }
    std::copy(utf8.begin(), utf8.end(), page.m_keptUtf8[b].begin());
    page.m_keptLength[b] = static_cast<unsigned char>(utf8.size());
  }
  page.m_asciiIsItself = true;
  for (int b = 0; b < 0x80; ++b)
    page.m_asciiIsItself &= page.m_chars[b] == static_cast<char32_t>(b);
  locale_t loc = unicodeCaseLocale();
  for (int b = 0; b < 256; ++b) {
    page.m_fold[b] = static_cast<unsigned char>(b);
    const char32_t c = page.m_chars[b];
    if (c == kUndefined) continue;
    const auto lower = static_cast<char32_t>(loc ? towlower_l(static_cast<wint_t>(c), loc)
                                                 : towlower(static_cast<wint_t>(c)));
    if (const unsigned char* byte = findByte(page.m_bytes, lower)) page.m_fold[b] = *byte;
  }
}

std::optional<CodePage> CodePage::byName(const std::string& name) {
  if (name.empty()) return std::nullopt;
  return build(name);
}

CodePage CodePage::system() {
  if (locale_t user = newlocale(LC_CTYPE_MASK, "", nullptr)) {
    std::string codeset = nl_langinfo_l(CODESET, user);
    freelocale(user);
    if (auto page = byName(codeset)) return *page;
  }
  if (auto page = build("CP1251")) return *page;
  if (auto page = build("ISO-8859-1")) return *page;
  // No iconv modules at all: Latin-1, whose bytes are the first 256 characters, needs none.
  CodePage latin1;
  latin1.m_name = "ISO-8859-1";
  for (int b = 0; b < 256; ++b) latin1.m_chars[b] = static_cast<char32_t>(b);
  latin1.finish();
  return latin1;
}

bool iconvModulesMissing() {
  // KOI8-R and CP1251 come with every glibc that has its conversion modules.
  for (const char* name : {"KOI8-R", "CP1251"}) {
    if (openIconv("UTF-8", name)) return false;
  }
  return true;
}

std::string CodePage::encode(std::string_view utf8) const {
  std::string out;
  out.reserve(utf8.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const std::size_t start = pos;
    const char32_t cp = nextCodePoint(utf8, pos);
    const unsigned char* byte = cp == kUndefined ? nullptr : findByte(m_bytes, cp);
    unsigned char kept = 0;
    if (byte == nullptr && m_keeps && cp >= kKeptByte && cp <= kKeptByte + 0xFF &&
        m_chars[cp - kKeptByte] == kUndefined) {
      kept = static_cast<unsigned char>(cp - kKeptByte);
      byte = &kept;
    }
    if (byte == nullptr) {
      if (cp == kUndefined) throw Error(kBadCharacter, Step::Recode, Why::BadUtf8);
      throw Error(kBadCharacter, Step::Recode, Why::NotInCodePage)
          .about(std::string(utf8.substr(start, pos - start)))
          .with(m_name);
    }
    out += static_cast<char>(*byte);
  }
  return out;
}

char32_t CodePage::character(unsigned char byte) const {
  return m_chars[byte] == kUndefined ? kReplacement : m_chars[byte];
}

std::string CodePage::decode(std::string_view bytes) const {
  std::string out(bytes.size() * kMostUtf8PerByte, '\0');
  out.resize(decodeInto(bytes, out.data()));
  return out;
}

namespace {

// `bytes` into `out` with a table of each byte's UTF-8.
std::size_t decodeWith(const std::array<std::array<char, 4>, 256>& utf8,
                       const std::array<unsigned char, 256>& lengths, bool asciiIsItself,
                       std::string_view bytes, char* out) {
  char* const start = out;
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  const auto one = [&](unsigned char b) {
    std::memcpy(out, utf8[b].data(), 4);
    out += lengths[b];
  };
  // Eight bytes at a time: eight ASCII bytes are themselves in UTF-8.
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, in + i, 8);
    if (asciiIsItself && (word & 0x8080808080808080ULL) == 0) {
      std::memcpy(out, &word, 8);
      out += 8;
      continue;
    }
    for (std::size_t k = 0; k < 8; ++k) one(in[i + k]);
  }
  for (; i < n; ++i) one(in[i]);
  return static_cast<std::size_t>(out - start);
}

}  // namespace

std::size_t CodePage::decodeInto(std::string_view bytes, char* out) const {
  return decodeWith(m_utf8, m_utf8Length, m_asciiIsItself, bytes, out);
}

std::size_t CodePage::decodeKeepingInto(std::string_view bytes, char* out) const {
  return decodeWith(m_keptUtf8, m_keptLength, m_asciiIsItself, bytes, out);
}

std::string CodePage::decodeExact(std::string_view bytes) const {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (m_chars[b] == kUndefined) {
      throw Error(kBadCharacter, Step::Recode, Why::NoCharacterInPage).with(m_name).at(b);
    }
  }
  return decode(bytes);
}

bool localeIsSingleByte() {
  locale_t user = newlocale(LC_CTYPE_MASK, "", nullptr);
  if (user == nullptr) return false;
  const std::string codeset = nl_langinfo_l(CODESET, user);
  freelocale(user);
  // C and POSIX name plain ASCII: a locale that chose no code page.
  if (codeset == "ANSI_X3.4-1968" || codeset == "ASCII" || codeset == "US-ASCII") return false;
  return CodePage::byName(codeset).has_value();
}

}  // namespace platform
