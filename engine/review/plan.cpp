#include "engine/review/plan.h"

namespace engine {

std::size_t Plan::occurrences() const {
  std::size_t n = 0;
  for (const auto& file : files) n += file->occurrences.size();
  return n;
}

std::size_t Plan::accepted() const {
  std::size_t n = 0;
  for (const auto& file : files) n += file->acceptedCount();
  return n;
}

}  // namespace engine
