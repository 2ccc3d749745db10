// Chunk replacement and the binary test, one chunk of generated text at a time, as the
// conversion runs them. Each benchmark checks that it found every occurrence it was given.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/generated_text.h"
#include "engine/text/binary_test.h"
#include "engine/text/match_options.h"
#include "engine/text/replacer.h"
#include "platform/code_page.h"

namespace {

// A few different chunks in turn, so that no one chunk's branches are learnt by heart.
constexpr std::size_t kChunks = 8;

const platform::CodePage& cp1251() {
  static const platform::CodePage page = *platform::CodePage::byName("CP1251");
  return page;
}

struct Chunks {
  std::vector<bench::GeneratedText> chunks;
  std::size_t occurrences = 0;
};

Chunks makeChunks(const std::string& find, bool mixCase) {
  Chunks c;
  for (std::size_t i = 0; i < kChunks; ++i) {
    c.chunks.push_back(bench::generateText(engine::ChunkSize, find, cp1251(), mixCase, i + 1));
    c.occurrences += c.chunks.back().occurrences;
  }
  return c;
}

// Replaces in one chunk after another the way the conversion does: the output buffer is
// reused, the unfinished tail (shorter than the find text) is left over.
void replaceChunks(benchmark::State& state, bool caseSensitive) {
  const auto length = static_cast<std::size_t>(state.range(0));
  const std::string find = cp1251().encode(bench::findTextOfLength(length));
  // Two bytes longer than the find text, so the output moves against the input.
  std::string replace = "<";
  replace += find;
  replace += ">";
  const Chunks c = makeChunks(find, !caseSensitive);
  engine::Replacer replacer(find, replace, caseSensitive ? nullptr : &cp1251().fold());
  std::string out;
  out.reserve(engine::ChunkSize + engine::ChunkSize / 4);
  std::size_t i = 0;
  std::size_t expected = 0;
  for (auto _ : state) {
    const bench::GeneratedText& chunk = c.chunks[i];
    benchmark::DoNotOptimize(replacer.run(chunk.text.data(), chunk.text.size(), false, out));
    benchmark::DoNotOptimize(out.data());
    out.clear();
    expected += chunk.occurrences;
    i = (i + 1) % kChunks;
  }
  if (replacer.count() != expected) {
    state.SkipWithError("the replacer missed or invented occurrences");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * engine::ChunkSize));
  state.counters["per_KiB"] = static_cast<double>(c.occurrences) * 1024.0 /
                              static_cast<double>(kChunks * engine::ChunkSize);
}

void ReplaceCaseSensitive(benchmark::State& state) { replaceChunks(state, true); }
void ReplaceIgnoreCase(benchmark::State& state) { replaceChunks(state, false); }

BENCHMARK(ReplaceCaseSensitive)->Arg(1)->Arg(8)->Arg(64);
BENCHMARK(ReplaceIgnoreCase)->Arg(1)->Arg(8)->Arg(64);

// The same in UTF-8 text: bytes compared as they are, or characters after case folding.
void replaceUtf8Chunks(benchmark::State& state, bool caseSensitive) {
  const auto length = static_cast<std::size_t>(state.range(0));
  const std::string find = bench::findTextOfLength(length);
  const std::string replace = "<" + find + ">";
  std::vector<bench::GeneratedText> chunks;
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < kChunks; ++i) {
    chunks.push_back(
        bench::generateUtf8Text(engine::ChunkSize, find, cp1251(), !caseSensitive, i + 1));
    bytes += chunks.back().text.size();
  }
  engine::Replacer replacer = caseSensitive
                                  ? engine::Replacer(find, replace, nullptr)
                                  : engine::Replacer(find, replace,
                                                     engine::Replacer::Utf8CaseFolding{});
  std::string out;
  out.reserve(2 * engine::ChunkSize);
  std::size_t i = 0;
  std::size_t expected = 0;
  std::int64_t processed = 0;
  for (auto _ : state) {
    const bench::GeneratedText& chunk = chunks[i];
    benchmark::DoNotOptimize(replacer.run(chunk.text.data(), chunk.text.size(), false, out));
    benchmark::DoNotOptimize(out.data());
    out.clear();
    expected += chunk.occurrences;
    processed += static_cast<std::int64_t>(chunk.text.size());
    i = (i + 1) % kChunks;
  }
  if (replacer.count() != expected) {
    state.SkipWithError("the replacer missed or invented occurrences");
  }
  state.SetBytesProcessed(processed);
  state.counters["chunk_bytes"] = static_cast<double>(bytes) / kChunks;
}

void ReplaceUtf8CaseSensitive(benchmark::State& state) { replaceUtf8Chunks(state, true); }
void ReplaceUtf8IgnoreCase(benchmark::State& state) { replaceUtf8Chunks(state, false); }

BENCHMARK(ReplaceUtf8CaseSensitive)->Arg(1)->Arg(8)->Arg(64);
BENCHMARK(ReplaceUtf8IgnoreCase)->Arg(1)->Arg(8)->Arg(64);

// A chunk crowded with short occurrences: a two-byte find text every 6 bytes, replaced by three
// bytes, so that the cost per occurrence (the "per_match" time) shows rather than the search's.
enum class Matching { Exact, CodePageFolding, Utf8Folding };

void replaceDenseChunks(benchmark::State& state, Matching matching) {
  constexpr std::size_t kEvery = 6;
  const std::string find = "ab";
  const std::string replace = "xyz";
  std::vector<std::string> chunks;
  for (std::size_t i = 0; i < kChunks; ++i) {
    std::string text;
    for (std::size_t at = 0; at < engine::ChunkSize; ++at) {
      const std::size_t k = at % kEvery;
      // Filler letters from c to z, never a or b; the chunk ends with whole occurrences.
      text += k < find.size() ? find[k] : static_cast<char>('c' + (at / kEvery * 5 + k + i) % 24);
    }
    chunks.push_back(std::move(text));
  }
  const std::size_t perChunk = (engine::ChunkSize + kEvery - find.size()) / kEvery;
  engine::Replacer replacer =
      matching == Matching::Utf8Folding
          ? engine::Replacer(find, replace, engine::Replacer::Utf8CaseFolding{})
          : engine::Replacer(find, replace,
                             matching == Matching::Exact ? nullptr : &cp1251().fold());
  std::string out;
  out.reserve(engine::ChunkSize + engine::ChunkSize / 4);
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& chunk = chunks[i];
    benchmark::DoNotOptimize(replacer.run(chunk.data(), chunk.size(), false, out));
    benchmark::DoNotOptimize(out.data());
    out.clear();
    i = (i + 1) % kChunks;
  }
  if (replacer.count() != state.iterations() * perChunk) {
    state.SkipWithError("the replacer missed or invented occurrences");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * engine::ChunkSize));
  state.counters["per_match"] = benchmark::Counter(
      static_cast<double>(perChunk),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void ReplaceDenseCaseSensitive(benchmark::State& state) {
  replaceDenseChunks(state, Matching::Exact);
}
void ReplaceDenseIgnoreCase(benchmark::State& state) {
  replaceDenseChunks(state, Matching::CodePageFolding);
}
void ReplaceDenseUtf8IgnoreCase(benchmark::State& state) {
  replaceDenseChunks(state, Matching::Utf8Folding);
}

BENCHMARK(ReplaceDenseCaseSensitive);
BENCHMARK(ReplaceDenseIgnoreCase);
BENCHMARK(ReplaceDenseUtf8IgnoreCase);

// The binary test's scan over text, which has no control byte and so is read to its end.
void BinaryTestScan(benchmark::State& state) {
  const Chunks c = makeChunks(cp1251().encode(bench::findTextOfLength(8)), false);
  std::size_t i = 0;
  bool found = false;
  for (auto _ : state) {
    const std::string& text = c.chunks[i].text;
    const bool any = engine::HasControlByte(text.data(), text.size());
    benchmark::DoNotOptimize(any);
    found = found || any;
    i = (i + 1) % kChunks;
  }
  if (found) state.SkipWithError("a control byte in generated text");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * engine::ChunkSize));
}

BENCHMARK(BinaryTestScan);

}  // namespace
