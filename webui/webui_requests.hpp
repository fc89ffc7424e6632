// The few requests a technician may send from the console, checked before anything reaches the
// bus: the event name must be one of them, the values whole numbers, as many as it takes and each
// within its bounds.
#pragma once

#include <string>
#include <vector>

namespace kor_webui {

struct BusRequest {
    std::string event;
    std::string format;
    std::vector<char> data;
};

// Parses the body {"name": ..., "values": [...]}: 0 with out filled, -1 with the reason in error.
int parse_request(const std::string &body, BusRequest &out, std::string &error);

}  // namespace kor_webui
