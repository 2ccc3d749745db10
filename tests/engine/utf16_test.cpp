// Text in UTF-16 behind its byte-order mark: which files are UTF-16, and that each is matched,
// replaced, planned and shown exactly as the same text in UTF-8 is, then written back in its own
// byte order. glibc's iconv makes the UTF-16 of each text, apart from the program's own code.
#include <iconv.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/review/plan.h"
#include "engine/review/showing.h"
#include "engine/review/shown_file.h"
#include "engine/run/run.h"
#include "engine/text/file_kind.h"
#include "platform/code_page.h"
#include "platform/error.h"
#include "tests/support/run_transcript.h"
#include "tests/support/temp_tree.h"

namespace engine {
namespace {

using testing_support::readFile;
using testing_support::RunSetup;
using testing_support::TempTree;

// `utf8` in UTF-16 of that byte order, without a mark.
std::string toUtf16(const std::string& utf8, bool big) {
  iconv_t cd = iconv_open(big ? "UTF-16BE" : "UTF-16LE", "UTF-8");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string out(utf8.size() * 4 + 4, '\0');
  char* in = const_cast<char*>(utf8.data());
  std::size_t inLeft = utf8.size();
  char* o = out.data();
  std::size_t outLeft = out.size();
  EXPECT_NE(iconv(cd, &in, &inLeft, &o, &outLeft), static_cast<std::size_t>(-1)) << utf8;
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}

std::string marked(const std::string& utf8, bool big) {
  return (big ? "\xFE\xFF" : "\xFF\xFE") + toUtf16(utf8, big);
}

// The kind of `bytes` with binary files detected, or "error N at P".
std::string classified(const std::string& bytes, std::size_t piece, Encoding encoding) {
  Classifier classifier(true, encoding, false, bytes.size());
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    classifier.feed(bytes.data() + at, std::min(piece, bytes.size() - at));
  }
  try {
    switch (classifier.finish()) {
      case FileKind::Binary: return "binary";
      case FileKind::Utf8: return "utf8";
      case FileKind::CodePage: return "codepage";
      case FileKind::Utf16Le: return "utf16le";
      case FileKind::Utf16Be: return "utf16be";
    }
  } catch (const platform::Error& e) {
    return "error " + std::to_string(e.number()) + " at " + std::to_string(e.value());
  }
  return {};
}

TEST(Utf16Classifier, TheMarkMakesUtf16AndOnlyValidUtf16IsText) {
  const std::string le = "\xFF\xFE", be = "\xFE\xFF";
  const std::string tail(20, 'y');
  struct Case {
    const char* name;
    std::string bytes;
    const char* kind;
  };
  const std::vector<Case> cases = {
      {"little-endian", marked("Привет\r\n😀", false), "utf16le"},
      {"big-endian", marked("Привет\r\n😀", true), "utf16be"},
      {"the mark alone", le, "utf16le"},
      {"a lone lead surrogate", le + std::string("A\0\x3D\xD8" "B\0", 6), "error 5 at 5"},
      {"a lead surrogate last", be + std::string("\0A\xD8\x3D", 4), "error 5 at 5"},
      {"a lone trail surrogate", le + std::string("A\0\x00\xDE", 4), "error 5 at 5"},
      {"an odd last byte", le + std::string("A\0B", 3), "error 5 at 5"},
      {"a control character", le + std::string("A\0\x01\0", 4), "binary"},
      // Past the first sixteen bytes, which are checked eight units at a time.
      {"a lone trail surrogate far in",
       le + toUtf16(std::string(100, 'x'), false) + std::string("\x00\xDE", 2) +
           toUtf16(tail, false),
       "error 5 at 203"},
      {"a lone lead surrogate far in",
       be + toUtf16("ж" + std::string(99, 'x'), true) + "\xDB\xFF" + toUtf16(tail, true),
       "error 5 at 203"},
      {"a control character far in",
       le + toUtf16(std::string(100, 'x'), false) + std::string("\x1B\0", 2) + toUtf16(tail, false),
       "binary"},
      // UTF-32 begins with the same two bytes, then a NUL character.
      {"UTF-32", "\xFF\xFE" + std::string("\0\0A\0\0\0", 6), "binary"},
      {"NUL bytes without a mark", std::string("A\0B\0", 4), "binary"},
      {"the marks swapped in the middle", "A" + le, "codepage"},
  };
  for (const Case& k : cases) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{1} << 16}) {
      EXPECT_EQ(classified(k.bytes, piece, Encoding::Auto), k.kind)
          << k.name << ", pieces of " << piece;
    }
  }
  EXPECT_EQ(classified(marked("Да", false), 4, Encoding::Utf8), "utf16le");
  EXPECT_EQ(classified(le + "A", 4, Encoding::CodePage), "codepage")
      << "the reading the user chose";
}

class Utf16Test : public ::testing::Test {
 protected:
  Utf16Test() : m_env("TMPDIR", m_temp.path().c_str()) {}

  RunSetup setup(const std::string& path, const MatchOptions& options, std::size_t chunk) {
    RunSetup s = testing_support::FileRun(path, options.findText, options.replaceText, {});
    s.options = options;
    s.chunkSize = chunk;
    return s;
  }

  TempTree tree;

 private:
  TempTree m_temp;
  testing_support::ScopedEnv m_env;
};

struct Options {
  bool ignoreCase = false, regex = false, wholeWords = false, preserveCase = false;
};

MatchOptions matching(const std::string& find, const std::string& replace, Options k) {
  MatchOptions o;
  o.findText = find;
  o.replaceText = replace;
  o.caseSensitive = !k.ignoreCase;
  o.regex = k.regex;
  o.wholeWords = k.wholeWords;
  o.preserveCase = k.preserveCase;
  return o;
}

// Each text, in UTF-16 of both orders, becomes what the same text in UTF-8 becomes, in pieces
// of every size down to a few characters (a surrogate pair or a CR LF across a piece's end).
TEST_F(Utf16Test, ReplacesAsTheSameTextInUtf8AndKeepsItsByteOrder) {
  struct Case {
    const char* name;
    std::string text, find, replace;
    Options options;
  };
  const std::string emoji = "😀🎉";  // two units each: places in the file are not characters
  const std::vector<Case> cases = {
      {"Cyrillic without regard to case",
       "Мир, МИР и мир; " + emoji + " мир\r\nмирный мир",
       "мир",
       "земля",
       {.ignoreCase = true}},
      {"a find text of several lines in CR LF",
       "a " + emoji + "\r\nстрока\r\nМИР\r\nконец",
       "строка\nмир",
       "один\nдва",
       {.ignoreCase = true}},
      {"a replacement of two lines follows the file's breaks", "x\r\nмир\r\n", "мир", "1\n2", {}},
      {"whole words", emoji + "мир мирный мир_ мир.", "мир", "X", {.wholeWords = true}},
      {"case kept", "Мир МИР мир", "мир", "земля", {.ignoreCase = true, .preserveCase = true}},
      {"a pattern with a group",
       emoji + "ключ=значение\r\nk=v",
       "(\\w+)=(\\w+)",
       "$2:$1",
       {.regex = true}},
      {"a pattern over lines",
       "начало\r\n" + emoji + "\r\nконец",
       "(?s)начало.*конец",
       "[]",
       {.regex = true}},
      {"characters of one to four bytes, in long runs and mixed",
       std::string(40, 'a') + "договор" + std::string(24, ' ') + "Договор中文字符中文字符договор" +
           emoji + "ДОГОВОР" + std::string(17, 'b') + "договор",
       "договор",
       "中" + emoji,
       {.ignoreCase = true}},
      {"not found", "ничего", "мир", "земля", {}},
      // U+6141 U+6161 U+6161: in LE bytes 41 61 61 61 61 61, "慡慡" first at an odd byte.
      {"bytes of the find text inside other units", "慁慡慡 a慡慡", "慡慡", "x", {}},
      {"a literal found unit for unit",
       emoji + "мир " + std::string(70, 'z') + "мир",
       "мир",
       "中" + emoji,
       {}},
  };
  for (const bool big : {false, true}) {
    for (const std::size_t chunk : {std::size_t{5}, std::size_t{16}, ChunkSize}) {
      for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.name) + (big ? ", big-endian" : ", little-endian") +
                     ", pieces of " + std::to_string(chunk));
        const MatchOptions o = matching(k.find, k.replace, k.options);
        const std::string utf8 = tree.write("a.txt", k.text);
        const std::string utf16 = tree.write("b.txt", marked(k.text, big));
        const testing_support::RecordedRun a = testing_support::Record(setup(utf8, o, chunk));
        const testing_support::RecordedRun b = testing_support::Record(setup(utf16, o, chunk));
        ASSERT_EQ(a.items.size(), 1u);
        ASSERT_EQ(b.items.size(), 1u);
        EXPECT_EQ(b.items[0].kind, a.items[0].kind) << testing_support::Verdict(b);
        EXPECT_EQ(b.items[0].replacements, a.items[0].replacements);
        EXPECT_EQ(readFile(utf16), marked(readFile(utf8), big));
      }
    }
  }
}

// A plan of a UTF-16 file lists its occurrences on the lines and columns of the same text in
// UTF-8 (with its mark), and shows the same lines and hunks.
TEST_F(Utf16Test, PlansAndShowsAsTheSameTextInUtf8) {
  std::string text = "\xEF\xBB\xBF";  // U+FEFF, which the UTF-16 mark reads as
  for (int line = 1; line <= 12; ++line) {
    text += "строка " + std::to_string(line) + (line % 5 == 2 ? " 😀 Ъ" : "") +
            (line == 6 ? " Ъ\r\n" : "\r\n");
  }
  const std::string body = text.substr(3);
  const MatchOptions o = matching("ъ", "Ж\nЖ", {.ignoreCase = true});
  const std::string utf8 = tree.write("a.txt", text);
  const Plan a = testing_support::PlanOf(setup(utf8, o, ChunkSize));
  ASSERT_EQ(a.files.size(), 1u);
  const Showing showing(o, *platform::CodePage::byName("CP1251"));
  auto shown = [&](const PlannedFile& file) {
    std::string out;
    ShownFile opened(file);
    const ShownTexts texts = showing.textsFor(file);
    for (std::size_t i = 0; i < file.occurrences.size(); ++i) {
      const Occurrence& occurrence = file.occurrences[i];
      out += std::to_string(occurrence.line) + ":" + std::to_string(occurrence.column) + " ";
      const ShownLine line = ShowLine(opened, file, i, texts, 200);
      out += line.before + "[" + line.found + "|" + line.replacement + "]" + line.after + "\n";
    }
    ForEachHunk(opened, file, texts, 1, [&](const DiffHunk& hunk) {
      out += hunk.header() + "\n";
      for (const DiffLine& line : hunk.lines) out += line.sign + std::string(line.text);
    });
    return out;
  };
  const std::string expected = shown(*a.files[0]);
  // As diff -U1 has them: changes more than two lines apart in hunks of their own.
  for (const char* header : {"@@ -1,3 +1,4 @@\n", "@@ -5,4 +6,6 @@\n", "@@ -11,2 +14,3 @@\n"}) {
    EXPECT_NE(expected.find(header), std::string::npos) << header << " in\n" << expected;
  }
  for (const bool big : {false, true}) {
    const std::string utf16 = tree.write(big ? "be.txt" : "le.txt", marked(body, big));
    const Plan b = testing_support::PlanOf(setup(utf16, o, 7));
    ASSERT_EQ(b.files.size(), 1u);
    EXPECT_EQ(shown(*b.files[0]), expected) << (big ? "big-endian" : "little-endian");
  }
}

// A file that is not UTF-16 after its mark is refused and left as it was.
TEST_F(Utf16Test, BrokenUtf16IsRefusedWithErrorFive) {
  const std::string bytes =
      marked("мир ", false) + std::string("\x3D\xD8", 2) + toUtf16("мир", false);
  const std::string path = tree.write("a.txt", bytes);
  const testing_support::RecordedRun r =
      testing_support::Record(setup(path, matching("мир", "земля", {}), ChunkSize));
  EXPECT_TRUE(testing_support::Verdict(r).starts_with("Error 5 ")) << testing_support::Verdict(r);
  EXPECT_EQ(readFile(path), bytes);
}

}  // namespace
}  // namespace engine
