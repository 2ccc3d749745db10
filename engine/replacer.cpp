#include "engine/replacer.h"

#include <cstring>

namespace engine {

Replacer::Replacer(std::string_view find, std::string_view replace,
                   const platform::FoldTable* fold)
    : m_find(find), m_replace(replace), m_fold(fold) {
  if (m_fold != nullptr) {
    for (char& c : m_find) c = static_cast<char>((*m_fold)[static_cast<unsigned char>(c)]);
  }
}

const char* Replacer::search(const char* from, const char* end) const {
  const auto size = static_cast<std::size_t>(end - from);
  if (size < m_find.size()) return nullptr;
  if (m_find.size() == 1) return static_cast<const char*>(std::memchr(from, m_find[0], size));
  return static_cast<const char*>(memmem(from, size, m_find.data(), m_find.size()));
}

std::size_t Replacer::run(const char* data, std::size_t size, bool last, std::string& out) {
  if (m_find.empty()) {
    out.append(data, size);
    return size;
  }
  // Without regard to case the search runs over a folded copy; the output copies the
  // original bytes between occurrences.
  const char* text = data;
  if (m_fold != nullptr) {
    m_folded.resize(size);
    const auto& table = *m_fold;
    for (std::size_t i = 0; i < size; ++i) {
      m_folded[i] = static_cast<char>(table[static_cast<unsigned char>(data[i])]);
    }
    text = m_folded.data();
  }
  const char* end = text + size;
  std::size_t done = 0;  // everything before `done` is finished
  for (const char* hit = search(text, end); hit != nullptr; hit = search(text + done, end)) {
    const auto at = static_cast<std::size_t>(hit - text);
    out.append(data + done, at - done);
    out.append(m_replace);
    done = at + m_find.size();
    ++m_count;
  }
  std::size_t finished = size;
  if (!last && size - done >= m_find.size()) {
    finished = size - carryLimit();
  } else if (!last) {
    finished = done;
  }
  out.append(data + done, finished - done);
  return finished;
}

std::string replaceAll(std::string_view text, std::string_view find, std::string_view replace,
                       const platform::FoldTable* fold) {
  Replacer replacer(find, replace, fold);
  std::string out;
  replacer.run(text.data(), text.size(), true, out);
  return out;
}

}  // namespace engine
