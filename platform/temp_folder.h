#pragma once

#include <string>

namespace platform {

/// The user's temporary folder: TMPDIR when it is set and not empty, else "/tmp";
/// without a trailing "/" (the root itself stays "/").
std::string temporaryFolder();

}  // namespace platform
