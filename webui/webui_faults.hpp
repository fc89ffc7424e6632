// The oven's active faults as the console learns them. The manager's notifications carry no
// fault list: its fault manager keeps the raised faults in a list file ($ZEB_FAULT_FILE, one
// fault a line: number, time raised, description, separated by tabs), rewritten whole at every
// change and at the manager's start. The console reads that file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kor_webui {

struct ActiveFault {
    std::int64_t code;
    std::string text;
    std::string since;  // UTC time it was raised, as the list gives it
};

// The faults of the list text in their order; lines that are not "NUMBER<TAB>TIME<TAB>TEXT" with a
// number of 1-65535 are skipped, and at most kMaxFaults are kept.
std::vector<ActiveFault> parse_fault_list(std::string_view text);

// Reads the list file: 0 with the faults (none when the file does not exist: no manager has
// written it yet), -1 when it cannot be read or is not a regular file. At most kMaxFileBytes are
// read.
int read_fault_list(const std::string &path, std::vector<ActiveFault> &out);

inline constexpr std::size_t kMaxFaults = 256;
inline constexpr std::size_t kMaxFileBytes = 64 * 1024;

}  // namespace kor_webui
