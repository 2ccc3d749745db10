#include "engine/count_occurrences.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "engine/replacer.h"
#include "platform/error.h"
#include "platform/file.h"

namespace engine {

std::size_t CountOccurrences(const std::string& path, const Conversion& c) {
  using platform::Error;
  const char* what = "Не удалось прочитать файл";
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) platform::raiseSystemError(errno, what);
  if (S_ISDIR(st.st_mode)) throw Error(platform::kIsFolder, std::string(what) + ": это папка, а не файл");
  if (!S_ISREG(st.st_mode)) {
    throw Error(platform::kRefusedAttribute,
                std::string(what) + ": это не обычный файл (ссылка, канал или устройство)");
  }
  auto file = platform::File::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, what);
  const MatchOptions& o = c.options;
  Replacer replacer(o.findText, o.replaceText, o.caseSensitive ? nullptr : &c.fold);
  const std::size_t chunkSize = c.chunkSize == 0 ? ChunkSize : c.chunkSize;
  std::vector<char> buffer(replacer.carryLimit() + chunkSize);
  std::string out;
  std::size_t carry = 0;
  for (;;) {
    const std::size_t got = file.readFull(buffer.data() + carry, chunkSize, what);
    const bool last = got < chunkSize;
    const std::size_t finished = replacer.run(buffer.data(), carry + got, last, out);
    out.clear();
    carry = carry + got - finished;
    std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(finished),
              buffer.begin() + static_cast<std::ptrdiff_t>(finished + carry), buffer.begin());
    if (c.pump) c.pump();
    if (last) return replacer.count();
  }
}

}  // namespace engine
