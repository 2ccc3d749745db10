// Writes the generated text that the folder and peer benchmarks work on, in CP1251.
//   tarvel_bench_data file FIND BYTES PATH [mixed-case]
//     one file; with mixed-case, every second MiB puts the find text in with each letter in a
//     random case, so that a case-sensitive run finds only part of what a case-insensitive
//     one finds.
//   tarvel_bench_data tree FIND FOLDERS FILES_PER_FOLDER BYTES DIR [EVERY [SPACING]]
//     DIR/d000/f000.txt ...: FOLDERS folders of FILES_PER_FOLDER files of about BYTES each
//     (BYTES - 512 to BYTES + 511); one file in EVERY (ten unless given) holds the find text
//     (about once per KiB, or once every SPACING bytes of words on average), the others never
//     hold it.
//   tarvel_bench_data dense FIND EVERY BYTES PATH
//     one file of ASCII text with FIND at every EVERY bytes, the bytes between taken from
//     letters that FIND does not hold (so it occurs only where it was put), a line break about
//     every 80 bytes.
// FIND is UTF-8. Prints what it wrote.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "bench/generated_text.h"
#include "platform/code_page.h"

namespace {

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  file.close();
  if (!file) std::fprintf(stderr, "cannot write %s\n", path.c_str());
  return static_cast<bool>(file);
}

// Written one MiB at a time so that memory stays small at any size.
int generateFile(const platform::CodePage& page, const std::string& find, long long bytes,
                 const std::string& path, bool mixedCase) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  std::size_t occurrences = 0;
  std::uint64_t seed = 1;
  for (long long left = bytes; left > 0;) {
    const auto size = static_cast<std::size_t>(left < (1 << 20) ? left : (1 << 20));
    const bool mix = mixedCase && seed % 2 == 0;
    const bench::GeneratedText g = bench::generateText(size, find, page, mix, seed++);
    file.write(g.text.data(), static_cast<std::streamsize>(g.text.size()));
    occurrences += g.occurrences;
    left -= static_cast<long long>(size);
  }
  file.close();
  if (!file) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  std::printf("generated %s: %lld bytes, find text put in %zu times%s\n", path.c_str(), bytes,
              occurrences, mixedCase ? " (every second MiB in mixed case)" : "");
  return 0;
}

int generateTree(const platform::CodePage& page, const std::string& find, int folders,
                 int filesPerFolder, long long bytes, const std::string& dir, int every,
                 std::size_t spacing) {
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
    return 1;
  }
  std::size_t occurrences = 0;
  std::size_t holders = 0;
  long long total = 0;
  std::uint64_t seed = 1;
  char name[64];
  for (int d = 0; d < folders; ++d) {
    std::snprintf(name, sizeof name, "/d%03d", d);
    const std::string folder = dir + name;
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
      std::fprintf(stderr, "cannot create %s: %s\n", folder.c_str(), std::strerror(errno));
      return 1;
    }
    for (int f = 0; f < filesPerFolder; ++f, ++seed) {
      // Sizes spread over a KiB around BYTES, the same on every run.
      const auto size = static_cast<std::size_t>(bytes - 512 + static_cast<long long>(
                                                                   (seed * 2654435761u) % 1024));
      const bool holds = seed % static_cast<std::uint64_t>(every) == 0;
      const bench::GeneratedText g =
          bench::generateText(size, holds ? find : std::string(), page, false, seed, spacing);
      std::snprintf(name, sizeof name, "/f%03d.txt", f);
      if (!writeFile(folder + name, g.text)) return 1;
      if (holds) {
        occurrences += g.occurrences;
        ++holders;
      }
      total += static_cast<long long>(g.text.size());
    }
  }
  std::printf("generated %s: %d files in %d folders, %lld bytes, %zu files hold the find text"
              " %zu times in all\n",
              dir.c_str(), folders * filesPerFolder, folders, total, holders, occurrences);
  return 0;
}

// The find text as often as a dense case wants it: whole units of EVERY bytes, each the find
// text and filler; the file ends with whole units or with filler only, never a cut-off find text.
int generateDense(const std::string& find, std::size_t every, long long bytes,
                  const std::string& path) {
  std::string letters;
  for (char c = 'a'; c <= 'z'; ++c) {
    if (find.find(c) == std::string::npos) letters += c;
  }
  if (find.empty() || every < find.size() + 1 || letters.empty()) {
    std::fprintf(stderr, "EVERY must be longer than the find text, which must leave a letter\n");
    return 2;
  }
  const std::size_t unitsPerLine = (80 + every - 1) / every;
  std::string block;  // a whole number of lines, so that the pattern repeats from block to block
  for (std::size_t line = 0; block.size() < (1 << 20); ++line) {
    for (std::size_t u = 0; u < unitsPerLine; ++u) {
      block += find;
      for (std::size_t k = find.size(); k < every; ++k) {
        const bool lineEnd = u + 1 == unitsPerLine && k + 1 == every;
        block += lineEnd ? '\n' : letters[(line * 7 + u * 3 + k) % letters.size()];
      }
    }
  }
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  std::size_t occurrences = 0;
  for (long long left = bytes; left > 0;) {
    const std::size_t size =
        left < static_cast<long long>(block.size()) ? static_cast<std::size_t>(left) : block.size();
    std::string piece = block.substr(0, size);
    const std::size_t whole = size / every;
    // A last unit too short for the whole find text holds filler only.
    for (std::size_t k = whole * every; k < size; ++k) piece[k] = letters[k % letters.size()];
    file.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    occurrences += whole;
    left -= static_cast<long long>(size);
  }
  file.close();
  if (!file) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  std::printf("generated %s: %lld bytes, find text put in %zu times, every %zu bytes\n",
              path.c_str(), bytes, occurrences, every);
  return 0;
}

}  // namespace

// A migration's pairs file of `count` pairs (UTF-8): FIND to REPLACE first, then REPLACE back to
// FIND (pairs that chain: applied one after another, they leave FIND as it was), then
// identifiers of two words of the text joined by "_", renamed to the two words in capitals
// ("склад_пени" to "СкладПени"): the text never holds them, but every word of it begins one.
// So every count of pairs rewrites the same files as FIND alone.
int generatePairs(const std::string& find, const std::string& replace, long long count,
                  const std::string& path) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  const std::vector<std::string> words = bench::vocabulary();
  std::set<std::string> seen{find};
  file << find << '\t' << replace << '\n';
  long long written = 1;
  if (count >= 2) {
    file << replace << '\t' << find << '\n';
    seen.insert(replace);
    ++written;
  }
  const auto capital = [](const std::string& word) {
    // The first letter of a word of the text in capitals: Latin, or Cyrillic in UTF-8.
    std::string out = word;
    const auto c = static_cast<unsigned char>(out[0]);
    if (c >= 'a' && c <= 'z') {
      out[0] = static_cast<char>(c - 32);
    } else if (c == 0xD0 && out.size() > 1) {
      const auto d = static_cast<unsigned char>(out[1]);
      if (d >= 0xB0 && d <= 0xBF) out[1] = static_cast<char>(d - 0x20);  // а..п
    } else if (c == 0xD1 && out.size() > 1) {
      const auto d = static_cast<unsigned char>(out[1]);
      if (d >= 0x80 && d <= 0x8F) {  // р..я
        out[0] = static_cast<char>(0xD0);
        out[1] = static_cast<char>(d + 0x20);
      }
    }
    return out;
  };
  std::uint64_t seed = 7;
  const auto pick = [&] {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    return words[(seed >> 33) % words.size()];
  };
  while (written < count) {
    const std::string a = pick(), b = pick();
    const std::string identifier = a + "_" + b;
    if (!seen.insert(identifier).second) continue;
    file << identifier << '\t' << capital(a) << capital(b) << '\n';
    ++written;
  }
  file.close();
  if (!file) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  std::printf("generated %s: %lld pairs\n", path.c_str(), written);
  return 0;
}

int main(int argc, char** argv) {
  const auto page = platform::CodePage::byName("CP1251");
  if (!page) {
    std::fprintf(stderr, "iconv does not know CP1251\n");
    return 1;
  }
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "file" && (argc == 5 || (argc == 6 && std::strcmp(argv[5], "mixed-case") == 0))) {
    return generateFile(*page, page->encode(argv[2]), std::atoll(argv[3]), argv[4], argc == 6);
  }
  if (mode == "tree" && (argc >= 7 && argc <= 9)) {
    const int every = argc >= 8 ? std::atoi(argv[7]) : 10;
    const long long spacing = argc == 9 ? std::atoll(argv[8]) : 1024;
    return generateTree(*page, page->encode(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]),
                        std::atoll(argv[5]), argv[6], every > 0 ? every : 10,
                        spacing > 0 ? static_cast<std::size_t>(spacing) : 1024);
  }
  if (mode == "pairs" && argc == 6) {
    return generatePairs(argv[2], argv[3], std::atoll(argv[4]), argv[5]);
  }
  if (mode == "dense" && argc == 6) {
    const long long every = std::atoll(argv[3]);
    return generateDense(page->encode(argv[2]), every > 0 ? static_cast<std::size_t>(every) : 0,
                         std::atoll(argv[4]), argv[5]);
  }
  std::fprintf(stderr,
               "usage: %s file FIND BYTES PATH [mixed-case]\n"
               "       %s tree FIND FOLDERS FILES_PER_FOLDER BYTES DIR [EVERY [SPACING]]\n"
               "       %s dense FIND EVERY BYTES PATH\n"
               "       %s pairs FIND REPLACE COUNT PATH\n",
               argv[0], argv[0], argv[0], argv[0]);
  return 2;
}
