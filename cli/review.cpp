#include "cli/review.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <vector>

#include "cli/confirmation.h"
#include "cli/words.h"
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

void put(std::FILE* out, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), out);
}

// A line of the diff, coloured by its sign.
void putLine(std::FILE* out, const engine::DiffLine& line, bool colour) {
  const char* paint = line.sign == '-' ? kRed : line.sign == '+' ? kGreen : nullptr;
  if (colour && paint != nullptr) std::fputs(paint, out);
  std::fputc(line.sign, out);
  put(out, line.text);
  if (colour && paint != nullptr) std::fputs(kReset, out);
  if (line.lastWithoutBreak) std::fputs("\n\\ No newline at end of file\n", out);
}

// Text of a file for the terminal: line breaks as it wants them, and no control character that
// could move the cursor or change the terminal's state.
std::string forScreen(const std::string& text) {
  std::string out = forTerminal(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') c = '?';
    if (c == '\x7f') c = '?';
  }
  return out;
}

}  // namespace

bool UseColour(const std::string& when, int fd) {
  if (when == "always") return true;
  if (when == "never") return false;
  const char* noColour = std::getenv("NO_COLOR");
  if (noColour != nullptr && *noColour != '\0') return false;
  return isatty(fd) != 0;
}

std::string DiffPath(const std::string& path) {
  std::string shown = path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) != nullptr) {
    const std::string here = std::string(cwd) == "/" ? "/" : std::string(cwd) + "/";
    if (shown.starts_with(here)) shown.erase(0, here.size());
  }
  while (shown.starts_with("./")) shown.erase(0, 2);
  if (shown.starts_with("/")) shown.erase(0, 1);
  bool quote = false;
  std::string quoted;
  for (const char c : shown) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
      quote = true;
    } else if (u < 0x20 || u == 0x7f) {
      static const char* const kNamed = "abtnvfr";
      char escaped[5];
      if (u >= 7 && u <= 13) {
        std::snprintf(escaped, sizeof escaped, "\\%c", kNamed[u - 7]);
      } else {
        std::snprintf(escaped, sizeof escaped, "\\%03o", u);
      }
      quoted += escaped;
      quote = true;
    } else {
      quoted += c;
    }
  }
  return quote ? "\"" + quoted + "\"" : shown;
}

void PrintDiff(std::FILE* out, const engine::PlannedFile& plan, const engine::Showing& showing,
               bool colour, int openFile) {
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
    for (const engine::DiffLine& line : hunk.lines) putLine(out, line, colour);
  });
}

PlanReport::PlanReport(Report& report, Progress& progress, const engine::Showing& showing,
                       bool diff, bool colour, engine::Plan* keep)
    : m_report(report),
      m_progress(progress),
      m_showing(showing),
      m_diff(diff),
      m_colour(colour),
      m_keep(keep) {}

void PlanReport::item(const engine::RunItem& item) {
  if (!item.plan) {
    m_report.item(item);
    return;
  }
  if (m_diff) {
    m_progress.clear();
    try {
      PrintDiff(stdout, *item.plan, m_showing, m_colour);
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

enum class Answer { Yes, No, RestOfFile, NoneOfFile, Quit };

Answer ask() {
  for (;;) {
    std::fputs(text::kReplaceQuestion, stderr);
    std::fflush(stderr);
    const std::string answer = readAnswer();
    const std::string word = answer.substr(0, answer.find_first_of(" \t\r"));
    if (word == "y") return Answer::Yes;
    if (word == "n") return Answer::No;
    if (word == "a") return Answer::RestOfFile;
    if (word == "d") return Answer::NoneOfFile;
    if (word == "q") return Answer::Quit;
    std::fputs(text::kReplaceQuestionHelp, stderr);
  }
}

void show(const engine::PlannedFile& plan, std::size_t i, const engine::ShownOccurrence& shown,
          bool colour) {
  const engine::Occurrence& o = plan.occurrences[i];
  std::string heading = text::OccurrenceHeading(words::ShownPath(plan.path), o.line, o.column,
                                                i + 1, plan.occurrences.size());
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
}

}  // namespace

void AskAboutEach(engine::Plan& plan, const engine::Showing& showing, bool colour) {
  bool quit = false;
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
      show(*file, i, engine::ShowOccurrence(*opened, *file, i, texts, 3), colour);
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
