#pragma once

#include <cstddef>

// The vector instructions the validator, folding and the tally use where the processor has them.
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TARVEL_X86 1
#endif

// The shape of UTF-8 sequences, byte by byte: what the validator, the tally of almost-UTF-8
// files and folding share.
namespace engine::utf8 {

inline constexpr bool isContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Length of the sequence a lead byte begins, by its bit pattern alone (0 for a continuation
// byte or 0xF8 and up).
inline constexpr std::size_t sequenceLength(unsigned char b) {
  if (b < 0x80) return 1;
  if (b < 0xC0) return 0;
  if (b < 0xE0) return 2;
  if (b < 0xF0) return 3;
  if (b < 0xF8) return 4;
  return 0;
}

// The allowed range of the second byte after a lead byte (Unicode's table of well-formed
// sequences); every later byte is 0x80 to 0xBF.
struct SecondByte {
  unsigned char low, high;
};
inline constexpr SecondByte secondByte(unsigned char lead) {
  if (lead == 0xE0) return {0xA0, 0xBF};  // no overlong three-byte forms
  if (lead == 0xED) return {0x80, 0x9F};  // no surrogates
  if (lead == 0xF0) return {0x90, 0xBF};  // no overlong four-byte forms
  if (lead == 0xF4) return {0x80, 0x8F};  // nothing above U+10FFFF
  return {0x80, 0xBF};
}

inline constexpr bool validLead(unsigned char b) { return (b >= 0xC2 && b <= 0xF4); }

enum class Sequence { Complete, Incomplete, Invalid };

// Judges the bytes of one sequence seen so far.
inline Sequence judge(const unsigned char* s, std::size_t n) {
  if (!validLead(s[0])) return Sequence::Invalid;
  const std::size_t length = sequenceLength(s[0]);
  for (std::size_t i = 1; i < n && i < length; ++i) {
    const SecondByte range = i == 1 ? secondByte(s[0]) : SecondByte{0x80, 0xBF};
    if (s[i] < range.low || s[i] > range.high) return Sequence::Invalid;
  }
  return n >= length ? Sequence::Complete : Sequence::Incomplete;
}

#ifdef TARVEL_X86
// What the processor offers, asked once.
inline bool haveAvx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
}

inline bool haveAvx512() {
  static const bool avx512 = __builtin_cpu_supports("avx512bw");
  return avx512;
}
#endif

}  // namespace engine::utf8
