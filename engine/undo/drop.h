#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"

namespace engine {

/// Moves the run folder `name` of the store open as `store` into the store's trash, where it is
/// deleted; its journal must not be locked by anyone (checked by the caller, who holds the lock
/// meanwhile).
void MoveToTrash(int store, const std::string& name);

/// Empties the store's trash, unless someone else is emptying it already.
void EmptyTrash(int store);

/// When the trash holds anything: empties it in a process of its own, not waited for.
void EmptyTrashLater(int store);

/// Drops the runs `ids` of `store` at once, with their kept originals. A run still going is
/// not dropped: its id is returned with the reason. Raises platform::Error when the store is
/// refused or cannot be read.
std::vector<std::pair<std::string, platform::Error>> ForgetRuns(
    const std::string& store, const std::vector<std::string>& ids);


}  // namespace engine
