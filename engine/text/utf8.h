#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace engine::utf8 {

/// Index of the first byte of the first invalid or cut-off sequence in `data[0, size)`, or
/// `size` when the whole range is valid UTF-8 made of whole characters (no overlong forms, no
/// surrogates, nothing above U+10FFFF). `high` becomes true when a byte of 0x80 or more was
/// seen in the valid part. `control`, when given, becomes true when the range holds a control
/// byte of a binary file (HasControlByte), looked for in the same pass.
std::size_t validPrefix(const char* data, std::size_t size, bool& high, bool* control = nullptr);

/// The loops behind validPrefix, best first; one the processor lacks gives way to the next.
enum class Kernel { Avx512, Avx2, Scalar };
std::size_t validPrefixUsing(Kernel kernel, const char* data, std::size_t size, bool& high,
                             bool* control);

/// True when `text` is valid UTF-8 (see validPrefix).
bool isValid(std::string_view text);

/// Checks a text that arrives in pieces of any size, sequences split between pieces included.
class Validator {
 public:
  /// Checks the next bytes; false once an invalid sequence has been seen. `control`, when
  /// given, becomes true when the bytes hold a control byte (HasControlByte).
  bool feed(const char* data, std::size_t size, bool* control = nullptr);
  /// Ends the text; false when it was invalid or ends inside a character.
  bool finish();

  bool valid() const { return m_invalidAt < 0; }
  /// Offset of the first byte of the first invalid sequence, or -1.
  long long invalidAt() const { return m_invalidAt; }
  /// True when a byte of 0x80 or more was seen before any invalid sequence.
  bool sawHighByte() const { return m_high; }
  /// True when the bytes so far end inside a character.
  bool midCharacter() const { return m_pendingSize > 0; }

 private:
  unsigned char m_pending[4] = {};  // a character cut off at the end of the last piece
  std::size_t m_pendingSize = 0;
  long long m_offset = 0;  // bytes fed before the current piece
  long long m_invalidAt = -1;
  bool m_high = false;
};

/// For text that is not valid UTF-8: how much of it still looks like UTF-8. Counts the valid
/// multi-byte sequences (Unicode's well-formed ones, two to four bytes) and the bytes of 0x80
/// or more outside them, over pieces of any size, sequences split between pieces included;
/// and, of the sequences, those that would be unlikely text in the single-byte code page the
/// file is otherwise read in: none of whose continuation bytes is a letter there (UTF-8 "Да",
/// D0 94 D0 B0, reads "Р”Р°" in CP1251), where Russian text in it pairs letters with letters.
class SequenceTally {
 public:
  /// `letters`: the bytes 0x80 to 0xBF that are letters in that code page, bit b - 0x80 for
  /// byte b (see ContinuationLetters in file_kind.h); by default all, so none is unlikely.
  explicit SequenceTally(std::uint64_t letters = ~std::uint64_t{0});

  void feed(const char* data, std::size_t size);
  /// Ends the text: the last bytes are judged with nothing after them.
  void finish();

  std::uint64_t sequences() const { return m_sequences; }
  /// The sequences none of whose continuation bytes is a letter in the code page.
  std::uint64_t unlikely() const { return m_unlikely; }
  /// Before finish(), the bytes of a sequence that runs into the next piece are counted with
  /// it already: up to three strays fewer than the final count.
  std::uint64_t strays() const { return m_high > m_inSequences ? m_high - m_inSequences : 0; }

  /// The most sequences (unlikely ones included) that can still be counted, `remaining` bytes
  /// being still to come: each takes two bytes at least; the bytes held back, not judged yet,
  /// may begin one too.
  std::uint64_t mostToCome(std::uint64_t remaining) const { return (remaining + m_tailSize) / 2; }

 private:
  void judge(const unsigned char* p, std::size_t at, std::size_t available);

  std::uint64_t m_letters;
  unsigned char m_letterRows[16] = {};  // m_letters by low nibble, a bit a high one (8 to B)
  unsigned char m_tail[6] = {};  // bytes not judged yet: they need the next piece's first ones
  std::size_t m_tailSize = 0;
  std::uint64_t m_sequences = 0;
  std::uint64_t m_unlikely = 0;
  std::uint64_t m_high = 0;
  std::uint64_t m_inSequences = 0;  // bytes of the valid sequences
};

/// Number of characters in valid UTF-8 `text`.
std::size_t countCharacters(std::string_view text);

/// Length of a cut-off character at the end of `data[0, size)` (0 to 3 bytes).
std::size_t cutOffTail(const char* data, std::size_t size);

/// Unicode simple case folding (one character to one character, as ICU's u_foldCase gives
/// it) of valid UTF-8 `text`.
std::string fold(std::string_view text);

/// Folds `data[0, size)`, which begins at a character boundary, into `folded` (which grows as
/// needed and is never shrunk, so that it is set up once for a run of chunks). Folding may
/// change a character's length in bytes (KELVIN SIGN to k); then `offsets` receives, for each
/// folded byte and for the end, the offset in `data` of the character it belongs to, and
/// `mapped` is true. Otherwise folded offsets are the data's own and `offsets` is left alone.
/// A byte that is not part of a valid character becomes 0xFF, which no valid text contains,
/// so nothing can match across it.
struct Folded {
  std::size_t size = 0;
  bool mapped = false;
};
Folded foldInto(const char* data, std::size_t size, std::vector<char>& folded,
                std::vector<std::uint32_t>& offsets);

}  // namespace engine::utf8
