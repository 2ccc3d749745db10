// Regular expressions: what they match in Russian text, where the search goes after an empty
// match, what a replacement expands to, and the failures that name a place or stop a search.
#include "engine/text/pattern.h"

#include <gtest/gtest.h>

#include "engine/text/required_literal.h"
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/file/convert_file.h"
#include "platform/code_page.h"
#include "platform/error.h"
#include "tests/support/temp_tree.h"

namespace engine {
namespace {

using platform::Error;
using platform::Why;

std::string replaced(std::string_view pattern, std::string_view text, std::string_view with,
                     bool ignoreCase = false) {
  const Pattern p = Pattern::Compile(pattern, {.ignoreCase = ignoreCase});
  const ReplacementTemplate t = ReplacementTemplate::Compile(p, with);
  Matcher m(p);
  std::string out = "kept:";  // appended to, never cleared
  replaceAll(m, text, t, out);
  return out.substr(5);
}

// The same, with the text given `characters` characters at a time (as a long file is); checks
// the count of characters before each match on the way.
std::string replacedInPieces(std::string_view pattern, std::string_view text, std::string_view with,
                             bool ignoreCase, std::size_t characters) {
  struct Pieces : PieceSearch::Source {
    std::string_view rest;
    std::size_t characters = 1;
    bool more(std::string& held) override {
      std::size_t n = 0;
      for (std::size_t k = 0; k < characters && n < rest.size(); ++k) {
        do {
          ++n;
        } while (n < rest.size() && (static_cast<unsigned char>(rest[n]) & 0xC0) == 0x80);
      }
      held.append(rest.substr(0, n));
      rest.remove_prefix(n);
      return !rest.empty();
    }
  } pieces;
  pieces.rest = text;
  pieces.characters = characters;
  const Pattern p = Pattern::Compile(pattern, {.ignoreCase = ignoreCase});
  const ReplacementTemplate t = ReplacementTemplate::Compile(p, with);
  Matcher m(p);
  PieceSearch search(m, p, pieces);
  std::string out;
  std::size_t copied = 0;
  while (search.next()) {
    const std::size_t at = search.base() + search.matcher().offset();
    std::size_t before = 0;
    for (std::size_t i = 0; i < at; ++i) before += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    EXPECT_EQ(search.charactersBefore(at), before) << "at byte " << at;
    out.append(text.substr(copied, at - copied));
    t.appendTo(search.matcher(), out);
    copied = at + search.matcher().length();
  }
  out.append(text.substr(copied));
  return out;
}

// PCRE2's own global substitution, with the same compile options, as the oracle.
std::string substitutedByPcre2(std::string_view pattern, std::string_view text,
                               std::string_view with, bool ignoreCase) {
  pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
  pcre2_set_newline(context, PCRE2_NEWLINE_ANYCRLF);
  int error = 0;
  PCRE2_SIZE at = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                   PCRE2_UTF | PCRE2_UCP | (ignoreCase ? PCRE2_CASELESS : 0u),
                                   &error, &at, context);
  pcre2_compile_context_free(context);
  if (code == nullptr) return "<does not compile>";
  std::string out(text.size() * 4 + 256, '\0');
  PCRE2_SIZE size = out.size();
  const int rc = pcre2_substitute(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0,
                                  PCRE2_SUBSTITUTE_GLOBAL | PCRE2_SUBSTITUTE_UNSET_EMPTY, nullptr,
                                  nullptr, reinterpret_cast<PCRE2_SPTR>(with.data()), with.size(),
                                  reinterpret_cast<PCRE2_UCHAR*>(out.data()), &size);
  pcre2_code_free(code);
  out.resize(rc < 0 ? 0 : size);
  return rc < 0 ? "<error " + std::to_string(rc) + ">" : out;
}

struct Substitution {
  const char* pattern;
  const char* text;
  const char* with;
  const char* expected;
  bool ignoreCase = false;
};

TEST(PatternTest, ReplacesAsPcre2GlobalSubstitutionDoes) {
  const Substitution cases[] = {
      // Letters, word boundaries and case in Russian.
      {R"(\w+)", "Ёлка, ёж-2!", "<$0>", "<Ёлка>, <ёж>-<2>!"},
      {R"(\bёж\b)", "ёж ёжик Ёж ёж", "X", "X ёжик Ёж X"},
      {"ёлка", "Ёлка ЁЛКА ёлка елка", "X", "X X X елка", true},
      {"[а-яё]+", "ЁЖ и Ель", "_", "_ _ _", true},
      // Groups.
      {R"((\w+)@(\w+))", "пётр@почта", "$2 у $1 ${2}${1}0", "почта у пётр почтапётр0"},
      {R"((?<кто>)(?<user>\w+)@(?<host>\w+))", "a@b", "${host}/$user", "b/a"},
      {"(ё)", "ёж", "$$1=$1 ${0}$0 $1ж", "$1=ё ёё ёжж"},
      {"(a)|(b)", "ab", "[$1|$2]", "[a|][|b]"},
      {"(?J)(?<n>a)|(?<n>b)", "ab", "${n}$n", "aabb"},
      {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)", "abcdefghij", "$10$1", "ja"},
      {R"(\\n)", R"(a\nb)", R"(\t\\$0)", R"(a\t\\\nb)"},
      // Empty matches: before every character, CR LF as one place.
      {"x*", "abc", "-", "-a-b-c-"},
      {"", "ёж", "-", "-ё-ж-"},
      {"x*", "a\r\nb", "-", "-a-\r\n-b-"},
      {"x*", "a\n\rb", "-", "-a-\n-\r-b-"},
      {"|b", "abc", "-", "-a---c-"},
      {R"(\b)", "ab ёж", "|", "|ab| |ёж|"},
      {R"((?<=\G.))", "abc", "-", "a-b-c-"},
      {R"(a\Kb)", "abab", "X", "aXaX"},
      // ^ and $ are the text's ends; (?m) makes them the lines'. Line breaks of both kinds.
      {"^|$", "a\r\nb\r\n", "#", "#a\r\nb#\r\n#"},
      {"(?m)^", "a\r\nb\nc\rd", "#", "#a\r\n#b\n#c\r#d"},
      {"(?m)$", "a\r\nb\n", "#", "a#\r\nb#\n#"},
      {".+", "ab\r\nёж\rc", "<$0>", "<ab>\r\n<ёж>\r<c>"},
      // Matches that span lines.
      {R"(а\s+б)", "а\r\n  б а\nб", "аб", "аб аб"},
      {R"((?s)<.*?>)", "<a\r\nb> <\n>", "[]", "[] []"},
      {R"(\R)", "a\r\nb\nc\rd", "|", "a|b|c|d"},
  };
  for (const Substitution& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " on " + c.text);
    EXPECT_EQ(replaced(c.pattern, c.text, c.with, c.ignoreCase), c.expected);
    EXPECT_EQ(substitutedByPcre2(c.pattern, c.text, c.with, c.ignoreCase), c.expected);
    for (const std::size_t piece : {1, 2, 3, 5}) {
      EXPECT_EQ(replacedInPieces(c.pattern, c.text, c.with, c.ignoreCase, piece), c.expected)
          << "in pieces of " << piece << " characters";
    }
  }
}

// A long text in pieces: matches across pieces, a look behind and ahead of a piece's end, `$`
// and `\b` at a piece's end, matches that need many pieces, CR LF cut in two; every piece size
// up to a few matches long against PCRE2's substitution of the whole.
TEST(PatternTest, ATextInPiecesMatchesAsTheWhole) {
  std::string text;
  const char* words[] = {"ёлка", "ЁЛКА", "ab", "abc", "\r\n", "\n", "\r", " ", "x", "12", "ёж"};
  std::uint32_t seed = 12345;
  for (std::size_t i = 0; i < 400; ++i) {
    seed = seed * 1103515245 + 12345;
    text += words[(seed >> 16) % std::size(words)];
  }
  const Substitution cases[] = {
      {R"(\bab\b)", "", "W", ""},
      {R"((?<=ё)лк(?=а))", "", "$0$0", ""},
      {R"((?<=\r\n|ж)\w+)", "", "<$0>", ""},
      {"(?m)$", "", "#", ""},
      {"(?m)^\\w", "", "#", ""},
      {"x*", "", "-", ""},
      {R"(\s+)", "", " ", ""},
      {R"((?s)ёж.*?ab)", "", "[$0]", ""},
      {R"((\d)(?:[^\d]*)(\d))", "", "$2$1", ""},
      {"ёлка", "", "ель", "", true},
      {R"(\b)", "", "|", ""},
      {R"(\R)", "", "/", ""},
      {R"((?s).*)", "", "<$0>", ""},
      {R"((?m)ab$)", "", "!", ""},
      // Searched only on the lines that hold their literal.
      {R"((\w+)ЛК(\w))", "", "$2$1", ""},
      {R"(ab(?=c))", "", "_", ""},
      {R"((?<=\s)ab\w*)", "", "[$0]", ""},
      {R"(ё(ж)\b)", "", "$1", ""},
      {R"(x{0,2}12)", "", "-", ""},
  };
  for (const Substitution& c : cases) {
    const std::string expected = substitutedByPcre2(c.pattern, text, c.with, c.ignoreCase);
    EXPECT_NE(expected, text) << c.pattern;
    for (const std::size_t piece : {1, 2, 3, 7, 16, 100, 5000}) {
      EXPECT_EQ(replacedInPieces(c.pattern, text, c.with, c.ignoreCase, piece), expected)
          << c.pattern << " in pieces of " << piece << " characters";
    }
  }
}

// The text every match holds, which lets a search look only at the lines that hold it: none
// where a match could hold a line feed, or could do without the text.
TEST(PatternTest, ARequiredLiteralIsOneEveryMatchHoldsOnOneLine) {
  const std::pair<const char*, const char*> cases[] = {
      {R"((\w+)_t\b)", "_t"},
      {"con(tract)", "contract"},
      {"con(tract)?s", "con"},
      {"ab+c", "ab"},
      {"ab*cd", "cd"},
      {"x{0,3}yz", "yz"},
      {"(?:foo|bar)baz", "baz"},
      {"[a-zё]+_id", "_id"},
      {"(?=abc)de", "de"},
      {"ёлка", "ёлка"},
      {R"(a\.b)", "a.b"},
      {"(?<n>ab)cd{2}", "abcd"},
      {"foo|bar", ""},
      {R"(ab\scd)", ""},
      {"[^x]abc", ""},
      {"(?s).abc", ""},
      {"(?i)abc", ""},
      {R"(ab\ncd)", ""},
      {"ab\ncd", ""},
      {R"(ab\x0Acd)", ""},
      {R"(\Qab\E)", ""},
      {R"([\t-z]abc)", ""},
      {R"((a)\1bc)", ""},
      {R"(ab\Rcd)", ""},
      {R"(ab\N{U+0A}cd)", ""},
      {"[[:space:]]abc", ""},
      {"(*CRLF)abc", ""},
      {"a{,2}bc", ""},
      {"a}bc", "bc"},
  };
  for (const auto& [pattern, literal] : cases) {
    EXPECT_EQ(RequiredLiteral(pattern), literal) << pattern;
  }
}

TEST(PatternTest, MatchesGiveTheirBytesAndGroups) {
  const Pattern p = Pattern::Compile("(ё)?(ж*)");
  Matcher m(p);
  m.start("ёжж");
  ASSERT_TRUE(m.next());
  EXPECT_EQ(m.offset(), 0u);
  EXPECT_EQ(m.length(), 6u);
  EXPECT_EQ(m.group(1), "ё");
  EXPECT_EQ(m.group(2), "жж");
  ASSERT_TRUE(m.next());  // the empty match at the end
  EXPECT_EQ(m.offset(), 6u);
  EXPECT_EQ(m.length(), 0u);
  EXPECT_FALSE(m.groupSet(1));
  EXPECT_TRUE(m.groupSet(2));
  EXPECT_FALSE(m.groupSet(3));
  EXPECT_FALSE(m.next());
  EXPECT_FALSE(m.next());
}

template <typename F>
Error failureOf(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "no failure";
  return Error(0, platform::Step::None, Why::Unknown);
}

struct BadPattern {
  const char* pattern;
  std::uint64_t position;  // in characters, from 1
  const char* reason;      // PCRE2's words
};

TEST(PatternTest, AnInvalidPatternNamesItsReasonAndCharacter) {
  const BadPattern cases[] = {
      {"ё(", 3, "missing closing parenthesis"},
      {"ёжик)", 5, "unmatched closing parenthesis"},
      {"[ё", 3, "missing terminating ] for character class"},
      {"ёё{2,1}", 7, "numbers out of order in {} quantifier"},
      {R"(ё\C)", 4, "using \\C is disabled by the application"},
      {"a\xFFz", 2, "UTF-8 error: illegal byte (0xfe or 0xff)"},
  };
  for (const BadPattern& c : cases) {
    SCOPED_TRACE(c.pattern);
    const Error e = failureOf([&] { Pattern::Compile(c.pattern); });
    EXPECT_EQ(e.number(), platform::kBadPattern);
    EXPECT_EQ(e.why(), Why::BadPattern);
    EXPECT_EQ(e.value(), c.position);
    EXPECT_EQ(e.detail(), c.reason);
  }
}

struct BadReplacement {
  const char* with;
  Why why;
  std::uint64_t position;
  const char* group;
};

TEST(PatternTest, AReplacementNamesTheReferenceItCannotFill) {
  const Pattern p = Pattern::Compile("(?<имя>)(a)(?<name>b)");
  const BadReplacement cases[] = {
      {"ё$4", Why::NoSuchGroup, 2, "4"},
      {"ё${4}", Why::NoSuchGroup, 2, "4"},
      {"$$ ${nam}", Why::NoSuchGroup, 4, "nam"},
      {"$99999999999999999999999", Why::NoSuchGroup, 1, "99999999999999999999999"},
      {"ёж$", Why::BadReference, 3, ""},
      {"${3", Why::BadReference, 1, ""},
      {"${}", Why::BadReference, 1, ""},
      {"${3a}", Why::BadReference, 1, ""},
      {"$имена", Why::NoSuchGroup, 1, "имена"},
      {"ё$—", Why::BadReference, 2, ""},
      {"$ 5", Why::BadReference, 1, ""},
  };
  for (const BadReplacement& c : cases) {
    SCOPED_TRACE(c.with);
    const Error e = failureOf([&] { ReplacementTemplate::Compile(p, c.with); });
    EXPECT_EQ(e.number(), platform::kBadPattern);
    EXPECT_EQ(e.why(), c.why);
    EXPECT_EQ(e.value(), c.position);
    EXPECT_EQ(e.subject(), c.group);
  }
  EXPECT_FALSE(ReplacementTemplate::Compile(p, "$3${name}$0").literal());
  EXPECT_TRUE(ReplacementTemplate::Compile(p, "$$3").literal());
  // Names in Russian, which PCRE2's own substitution does not read.
  EXPECT_EQ(replaced(R"((?<имя>\w+)@)", "ёж@, я@", "$имя—${имя}"), "ёж—ёж, я—я");
}

TEST(PatternTest, ASearchPastItsLimitsFailsThatTextOnly) {
  const std::string catastrophic = std::string(46, 'a') + "b";
  // The JIT and the interpreter have limits of their own.
  for (const char* pattern : {"(a+)+$", "(*NO_JIT)(a+)+$"}) {
    SCOPED_TRACE(pattern);
    const Pattern p = Pattern::Compile(pattern);
    Matcher m(p);
    m.start(catastrophic);
    const Error e = failureOf([&] { m.next(); });
    EXPECT_EQ(e.why(), Why::PatternTooComplex);
    EXPECT_EQ(e.number(), platform::kTooComplex);
    EXPECT_FALSE(m.next());
    m.start("aaa");
    ASSERT_TRUE(m.next());
    EXPECT_EQ(m.match(), "aaa");
  }
}

// Long texts that take many steps, but no backtracking to speak of, stay within the limits.
TEST(PatternTest, LongTextsStayWithinTheLimits) {
  std::string pairs;
  for (int i = 0; i < 100'000; ++i) pairs += i % 3 == 0 ? "ёж" : "ab";
  // No start optimisation skips the spaces: every one of them is a search of a few steps.
  const std::string spaced = std::string(8 << 20, ' ') + "ё1";
  for (const char* prefix : {"", "(*NO_JIT)"}) {
    SCOPED_TRACE(prefix);
    EXPECT_EQ(replaced(std::string(prefix) + "^(?:ab|ёж)*$", pairs, "ok"), "ok");
    EXPECT_EQ(replaced(std::string(prefix) + "(?:.(?<=x)|ё1)", spaced, ""),
              std::string(8 << 20, ' '));
  }
}

// A search goes a stretch of the text at a time: where one ends decides nothing. The places
// after a stretch's end, a CR LF or a character cut by it, and the patterns whose searches may
// not be cut (\G, verbs that end or skip), against PCRE2's substitution of the whole text.
TEST(PatternTest, StretchesOfALongTextMatchAsTheWhole) {
  const std::string filler(Matcher::kWindow, 'a');
  const Substitution cases[] = {
      // PCRE2 does not begin at the LF of a CR LF where a search at its CR failed.
      {R"(\v(?!\v))", "\r\nb", "|", ""},
      {R"(\v(?!\v))", "a\r\nb", "|", ""},
      {"ж|b", "ёжb", "_", ""},
      {R"((?<=a)ж)", "ж", "_", ""},
      {"a(*COMMIT)b|c", "bc", "_", ""},
      {R"(\Gb|c)", "xb", "_", ""},
  };
  for (const Substitution& c : cases) {
    const std::string text = filler + c.text;
    SCOPED_TRACE(c.pattern);
    const std::string expected = substitutedByPcre2(c.pattern, text, c.with, false);
    const std::string got = replaced(c.pattern, text, c.with);
    EXPECT_TRUE(got == expected) << "ends in " << got.substr(filler.size() - 4) << ", not in "
                                 << expected.substr(filler.size() - 4);
  }
}

// A file whose search runs past its time fails on its own and is left as it was, in every
// encoding a pattern searches; a file searched within its time is replaced. (With no time at
// all, a file fails once its search has had SearchWatch::kEvery of processor time: the
// hostile one takes far longer, the other far less.)
TEST(PatternTest, AFileSearchedPastItsTimeFailsAndOneWithinItIsReplaced) {
  const testing_support::TempTree temp;
  const testing_support::ScopedEnv env("TMPDIR", temp.path().c_str());
  const testing_support::TempTree tree;
  std::string lines;
  for (int i = 0; i < 200; ++i) lines += std::string(22, 'a') + "b\n";
  const auto utf16 = [](const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (const char c : ascii) out += std::string{c, '\0'};
    return out;
  };
  struct Case {
    const char* name;
    std::string hostile, normal, replaced;
  };
  const Case cases[] = {
      {"UTF-8", "ё\n" + lines, "ё b aaa\n", "ё b X\n"},
      {"code page", "\xE5\n" + lines, "\xE5 b aaa\n", "\xE5 b X\n"},
      {"UTF-16", utf16(lines), utf16("b aaa\n"), utf16("b X\n")},
  };
  MatchOptions o;
  o.findText = "(a+)+$";
  o.replaceText = "X";
  o.regex = true;
  const auto compiled = CompiledPattern::For(o);
  const std::optional<platform::CodePage> page = platform::CodePage::byName("CP1251");
  ASSERT_TRUE(page);
  Conversion c{.options = o, .codePage = *page, .workFile = ChooseWorkFile(), .pump = {}};
  c.pattern = compiled.get();
  c.searchBudget = {.base = std::chrono::milliseconds(0), .perMiB = std::chrono::milliseconds(0)};
  const auto convert = [&](const std::string& path) {
    FileInFolder at = OpenFolderOf(path);
    return ConvertFileAt(FileRef(at.folder.fd(), at.name, path), c);
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string hostile = tree.write("hostile", k.hostile);
    const std::string normal = tree.write("normal", k.normal);
    try {
      convert(hostile);
      ADD_FAILURE() << "the hostile file was searched to its end";
    } catch (const Error& e) {
      EXPECT_EQ(e.why(), Why::SearchTooLong);
      EXPECT_EQ(e.number(), platform::kTooComplex);
    }
    EXPECT_EQ(testing_support::readFile(hostile), k.hostile);
    EXPECT_TRUE(convert(normal));
    EXPECT_EQ(testing_support::readFile(normal), k.replaced);
  }
}

// The rules a pattern's run keeps in a file, whatever its encoding: a line break of the pattern
// follows the file's as a literal text's does; a byte-order mark is no part of the text; a byte
// the code page has no character for goes through as itself; a whole word is looked for as
// grep -w looks for it. Against the program's own literal text, perl or grep where they say
// the same.
TEST(PatternTest, ARunKeepsThePatternRulesInEveryFile) {
  const testing_support::TempTree temp;
  const testing_support::ScopedEnv env("TMPDIR", temp.path().c_str());
  const testing_support::TempTree tree;
  const auto utf16 = [](const std::string& ascii, bool big) {
    std::string out = big ? "\xFE\xFF" : "\xFF\xFE";
    for (const char c : ascii) out += big ? std::string{'\0', c} : std::string{c, '\0'};
    return out;
  };
  enum class Oracle { None, Literal, Perl, Grep };
  struct Case {
    std::string find, replace, before, after;
    Oracle oracle = Oracle::None;
    std::string perl = {};  // the perl program, for the text after a UTF-8 mark
    bool wholeWords = false, exactLineBreaks = false;
  };
  const std::string bom = "\xEF\xBB\xBF";
  const Case cases[] = {
      // Line breaks: LF, CR LF (as the window's fields hold them), mixed, exact.
      {"#endif\n\n#if", "X", "a\n#endif\n\n#if b", "a\nX b", Oracle::Literal},
      {"#endif\n\n#if", "X", "a\r\n#endif\r\n\r\n#if b", "a\r\nX b", Oracle::Literal},
      {"#endif\r\n\r\n#if", "X", "a\n#endif\n\n#if b", "a\nX b", Oracle::Literal},
      {"x\ny", "z", "x\r\ny\nx\ny", "z\nz", Oracle::Literal},
      {"x\ny", "z", "x\r\ny\nx\ny", "x\r\ny\nz", Oracle::Literal, "", false, true},
      {"(\\w+)\n", "$1;\n", "a\r\nb\r\n", "a;\r\nb;\r\n"},
      {"\\Qa.\nb\\E", "X", "a.\r\nb a.b", "X a.b"},
      {"(?x) a \n b  # a comment\n", "X", "ab a\nb", "X a\nb"},
      {"a[\n]b", "X", "a\r\nb a\nb", "a\r\nb X"},
      // Byte-order marks stay first.
      {"(?m)^", "#", bom + "a,b\nc,d\n", bom + "#a,b\n#c,d\n", Oracle::Perl, "s/^/#/gm"},
      {"^\\W", "", bom + ",x", bom + "x", Oracle::Perl, "s/^\\W//"},
      {"(?m)^", "#", utf16("a\nb", false), utf16("#a\n#b", false)},
      {"(?m)^", "#", utf16("a\nb", true), utf16("#a\n#b", true)},
      // CP1251: 0x98 has no character.
      {"и.", "[$0]", "\xE8\x98 \xE8\x98\x98\xE8", "[\xE8\x98] [\xE8\x98]\x98\xE8"},
      // Whole words: the other matches at a place are tried before the next place.
      {"a|ab", "<$0>", "ab", "<ab>", Oracle::Grep, "", true},
      {"ab|abc", "<$0>", "abc abd ab", "<abc> abd <ab>", Oracle::Grep, "", true},
      {"-x|x", "<$0>", "a-x -x", "a-<x> <-x>", Oracle::Grep, "", true},
      {"[0-9]+", "<$0>", "a12 34", "a12 <34>", Oracle::Grep, "", true},
      {"ё[[:alpha:]]*", "<$0>", "ёж ёлка-2 xёж", "<ёж> <ёлка>-2 xёж", Oracle::Grep, "", true},
  };
  const std::optional<platform::CodePage> page = platform::CodePage::byName("CP1251");
  ASSERT_TRUE(page);
  const auto converted = [&](const Case& k, bool regex) {
    MatchOptions o;
    o.findText = k.find;
    o.replaceText = k.replace;
    o.regex = regex;
    o.wholeWords = k.wholeWords;
    o.exactLineBreaks = k.exactLineBreaks;
    o.leaveUnmatched = true;
    const auto compiled = CompiledPattern::For(o);
    Conversion c{.options = o, .codePage = *page, .workFile = ChooseWorkFile(), .pump = {}};
    c.pattern = compiled.get();
    const std::string path = tree.write("file", k.before);
    FileInFolder at = OpenFolderOf(path);
    ConvertFileAt(FileRef(at.folder.fd(), at.name, path), c);
    return testing_support::readFile(path);
  };
  const bool grep = testing_support::run("grep --version") == 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.find + " on " + k.before);
    EXPECT_EQ(converted(k, true), k.after);
    if (k.oracle == Oracle::Literal) {
      EXPECT_EQ(converted(k, false), k.after);
    }
    if (k.oracle == Oracle::Perl) {
      const std::string input = tree.write("input", k.before.substr(bom.size()));
      std::string perl;
      ASSERT_EQ(testing_support::run("perl -CSD -0777 -pe '" + k.perl + "' " + input, &perl), 0);
      EXPECT_EQ(bom + perl, k.after);
    }
    if (k.oracle == Oracle::Grep && grep) {
      // grep -ow gives the matches a line at a time; the program's are between < and >.
      const std::string input = tree.write("input", k.before + "\n");
      const std::string pattern = tree.write("pattern", k.find + "\n");
      std::string found;
      testing_support::run("LC_ALL=C.UTF-8 grep -owE -f " + pattern + " " + input, &found);
      std::string made;
      for (std::size_t at = k.after.find('<'); at != std::string::npos;
           at = k.after.find('<', at + 1)) {
        made += k.after.substr(at + 1, k.after.find('>', at) - at - 1) + "\n";
      }
      EXPECT_EQ(found, made);
    }
  }
}

TEST(PatternTest, TextThatIsNotUtf8IsRefused) {
  const Pattern p = Pattern::Compile(".");
  Matcher m(p);
  const Error e = failureOf([&] { m.start("ёж\xD0"); });
  EXPECT_EQ(e.why(), Why::BadUtf8At);
  EXPECT_EQ(e.value(), 5u);
  EXPECT_FALSE(m.next());
}

TEST(PatternTest, OnePatternServesSeveralThreadsAtOnce) {
  // Backtracking over an alternation in a loop: the JIT's stack is written on.
  const Pattern p = Pattern::Compile(R"((\w)((?:\w|-)*)|(?<=\G\s))");
  const ReplacementTemplate t = ReplacementTemplate::Compile(p, "$2$1");
  std::string text;
  for (int i = 0; i < 20'000; ++i) text += i % 2 ? "Ёлка ёж-ёжик\r\n" : "alpha-beta ЖУК  ";
  std::string alone;
  Matcher single(p);
  replaceAll(single, text, t, alone);
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (std::string& result : results) {
    threads.emplace_back([&] {
      Matcher m(p);
      for (int round = 0; round < 5; ++round) {
        result.clear();
        replaceAll(m, text, t, result);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& result : results) EXPECT_TRUE(result == alone);
  EXPECT_TRUE(alone.starts_with("lpha-betaa УКЖ  лкаЁ ж-ёжикё\r\n")) << alone.substr(0, 40);
}

}  // namespace
}  // namespace engine
