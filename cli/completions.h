#pragma once

#include <string>
#include <string_view>

namespace cli {

/// The completion script of tarvel-cli for `shell` ("bash", "zsh" or "fish"), made from the
/// table of options (Options()): every option, its short name, and what its value may be
/// (files, the encodings, the colour modes, the numbers of the kept runs from --runs).
std::string CompletionScript(std::string_view shell);

}  // namespace cli
