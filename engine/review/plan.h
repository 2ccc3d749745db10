#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "engine/file/planned_file.h"

namespace engine {

/// What a run would replace, file by file in the order of the walk: shown to the user, who
/// accepts or refuses each occurrence, then applied (ApplyPlan).
struct Plan {
  std::vector<std::shared_ptr<PlannedFile>> files;  ///< the files that hold an occurrence

  std::size_t occurrences() const;
  std::size_t accepted() const;
};

}  // namespace engine
