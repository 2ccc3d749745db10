#include "platform/temp_folder.h"

#include <cstdlib>

namespace platform {

std::string temporaryFolder() {
  const char* value = std::getenv("TMPDIR");
  std::string folder = (value != nullptr && *value != '\0') ? value : "/tmp";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

}  // namespace platform
