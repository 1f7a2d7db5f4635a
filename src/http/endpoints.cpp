#include "http/endpoints.h"

#include "build_config.h"

namespace {
// Never destroyed: threads still running at exit may read it.
Endpoints& Current() {
    static Endpoints* const current = new Endpoints(DefaultEndpoints());
    return *current;
}

std::string& CurrentTestAuthorities() {
    static std::string* const current = new std::string;
    return *current;
}
}  // namespace

Endpoints DefaultEndpoints() {
    return {std::string("http://") + TOVIK_METADATA_HOST + "/downloader/installer-metadata/windows",
            std::string("http://") + TOVIK_STATS_HOST};
}

const Endpoints& CurrentEndpoints() { return Current(); }

void UseEndpoints(const Endpoints& endpoints) { Current() = endpoints; }

const std::string& TestAuthorities() { return CurrentTestAuthorities(); }

void UseTestAuthorities(const std::string& caFile) { CurrentTestAuthorities() = caFile; }
