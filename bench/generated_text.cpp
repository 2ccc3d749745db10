#include "bench/generated_text.h"

#include <algorithm>
#include <array>
#include <random>
#include <stdexcept>
#include <vector>

namespace bench {
namespace {

// Words of an ordinary Russian business letter with some Latin and numbers, separated by
// spaces. "договор" and its forms share a prefix with the 8-character find text, so partial
// matches happen as they do in real text.
constexpr const char* kWords =
    "договор договоре договоров сторона стороны поставщик покупатель обязуется "
    "передать товар в срок указанный пункте настоящего оплата производится рублях по "
    "курсу на дату платежа и не позднее десяти рабочих дней с момента получения "
    "счёта акт приёмки подписывается обеими сторонами претензии рассматриваются "
    "месяца который Москва ООО Ромашка ИНН 7701234567 КПП 770101001 email "
    "info@example.com invoice No. 2024 12.03.2024 RUB VAT 20% total the of page "
    "приложение спецификация гарантия качество упаковка маркировка склад доставка "
    "транспорт страхование убытки неустойка штраф пени";

}  // namespace

std::vector<std::string> vocabulary() {
  std::vector<std::string> words;
  const std::string_view all = kWords;
  for (std::size_t at = 0; at < all.size();) {
    const std::size_t space = std::min(all.find(' ', at), all.size());
    words.emplace_back(all.substr(at, space - at));
    at = space + 1;
  }
  return words;
}

GeneratedText generateText(std::size_t size, std::string_view find, const platform::CodePage& page,
                           bool mixCase, std::uint64_t seed, std::size_t spacing) {
  // "счёта" and "приёмки" lose their "ё", so a one-letter find text "ё" stays unique.
  const char yo = page.encode("ё")[0];
  const char e = page.encode("е")[0];
  std::string all = page.encode(kWords);
  for (char& c : all) {
    if (c == yo) c = e;
  }
  std::vector<std::string> words;
  for (std::size_t at = 0; at < all.size();) {
    const std::size_t space = std::min(all.find(' ', at), all.size());
    words.push_back(all.substr(at, space - at));
    at = space + 1;
  }
  // The letter of the other case: another byte with the same folding, or -1.
  const platform::FoldTable& fold = page.fold();
  std::array<int, 256> otherCase{};
  otherCase.fill(-1);
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      if (a != b && fold[a] == fold[b]) otherCase[a] = b;
    }
  }

  std::mt19937_64 rng(seed);
  auto below = [&rng](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  GeneratedText g;
  std::string& out = g.text;
  out.reserve(size + 128);
  // The find text after 512..1535 bytes of words by default (1 per KiB): from half the spacing
  // to one and a half.
  spacing = std::max<std::size_t>(spacing, 2);
  std::size_t nextFind = spacing / 2 + below(spacing);
  std::size_t lineStart = 0;
  bool sentenceStart = true;
  while (out.size() < size) {
    if (out.size() >= nextFind && out.size() + find.size() <= size) {
      const std::size_t at = out.size();
      out.append(find);
      if (mixCase) {
        for (std::size_t i = at; i < out.size(); ++i) {
          const int other = otherCase[static_cast<unsigned char>(out[i])];
          if (other >= 0 && (rng() & 1) != 0) out[i] = static_cast<char>(other);
        }
      }
      ++g.occurrences;
      nextFind = out.size() + spacing / 2 + below(spacing);
    } else {
      const std::string& w = words[below(words.size())];
      const std::size_t at = out.size();
      out.append(w);
      const auto first = static_cast<unsigned char>(w[0]);
      if (sentenceStart && otherCase[first] >= 0 && fold[first] == first) {
        out[at] = static_cast<char>(otherCase[first]);  // a capital letter
      }
    }
    sentenceStart = false;
    const std::size_t r = below(16);
    if (out.size() - lineStart > 72) {
      out.append(r < 8 ? ".\r\n" : "\r\n");
      lineStart = out.size();
      sentenceStart = r < 8;
    } else if (r == 0) {
      out.append(". ");
      sentenceStart = true;
    } else if (r == 1) {
      out.append(", ");
    } else {
      out.push_back(' ');
    }
  }
  out.resize(size);
  return g;
}

GeneratedText generateUtf8Text(std::size_t size, std::string_view find,
                               const platform::CodePage& page, bool mixCase, std::uint64_t seed) {
  // The words and the find text are letters, digits and punctuation: two bytes at most each.
  GeneratedText g = generateText(size / 2, page.encode(find), page, mixCase, seed);
  g.text = page.decode(g.text);
  return g;
}

std::string findTextOfLength(std::size_t length) {
  switch (length) {
    case 1:
      return "ё";
    case 8:
      return "договора";
    case 64:
      // 64 characters: a clause that the words above begin in many ways.
      return "Поставщик обязуется передать Покупателю товар в срок, указанный.";
    default:
      throw std::invalid_argument("no find text of that length");
  }
}

}  // namespace bench
