#include "http/endpoints.h"

#include "build_config.h"

namespace {
Endpoints& Current() {
    static Endpoints current = DefaultEndpoints();
    return current;
}
}  // namespace

Endpoints DefaultEndpoints() {
    return {std::string("http://") + TOVIK_METADATA_HOST + "/downloader/installer-metadata/windows",
            std::string("http://") + TOVIK_STATS_HOST};
}

const Endpoints& CurrentEndpoints() { return Current(); }

void UseEndpoints(const Endpoints& endpoints) { Current() = endpoints; }
