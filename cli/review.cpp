#include "cli/review.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <vector>

#include "cli/confirmation.h"
#include "cli/words.h"
#include "engine/text/utf8.h"
#include "words/errors.h"
#include "words/run_lines.h"
#include "words/texts.h"

namespace cli {
namespace {

constexpr char kRed[] = "\033[31m";
constexpr char kGreen[] = "\033[32m";
constexpr char kCyan[] = "\033[36m";
constexpr char kBold[] = "\033[1m";
constexpr char kReset[] = "\033[m";

void put(std::FILE* out, std::string_view text) { std::fwrite(text.data(), 1, text.size(), out); }

// A line of the diff, coloured by its sign.
void putLine(std::string& out, const engine::DiffLine& line, bool colour, ScreenLines& lines) {
  const char* paint = line.sign == '-' ? kRed : line.sign == '+' ? kGreen : nullptr;
  if (colour && paint != nullptr) out += paint;
  out += line.sign;
  if (lines.terminal()) {
    out += lines(line.text);
  } else {
    out += line.text;
  }
  if (colour && paint != nullptr) out += kReset;
  if (line.lastWithoutBreak) out += "\n\\ No newline at end of file\n";
}

// The length of the UTF-8 sequence that `lead` begins, or 1 for a byte that begins none.
std::size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 1;
}

// A byte of a name in a quoted diff path, as git's quote_c_style writes it.
std::string quotedByte(unsigned char u) {
  static const char* const kNamed = "abtnvfr";
  char escaped[5];
  if (u == '"' || u == '\\') {
    escaped[0] = '\\';
    escaped[1] = static_cast<char>(u);
    escaped[2] = '\0';
  } else if (u >= 7 && u <= 13) {
    std::snprintf(escaped, sizeof escaped, "\\%c", kNamed[u - 7]);
  } else {
    std::snprintf(escaped, sizeof escaped, "\\%03o", u);
  }
  return escaped;
}

}  // namespace

std::string ScreenLines::operator()(std::string_view text) {
  if (!m_terminal) return std::string(text);
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t from = 0; from < text.size();) {
    const std::size_t end = std::min(text.find_first_of("\t\n", from), text.size());
    std::size_t kept = end;  // where the bytes that stay as they are begin
    if (end < text.size() && text[end] == '\n' && end > from && text[end - 1] == '\r') --kept;
    // A tab stays: it only moves the cursor on to a column the next character then shows, so
    // it can hide nothing, and lines of a diff are full of them.
    const std::string_view piece = text.substr(from, kept - from);
    const std::string escaped = words::ShownPath(piece);
    if (escaped != piece) m_escaped = true;
    shown += escaped;
    const std::size_t next = std::min(end + 1, text.size());
    shown.append(text.substr(kept, next - kept));
    from = next;
  }
  return shown;
}

void ScreenLines::noteOnce() {
  if (!m_escaped || m_noted) return;
  m_noted = true;
  std::fflush(stdout);
  std::fprintf(stderr, "tarvel-cli: %s\n", text::kEscapedInShownLines);
}

bool UseColour(const std::string& when, int fd) {
  if (when == "always") return true;
  if (when == "never") return false;
  const char* noColour = std::getenv("NO_COLOR");
  if (noColour != nullptr && *noColour != '\0') return false;
  return isatty(fd) != 0;
}

std::string DiffPath(const std::string& path) {
  std::string shown = path;
  // The command's folder, which it never leaves.
  static const std::string here = [] {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return std::string();
    return std::string(cwd) == "/" ? std::string("/") : std::string(cwd) + "/";
  }();
  if (!here.empty() && shown.starts_with(here)) shown.erase(0, here.size());
  while (shown.starts_with("./")) shown.erase(0, 2);
  if (shown.starts_with("/")) shown.erase(0, 1);
  // GNU patch takes a name to end at a tab or at its last space, and git quotes none of
  // these: quoted, both read the name back exactly.
  bool quote = shown.starts_with(' ') || shown.ends_with(' ');
  std::string quoted;
  for (std::size_t i = 0; i < shown.size();) {
    const auto u = static_cast<unsigned char>(shown[i]);
    if (u == '"' || u == '\\' || u < 0x20 || u == 0x7f) {
      quoted += quotedByte(u);
      quote = true;
      ++i;
      continue;
    }
    const std::size_t length = std::min(sequenceLength(u), shown.size() - i);
    const std::string_view character = std::string_view(shown).substr(i, u < 0x80 ? 1 : length);
    if (words::ShownPath(character) == character) {
      quoted += character;
      i += character.size();
      continue;
    }
    // A byte that is not UTF-8, a C1 control or a direction control: git's octal escapes, byte
    // by byte, so that the patch names the file exactly and a terminal showing it obeys none.
    quoted += quotedByte(u);
    quote = true;
    ++i;
  }
  return quote ? "\"" + quoted + "\"" : shown;
}

void PrintDiff(std::FILE* out, const engine::PlannedFile& plan, const engine::Showing& showing,
               bool colour, ScreenLines& lines, int openFile) {
  const engine::ShownTexts texts = showing.textsFor(plan);
  engine::ShownFile file = openFile >= 0 ? engine::ShownFile(plan, openFile)
                                         : engine::ShownFile(plan);
  const std::string path = DiffPath(plan.path);
  // A name with a space ends at a tab, where patch looks for its end, as git writes it.
  const auto a = [&](const char* side) {
    if (path.starts_with('"')) return "\"" + std::string(side) + path.substr(1);
    return std::string(side) + path + (path.find(' ') != std::string::npos ? "\t" : "");
  };
  if (plan.kind != engine::FileKind::Utf8) {
    put(out, text::DiffEncodingLine(words::KindName(plan.kind, showing.page().name())) + "\n");
  }
  if (colour) std::fputs(kBold, out);
  put(out, "--- " + a("a/") + "\n+++ " + a("b/") + "\n");
  if (colour) std::fputs(kReset, out);
  engine::ForEachHunk(file, plan, texts, 3, [&](const engine::DiffHunk& hunk) {
    if (colour) std::fputs(kCyan, out);
    put(out, hunk.header());
    if (colour) std::fputs(kReset, out);
    std::fputc('\n', out);
    // The hunk's lines in one write.
    static thread_local std::string text;
    text.clear();
    for (const engine::DiffLine& line : hunk.lines) putLine(text, line, colour, lines);
    put(out, text);
  });
}

void PrintDiff(std::FILE* out, const engine::PlannedFile& plan, const engine::Showing& showing,
               bool colour, int openFile) {
  ScreenLines lines(isatty(fileno(out)) != 0);
  PrintDiff(out, plan, showing, colour, lines, openFile);
  lines.noteOnce();
}

engine::RunItem DiffingPlans::apply(const engine::FileRef& file,
                                    const engine::Conversion& conversion,
                                    engine::FileOutcome& found) const {
  // Held whole until its turn: at most this much of a file's diff.
  constexpr std::uint64_t kHeldFile = 4 << 20;
  engine::RunItem item = engine::PlanFiles().apply(file, conversion, found);
  if (!item.plan || item.plan->identity.size > kHeldFile) return item;
  char* bytes = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&bytes, &size);
  if (out == nullptr) return item;
  ScreenLines lines(m_terminal);
  bool made = true;
  try {
    PrintDiff(out, *item.plan, m_showing, m_colour, lines);
  } catch (const platform::Error&) {
    made = false;  // shown again in its turn, which fails as this did, and reported there
  }
  const bool closed = std::fclose(out) == 0;
  if (made && closed && bytes != nullptr) item.shown.assign(bytes, size);
  std::free(bytes);
  if (lines.escaped()) m_escaped = true;
  return item;
}

PlanReport::PlanReport(Report& report, Progress& progress, const engine::Showing& showing,
                       bool diff, bool colour, engine::Plan* keep, const DiffingPlans* diffing)
    : m_report(report),
      m_progress(progress),
      m_showing(showing),
      m_diff(diff),
      m_colour(colour),
      m_keep(keep),
      m_diffing(diffing),
      m_lines(isatty(STDOUT_FILENO) != 0) {}

void PlanReport::item(const engine::RunItem& item) {
  if (!item.plan) {
    m_report.item(item);
    return;
  }
  if (m_diff) {
    m_progress.clear();
    try {
      if (!item.shown.empty()) {
        put(stdout, item.shown);
        if (m_diffing != nullptr && m_diffing->escaped()) m_lines.escapedElsewhere();
      } else {
        PrintDiff(stdout, *item.plan, m_showing, m_colour, m_lines);
      }
      m_lines.noteOnce();
    } catch (const platform::Error& e) {
      // Changed since it was planned: applying it would leave it too, and say so then.
      m_report.item(engine::RunItem::FromError(item.path, e));
      ++m_failedToShow;
      return;
    }
  }
  if (m_keep != nullptr) {
    m_keep->files.push_back(item.plan);
  } else {
    m_report.item(item);
  }
}

namespace {

Answer ask() {
  for (;;) {
    std::fputs(text::kReplaceQuestion, stderr);
    std::fflush(stderr);
    if (const auto answer = ReplaceAnswer(readAnswer())) return *answer;
    std::fputs(text::kReplaceQuestionHelp, stderr);
  }
}

void show(const engine::PlannedFile& plan, std::size_t i, const engine::ShownOccurrence& shown,
          bool colour, ScreenLines& lines, const PairsShown& pairs) {
  // Line breaks as the terminal wants them, and nothing that could move its cursor.
  const auto forScreen = [&](const std::string& text) { return lines(forTerminal(text)); };
  const engine::Occurrence& o = plan.occurrences[i];
  std::string heading = text::OccurrenceHeading(words::ShownPath(plan.path), o.line, o.column,
                                                i + 1, plan.occurrences.size());
  if (pairs.pairs != nullptr && i < plan.pairs.size() && plan.pairs[i] < pairs.pairs->size()) {
    heading += "  " + text::PairShownText((*pairs.pairs)[plan.pairs[i]], pairs.fromFile);
  }
  std::string found = forScreen(shown.found);
  std::string replacement = forScreen(shown.replacement);
  if (colour) {
    heading = kBold + heading + kReset;
    found = kRed + found + kReset;
    replacement = kGreen + replacement + kReset;
  } else {
    found = "[-" + found + "-]";
    replacement = "{+" + replacement + "+}";
  }
  std::string after = forScreen(shown.after);
  if (after.empty() || after.back() != '\n') after += '\n';
  put(stderr, "\n" + heading + "\n" + forScreen(shown.before) + found + replacement + after);
  lines.noteOnce();
}

}  // namespace

std::optional<Answer> ReplaceAnswer(const std::string& typed) {
  const auto first = typed.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::nullopt;
  const auto last = typed.find_last_not_of(" \t\r\n");
  const std::string text = typed.substr(first, last - first + 1);
  if (!engine::utf8::isValid(text)) return std::nullopt;
  // Either case, Latin or Cyrillic; "д"/"да" and "н"/"нет" as the last question takes them.
  const std::string word = engine::utf8::fold(text);
  if (word == "y" || word == "yes" || word == "д" || word == "да") return Answer::Yes;
  if (word == "n" || word == "no" || word == "н" || word == "нет") return Answer::No;
  if (word == "a") return Answer::RestOfFile;
  if (word == "d") return Answer::NoneOfFile;
  if (word == "q") return Answer::Quit;
  return std::nullopt;
}

void AskAboutEach(engine::Plan& plan, const engine::Showing& showing, bool colour,
                  const PairsShown& pairs) {
  bool quit = false;
  ScreenLines lines(true);
  for (const auto& file : plan.files) {
    auto& accepted = file->accepted;
    if (quit) {
      accepted.assign(accepted.size(), false);
      continue;
    }
    std::optional<engine::ShownFile> opened;
    try {
      opened.emplace(*file);
    } catch (const platform::Error& e) {
      std::fprintf(stderr, "%s\n",
                   words::TerminalLine(engine::RunItem::FromError(file->path, e), {}, false)
                       .c_str());
      accepted.assign(accepted.size(), false);
      continue;
    }
    const engine::ShownTexts texts = showing.textsFor(*file);
    std::optional<bool> rest;  // a or d: the rest of this file without asking
    for (std::size_t i = 0; i < accepted.size(); ++i) {
      if (quit) {
        accepted[i] = false;
        continue;
      }
      if (rest) {
        accepted[i] = *rest;
        continue;
      }
      show(*file, i, engine::ShowOccurrence(*opened, *file, i, texts, 3), colour, lines, pairs);
      switch (ask()) {
        case Answer::Yes: accepted[i] = true; break;
        case Answer::No: accepted[i] = false; break;
        case Answer::RestOfFile: rest = true; accepted[i] = true; break;
        case Answer::NoneOfFile: rest = false; accepted[i] = false; break;
        case Answer::Quit: quit = true; accepted[i] = false; break;
      }
    }
  }
}

}  // namespace cli
