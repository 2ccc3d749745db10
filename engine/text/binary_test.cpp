#include "engine/text/binary_test.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <vector>

#include "platform/error.h"
#include "platform/file.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace engine {
namespace {

// Below 32, text has tab, line feed, vertical tab, form feed (a page break in C headers, GNU
// sources, RFCs) and carriage return: 9 to 13.
constexpr bool isControl(unsigned char b) { return b < 32 && (b < 9 || b > 13); }

}  // namespace

bool HasControlByte(const char* data, std::size_t size) {
  std::size_t i = 0;
#ifdef __SSE2__
  // 64 bytes a step: a byte below 32 that is not one of 9 to 13.
  const __m128i high = _mm_set1_epi8(static_cast<char>(0xE0));
  const __m128i zero = _mm_setzero_si128();
  const __m128i nine = _mm_set1_epi8(9), four = _mm_set1_epi8(4);
  auto controls = [&](const char* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i below32 = _mm_cmpeq_epi8(_mm_and_si128(v, high), zero);
    // v - 9 <= 4 as unsigned bytes: min(v - 9, 4) == v - 9.
    const __m128i shifted = _mm_sub_epi8(v, nine);
    const __m128i text = _mm_cmpeq_epi8(_mm_min_epu8(shifted, four), shifted);
    return _mm_andnot_si128(text, below32);
  };
  for (; i + 64 <= size; i += 64) {
    const __m128i any = _mm_or_si128(_mm_or_si128(controls(data + i), controls(data + i + 16)),
                                     _mm_or_si128(controls(data + i + 32), controls(data + i + 48)));
    if (_mm_movemask_epi8(any) != 0) return true;
  }
#endif
  for (; i < size; ++i) {
    if (isControl(static_cast<unsigned char>(data[i]))) return true;
  }
  return false;
}

bool IsBinaryFile(const std::string& path, const EventPump& pump, std::size_t chunkSize) {
  // Every failure counts as "no control byte": the test never stops a conversion.
  try {
    struct stat link {};
    if (lstat(path.c_str(), &link) != 0 || !S_ISREG(link.st_mode)) return false;
    auto file = platform::File::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, platform::Step::OpenFile);
    const struct stat st = file.status(platform::Step::OpenFile);
    if (!S_ISREG(st.st_mode) || st.st_ino != link.st_ino || st.st_dev != link.st_dev) {
      return false;
    }
    if (chunkSize == 0) chunkSize = ChunkSize;
    static thread_local std::vector<char> chunk;  // kept from file to file
    if (chunk.size() < chunkSize) chunk.resize(chunkSize);
    auto remaining = static_cast<std::size_t>(link.st_size);
    for (;;) {
      const std::size_t n = remaining < chunkSize ? remaining : chunkSize;
      const std::size_t got = file.readFull(chunk.data(), n, platform::Step::ReadFile);
      if (HasControlByte(chunk.data(), got)) return true;
      remaining -= n;
      if (pump) pump();
      if (n < chunkSize || got < n) return false;
    }
  } catch (const platform::Error&) {
    return false;
  }
}

}  // namespace engine
