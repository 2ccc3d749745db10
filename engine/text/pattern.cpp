#include "engine/text/pattern.h"

#include <string.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <ctime>
#include <type_traits>
#include <utility>

#include "engine/text/pairs.h"
#include "engine/text/pattern_source.h"
#include "engine/text/required_literal.h"
#include "engine/text/utf8.h"
#include "platform/error.h"

namespace engine {
namespace {

using platform::Error;
using platform::Step;
using platform::Why;

static_assert(std::is_same_v<pcre2_code, pcre2_real_code_8>);
static_assert(std::is_same_v<pcre2_match_data, pcre2_real_match_data_8>);
// A run keeps its pattern and each thread its matcher: both move, matchers with their patterns.
static_assert(std::is_nothrow_move_constructible_v<Pattern>);
static_assert(std::is_nothrow_move_constructible_v<Matcher>);

// PCRE2's English words for `code`.
std::string messageOf(int code) {
  PCRE2_UCHAR buffer[256];
  const int length = pcre2_get_error_message(code, buffer, sizeof buffer);
  if (length < 0) return "PCRE2 error " + std::to_string(code);
  return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

// PCRE2's error `code`, for words/ to tell: its number, and its English words for a code that
// has no words there.
Error badPattern(int code) {
  return Error(platform::kBadPattern, Step::None, Why::BadPattern)
      .about(std::to_string(code))
      .with(messageOf(code));
}

std::int64_t nanoseconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// The cheap clock the watch looks at between searches: read in user space, to a few ms.
std::int64_t coarseNow() { return nanoseconds(CLOCK_MONOTONIC_COARSE); }

// What PCRE2 calls at each place a watched search tries.
int onPlaceTried(pcre2_callout_block*, void* watch) {
  return static_cast<SearchWatch*>(watch)->checkQuietly() ? 0 : PCRE2_ERROR_CALLOUT;
}

}  // namespace

namespace pcre {

void Free::operator()(pcre2_code* code) const { pcre2_code_free(code); }
void Free::operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
void Free::operator()(pcre2_match_context* context) const { pcre2_match_context_free(context); }
void Free::operator()(pcre2_jit_stack* stack) const { pcre2_jit_stack_free(stack); }

}  // namespace pcre

// Pattern

Pattern::Pattern(pcre::Owned<pcre2_code> code, std::string_view pattern) : m_code(std::move(code)) {
  pcre2_pattern_info(m_code.get(), PCRE2_INFO_CAPTURECOUNT, &m_groups);
  std::uint32_t newline = 0;
  pcre2_pattern_info(m_code.get(), PCRE2_INFO_NEWLINE, &newline);
  m_crlfIsOnePlace = newline != PCRE2_NEWLINE_CR && newline != PCRE2_NEWLINE_LF;
  // How far back a search may look: PCRE2 knows the longest single lookbehind, in characters;
  // nested ones add up, and there are no more of them than opening parentheses. \b and the
  // like look at one character, CR LF at two. Any \G (read as an escape wherever it stands,
  // \Q...\E included, to be safe) ties a search to its place in the whole text.
  std::uint32_t longest = 0;
  pcre2_pattern_info(m_code.get(), PCRE2_INFO_MAXLOOKBEHIND, &longest);
  std::size_t groups = 1;
  bool g = false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '(') ++groups;
    if (pattern[i] == '\\' && i + 1 < pattern.size()) g |= pattern[++i] == 'G';
  }
  constexpr std::size_t kMost = 16 << 20;
  const std::size_t characters = static_cast<std::size_t>(longest) * groups + 2;
  if (!g && characters < kMost / 4) m_lookBehind = 4 * characters;
  std::uint32_t options = 0;
  pcre2_pattern_info(m_code.get(), PCRE2_INFO_ALLOPTIONS, &options);
  m_anchored = (options & PCRE2_ANCHORED) != 0;
  // A mark changes no match: only the other verbs keep a search from going a stretch at a time.
  bool verbs = false;
  for (std::size_t at = pattern.find("(*"); at != std::string_view::npos && !verbs;
       at = pattern.find("(*", at + 2)) {
    verbs = pattern.substr(at, 7) != "(*MARK:";
  }
  m_quick = !g && !verbs;
  constexpr std::uint32_t kChangesLiterals =
      PCRE2_CASELESS | PCRE2_DOTALL | PCRE2_EXTENDED | PCRE2_EXTENDED_MORE | PCRE2_LITERAL;
  if (m_quick && !m_anchored && (options & kChangesLiterals) == 0 &&
      pattern.find("(*") == std::string_view::npos) {
    m_literal = RequiredLiteral(pattern);
  }
}

Pattern Pattern::Compile(std::string_view pattern, PatternOptions options) {
  const std::unique_ptr<pcre2_compile_context, void (*)(pcre2_compile_context*)> context(
      pcre2_compile_context_create(nullptr), pcre2_compile_context_free);
  if (context == nullptr) throw platform::outOfMemory();
  pcre2_set_newline(context.get(), PCRE2_NEWLINE_ANYCRLF);
  std::uint32_t flags = PCRE2_UTF | PCRE2_UCP | PCRE2_NEVER_BACKSLASH_C;
  // The quick search takes its stretches with PCRE2's offset limit.
  const std::uint32_t quick = PCRE2_USE_OFFSET_LIMIT;
  if (options.ignoreCase) flags |= PCRE2_CASELESS;
  int code = 0;
  PCRE2_SIZE at = 0;
  pcre::Owned<pcre2_code> compiled(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()),
                                                 pattern.size(), flags | quick, &code, &at,
                                                 context.get()));
  if (compiled == nullptr) {
    if (code == PCRE2_ERROR_HEAP_FAILED) throw platform::outOfMemory();
    throw badPattern(code).at(CharacterAt(pattern, at), false);
  }
  // Without the JIT (a processor it does not know, a system that refuses executable memory)
  // the interpreter matches alike, only slower.
  pcre2_jit_compile(compiled.get(), PCRE2_JIT_COMPLETE | PCRE2_JIT_PARTIAL_HARD);
  Pattern made(std::move(compiled), pattern);
  // The watched pattern: a callout (that always lets the search go on, so matches the same)
  // before the first branch, which every place tried begins with.
  std::string watched(pattern.substr(0, LeadingItemsEnd(pattern)));
  watched += "(?C)";
  watched += pattern.substr(watched.size() - 4);
  made.m_watched.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(watched.data()), watched.size(),
                                     flags, &code, &at, context.get()));
  if (made.m_watched != nullptr) {
    pcre2_jit_compile(made.m_watched.get(), PCRE2_JIT_COMPLETE | PCRE2_JIT_PARTIAL_HARD);
  }
  return made;
}

std::vector<std::uint32_t> Pattern::groupsNamed(std::string_view name) const {
  std::vector<std::uint32_t> numbers;
  const std::string terminated(name);
  PCRE2_SPTR first = nullptr;
  PCRE2_SPTR last = nullptr;
  const int entrySize = pcre2_substring_nametable_scan(
      m_code.get(), reinterpret_cast<PCRE2_SPTR>(terminated.c_str()), &first, &last);
  if (entrySize <= 0) return numbers;
  // Each entry begins with the group's number, two bytes, the high one first.
  for (PCRE2_SPTR entry = first; entry <= last; entry += entrySize) {
    numbers.push_back(static_cast<std::uint32_t>(entry[0]) << 8 | entry[1]);
  }
  return numbers;
}

// SearchWatch

SearchWatch::SearchWatch(const EventPump& pump, const SearchBudget& budget, std::uint64_t bytes)
    : m_pump(pump) {
  const auto allowed = std::chrono::duration<double, std::nano>(budget.base) +
                       std::chrono::duration<double, std::nano>(budget.perMiB) *
                           (static_cast<double>(bytes) / (1 << 20));
  const auto floor = std::chrono::nanoseconds(kEvery).count();
  m_budget = std::max(floor, static_cast<std::int64_t>(std::min(allowed.count(), 9e18)));
  m_began = coarseNow();
  m_beganCpu = nanoseconds(CLOCK_THREAD_CPUTIME_ID);
  m_next = m_began + floor;
}

bool SearchWatch::due() const noexcept { return coarseNow() >= m_next; }

void SearchWatch::tick() {
  const std::int64_t now = coarseNow();
  m_next = now + std::chrono::nanoseconds(kEvery).count();
  if (m_pump) m_pump();
  // The clock first, cheaply; then the thread's own time, which a busy machine does not add to.
  if (now - m_began >= m_budget && nanoseconds(CLOCK_THREAD_CPUTIME_ID) - m_beganCpu >= m_budget) {
    throw Error(platform::kTooComplex, Step::None, Why::SearchTooLong);
  }
}

bool SearchWatch::checkQuietly() noexcept {
  if (m_held) return false;
  try {
    check();
    return true;
  } catch (...) {
    m_held = std::current_exception();
    return false;
  }
}

void SearchWatch::raiseHeld() {
  std::exception_ptr held = std::move(m_held);
  m_held = nullptr;
  std::rethrow_exception(held);
}

// Matcher

Matcher::Matcher(const Pattern& pattern)
    : m_code(pattern.m_code.get()),
      m_watched(pattern.m_watched != nullptr ? pattern.m_watched.get() : pattern.m_code.get()),
      m_crlfIsOnePlace(pattern.m_crlfIsOnePlace),
      m_quickPattern(pattern.m_quick),
      m_windows(pattern.m_quick && !pattern.m_anchored),
      m_literal(pattern.m_literal),
      m_data(pcre2_match_data_create_from_pattern(pattern.m_code.get(), nullptr)),
      m_context(pcre2_match_context_create(nullptr)),
      m_quick(pcre2_match_context_create(nullptr)),
      m_stack(pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr)) {
  if (m_data == nullptr || m_context == nullptr || m_quick == nullptr || m_stack == nullptr) {
    throw platform::outOfMemory();
  }
  pcre2_set_match_limit(m_context.get(), kMatchLimit);
  pcre2_set_match_limit(m_quick.get(), kQuickLimit);
  for (pcre2_match_context* context : {m_context.get(), m_quick.get()}) {
    pcre2_set_depth_limit(context, kDepthLimit);
    pcre2_set_heap_limit(context, kHeapLimitKiB);
    // The stack is this matcher's alone: the JIT's matches write on it.
    pcre2_jit_stack_assign(context, nullptr, m_stack.get());
  }
  m_ovector = pcre2_get_ovector_pointer(m_data.get());
}

void Matcher::watch(SearchWatch* watch) {
  m_watch = watch;
  pcre2_set_callout(m_context.get(), watch != nullptr ? onPlaceTried : nullptr, watch);
}

void Matcher::start(std::string_view text, bool more) {
  m_text = {};
  m_from = 0;
  m_options = 0;
  m_last[0] = m_last[1] = m_last[2] = PCRE2_UNSET;
  m_set = 0;
  m_done = false;
  m_cut = false;
  m_slow = !m_quickPattern;
  extend(text, 0, more);
}

void Matcher::extend(std::string_view text, std::size_t dropped, bool more) {
  const std::size_t checked = m_text.size() - dropped;
  bool high = false;
  const std::size_t valid =
      checked + utf8::validPrefix(text.data() + checked, text.size() - checked, high);
  if (valid != text.size()) {
    m_done = true;
    m_set = 0;
    throw Error(platform::kBadCharacter, Step::None, Why::BadUtf8At).at(valid + 1, false);
  }
  m_text = text;
  m_from -= dropped;
  for (std::size_t& last : m_last) {
    if (last != PCRE2_UNSET) last = last >= dropped ? last - dropped : PCRE2_UNSET;
  }
  m_cut |= dropped > 0;
  m_more = more;
  m_needsMore = false;
  m_set = 0;
}

// The same steps as pcre2_substitute's global loop, so that a replacement here gives what
// PCRE2's own would.
//
// While more text may follow, PCRE2 says when the text's end was reached in the middle of what
// could be a match (PCRE2_PARTIAL_HARD: also where `$`, `\z` or `\b` stand at the end, and
// where an empty match at the end could have grown); then the same search is made again once
// more text is there. No match ends at the end of the text given: the character after it may
// decide whole words.
bool Matcher::next() {
  const std::size_t size = m_text.size();
  const std::uint32_t partial =
      (m_more ? PCRE2_PARTIAL_HARD : 0u) | (m_cut ? PCRE2_NOTBOL : 0u) | PCRE2_NO_UTF_CHECK;
  m_needsMore = false;
  const auto wantMore = [this] {
    m_needsMore = true;
    m_set = 0;
    return false;
  };
  while (!m_done) {
    const int rc = search(m_options | partial);
    if (rc == PCRE2_ERROR_PARTIAL) {
      // Nothing before the place the partial match began can match: a free search (not tied to
      // its place) goes on from there.
      if (m_options == 0 && m_ovector[0] > m_from && m_ovector[0] <= size) {
        m_from = m_ovector[0];
      }
      return wantMore();
    }
    if (rc == PCRE2_ERROR_NOMATCH) {
      if (m_options == 0 && m_more) {
        // No match, whole or partial, begins anywhere from here to the end: the search goes
        // on at the end, or at a CR there, which an LF after it may join.
        m_from = size;
        if (size > 0 && m_text[size - 1] == '\r' && m_crlfIsOnePlace) m_from = size - 1;
        return wantMore();
      }
      // After an empty match nothing but another empty one was there: move on a character
      // and search freely again.
      if (m_options == 0) break;
      if (m_more && m_from + 1 >= size) return wantMore();
      if (m_from >= size) break;
      ++m_from;
      if (m_text[m_from - 1] == '\r' && m_crlfIsOnePlace && m_from < size &&
          m_text[m_from] == '\n') {
        ++m_from;
      } else {
        while (m_from < size && (static_cast<unsigned char>(m_text[m_from]) & 0xC0) == 0x80) {
          ++m_from;
        }
      }
      m_options = 0;
      continue;
    }
    if (rc < 0) {
      m_done = true;
      m_set = 0;
      switch (rc) {
        case PCRE2_ERROR_MATCHLIMIT:
        case PCRE2_ERROR_DEPTHLIMIT:
        case PCRE2_ERROR_HEAPLIMIT:
        case PCRE2_ERROR_JIT_STACKLIMIT:
          throw Error(platform::kTooComplex, Step::None, Why::PatternTooComplex)
              .with(messageOf(rc));
        case PCRE2_ERROR_NOMEMORY:
          throw platform::outOfMemory();
        default:
          throw badPattern(rc);
      }
    }
    const std::size_t begin = m_ovector[0];
    const std::size_t end = m_ovector[1];
    // \K may end a match before it begins (PCRE2 refuses \K in lookarounds, which alone could
    // begin one before the search).
    if (end < begin || begin < m_from) {
      m_done = true;
      m_set = 0;
      throw badPattern(PCRE2_ERROR_BADSUBSPATTERN);
    }
    if (begin == m_last[0] && end == m_last[1]) {
      // The same empty match again, found from the place where the last one ended: now only
      // a match that is not empty will do. (A search from there may well find another one:
      // a lookbehind on \G, say.)
      if (begin == end && m_last[2] != m_from) {
        m_options = PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED;
        m_last[2] = m_from;
        continue;
      }
      m_done = true;
      m_set = 0;
      throw badPattern(PCRE2_ERROR_INTERNAL_DUPMATCH);
    }
    if (m_more && end >= size) return wantMore();
    m_set = rc == 0 ? pcre2_get_ovector_count(m_data.get()) : static_cast<std::uint32_t>(rc);
    m_last[0] = begin;
    m_last[1] = end;
    m_last[2] = m_from;
    m_options = begin != end || begin > m_from ? 0 : PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED;
    m_from = end;
    return true;
  }
  m_done = true;
  m_set = 0;
  return false;
}

// One search from m_from. Quickly, a stretch at a time, while no place needs more than
// kQuickLimit steps; then watched, to the end, each place tried with kMatchLimit steps (and the
// text goes on so: its places are likely to be as slow).
int Matcher::search(std::uint32_t options) {
  const auto* subject = reinterpret_cast<PCRE2_SPTR>(m_text.data());
  const std::size_t size = m_text.size();
  std::size_t from = m_from;
  const auto check = [this] {
    if (m_watch == nullptr) return;
    try {
      m_watch->check();
    } catch (...) {
      m_done = true;
      m_set = 0;
      throw;
    }
  };
  const bool free = (options & PCRE2_ANCHORED) == 0;
  while (!m_slow) {
    // A quick search takes a small part of a second at most, most far less: the clock is
    // looked at every few.
    if ((++m_searches & 7) == 0) check();
    std::size_t limit = PCRE2_UNSET;
    if (free && !m_literal.empty() && !narrow(from, limit)) return PCRE2_ERROR_NOMATCH;
    if (m_windows && free && size - from > kWindow &&
        (limit == PCRE2_UNSET || limit - from > kWindow)) {
      limit = from + kWindow;
      // Never between CR and LF: PCRE2 decides there whether a search may begin at the LF.
      if (m_text[limit] == '\r' && limit + 1 < size && m_text[limit + 1] == '\n') ++limit;
    }
    pcre2_set_offset_limit(m_quick.get(), limit);
    const int rc = pcre2_match(m_code, subject, size, from, options, m_data.get(), m_quick.get());
    if (rc == PCRE2_ERROR_MATCHLIMIT) {
      m_slow = true;
      break;
    }
    if (rc != PCRE2_ERROR_NOMATCH || limit == PCRE2_UNSET) return rc;
    // Nothing begins in the stretch; what begins after it is as the whole search finds it, as
    // no place's search depends on where the whole one began.
    from = limit + 1;
    while (from < size && (static_cast<unsigned char>(m_text[from]) & 0xC0) == 0x80) ++from;
  }
  check();
  const int rc =
      pcre2_match(m_watched, subject, size, from, options, m_data.get(), m_context.get());
  if (rc == PCRE2_ERROR_CALLOUT && m_watch != nullptr && m_watch->m_held) {
    m_done = true;
    m_set = 0;
    m_watch->raiseHeld();
  }
  return rc;
}

bool Matcher::narrow(std::size_t& from, std::size_t& limit) const {
  const std::string_view text = m_text;
  if (from >= text.size()) return m_more;
  const void* hit =
      memmem(text.data() + from, text.size() - from, m_literal.data(), m_literal.size());
  if (hit == nullptr) {
    // Without the literal, only a match that goes on into the text to come can begin: on the
    // last line.
    if (!m_more) return false;
    const void* lastBreak = memrchr(text.data() + from, '\n', text.size() - from);
    if (lastBreak != nullptr)
      from = static_cast<std::size_t>(static_cast<const char*>(lastBreak) - text.data()) + 1;
    return true;
  }
  const auto found = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
  // A match holds no line feed: it lies on the literal's line.
  if (const void* lineBreak = memrchr(text.data() + from, '\n', found - from)) {
    from = static_cast<std::size_t>(static_cast<const char*>(lineBreak) - text.data()) + 1;
  }
  const std::size_t end = text.find('\n', found + m_literal.size());
  limit = end == std::string_view::npos ? PCRE2_UNSET : end;
  return true;
}

std::uint32_t Matcher::mark() const {
  if (m_set == 0) return kNoMark;
  const PCRE2_SPTR mark = pcre2_get_mark(m_data.get());
  if (mark == nullptr) return kNoMark;
  return PairOfMark(reinterpret_cast<const char*>(mark)).value_or(kNoMark);
}

std::size_t Matcher::offset() const { return m_set > 0 ? m_ovector[0] : 0; }

std::size_t Matcher::length() const { return m_set > 0 ? m_ovector[1] - m_ovector[0] : 0; }

bool Matcher::groupSet(std::uint32_t n) const {
  return n < m_set && m_ovector[2 * n] != PCRE2_UNSET;
}

std::string_view Matcher::group(std::uint32_t n) const {
  if (!groupSet(n)) return {};
  return m_text.substr(m_ovector[2 * n], m_ovector[2 * n + 1] - m_ovector[2 * n]);
}

std::uint32_t CompiledPattern::pairOf(const Matcher& matcher) const {
  if (pairReplacements.empty()) return 0;
  const std::uint32_t pair = matcher.mark();
  // Every branch of the expression ends in its mark: a match without one is PCRE2's fault.
  if (pair >= pairReplacements.size()) throw badPattern(PCRE2_ERROR_INTERNAL);
  return pair;
}

std::unique_ptr<CompiledPattern> CompiledPattern::ForPairs(const MatchOptions& o) {
  const bool caseless = !o.caseSensitive;
  std::vector<ReplacementTemplate> each;
  std::vector<bool> breaks;
  each.reserve(o.pairs.size());
  const Pattern plain = Pattern::Compile("x");  // a literal replacement names no group
  for (const Pair& p : o.pairs) {
    breaks.push_back(!o.exactLineBreaks && p.replace.find('\n') != std::string::npos);
    if (o.regex) {
      // Each pair read on its own: a bad pattern or reference is told as typed, and the groups
      // a replacement names are its own pair's (the branches number theirs each from 1).
      const Pattern alone = Pattern::Compile(p.find, PatternOptions{caseless});
      each.push_back(ReplacementTemplate::Compile(alone, p.replace));
    } else {
      std::string literal;
      for (const char c : p.replace) literal += c == '$' ? std::string("$$") : std::string(1, c);
      each.push_back(ReplacementTemplate::Compile(plain, literal));
    }
  }
  std::shared_ptr<const LiteralPairs> literal;
  if (!o.regex && !o.wholeWords && !o.preserveCase &&
      LiteralPairs::Fit(o.pairs, o.exactLineBreaks)) {
    literal = LiteralPairs::Make(o.pairs, caseless);
  }
  const std::string expression = PairsExpression(o.pairs, o.regex, caseless, o.exactLineBreaks);
  std::vector<std::string> meant;
  if (o.wholeWords) meant.push_back(AsWholeWords(expression, ""));
  meant.push_back(expression);
  // A line break in a lookbehind of a pair fails the whole-word form: the words are then
  // checked by the caller alone.
  std::unique_ptr<CompiledPattern> made;
  for (std::size_t i = 0; i + 1 < meant.size() && !made; ++i) {
    try {
      made = std::make_unique<CompiledPattern>(Pattern::Compile(meant[i], PatternOptions{caseless}),
                                               each, breaks);
    } catch (const Error&) {
    }
  }
  if (!made) {
    try {
      made = std::make_unique<CompiledPattern>(
          Pattern::Compile(meant.back(), PatternOptions{caseless}), each, breaks);
    } catch (const Error& e) {
      // Too many texts for one PCRE2 pattern (64 KiB of compiled code): literal pairs are
      // looked for without it, and only a file that would need it fails, with this reason.
      if (!literal) throw;
      made = std::make_unique<CompiledPattern>(Pattern::Compile("(?!)"), std::move(each),
                                               std::move(breaks));
      made->patternRefused = std::make_shared<const Error>(e);
    }
  }
  made->literalPairs = std::move(literal);
  return made;
}

std::unique_ptr<CompiledPattern> CompiledPattern::For(const MatchOptions& o) {
  const bool caseless = !o.caseSensitive;
  if (!o.pairs.empty()) return ForPairs(o);
  if (o.regex) {
    // The pattern as typed first: a bad one is told in its own characters.
    auto typed = std::make_unique<CompiledPattern>(o.findText, o.replaceText, caseless);
    const std::string_view find = o.findText;
    std::vector<std::string> meant;  // what to compile instead, the first that compiles
    if (!o.exactLineBreaks && !MayBeExtended(find)) {
      std::string either = WithEitherLineBreak(find);
      if (either != find) {
        if (o.wholeWords && !RecursesWhole(find)) {
          meant.push_back(AsWholeWords(either, "\\E"));
          meant.push_back(AsWholeWords(either, "\\E\n"));
        }
        meant.push_back(std::move(either));
      }
    }
    if (o.wholeWords && !RecursesWhole(find)) {
      meant.push_back(AsWholeWords(find, "\\E"));
      meant.push_back(AsWholeWords(find, "\\E\n"));
    }
    // What fails is what a line break makes of a lookbehind, which must have one length; the
    // pattern is then taken with fewer changes (the whole words still checked by the caller).
    for (const std::string& pattern : meant) {
      try {
        return std::make_unique<CompiledPattern>(pattern, o.replaceText, caseless);
      } catch (const Error&) {
      }
    }
    return typed;
  }
  if (o.exactLineBreaks || o.findText.find('\n') == std::string::npos) return nullptr;
  return Literal(o);
}

std::unique_ptr<CompiledPattern> CompiledPattern::Literal(const MatchOptions& o) {
  const bool caseless = !o.caseSensitive;
  // The text as it is, but each line break, CR LF or LF, as either (unless the texts mean their
  // bytes); the replacement as it is.
  std::string pattern;
  std::string part;
  const auto literal = [&] {
    for (const char c : part) {
      if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) pattern += '\\';
      pattern += c;
    }
    part.clear();
  };
  for (std::size_t i = 0; i < o.findText.size(); ++i) {
    const bool breaks = !o.exactLineBreaks;
    if (breaks && o.findText[i] == '\r' && i + 1 < o.findText.size() && o.findText[i + 1] == '\n') {
      continue;
    }
    if (breaks && o.findText[i] == '\n') {
      literal();
      pattern += "(?:\\r\\n|\\n)";
    } else {
      part += o.findText[i];
    }
  }
  literal();
  std::string replacement;
  for (const char c : o.replaceText)
    replacement += c == '$' ? std::string("$$") : std::string(1, c);
  return std::make_unique<CompiledPattern>(pattern, replacement, caseless);
}

}  // namespace engine
