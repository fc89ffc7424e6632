// The page's files, built into the program (webui_assets.cpp is generated from webui/page and the
// chart library of the Debian package libjs-chart.js), so the console serves everything itself.
#pragma once

#include <cstddef>

namespace kor_webui {

struct Asset {
    const char *path;  // URL path
    const char *type;  // Content-Type
    const unsigned char *data;
    std::size_t size;
};

extern const Asset kAssets[];
extern const std::size_t kAssetCount;

}  // namespace kor_webui
