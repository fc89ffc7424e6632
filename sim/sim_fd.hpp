// File descriptors of the virtual IO board: the tree's move-only descriptor owner and the helper
// every system call goes through so EINTR never surfaces as a failure, under the board's names.
#pragma once

#include "zeb_unique_fd.hpp"

namespace kor_sim {

using zeb::retry_eintr;
using zeb::UniqueFd;

}  // namespace kor_sim
