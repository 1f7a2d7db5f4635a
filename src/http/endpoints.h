// Where the requests go. The product uses the build-time defaults; the headless
// driver and the tests point the core at loopback servers before any thread starts.
#pragma once

#include <string>

struct Endpoints {
    std::string metadataUrl;      // probe and metadata document
    std::string statsServerBase;  // event paths are appended to it
};

Endpoints DefaultEndpoints();
const Endpoints& CurrentEndpoints();
void UseEndpoints(const Endpoints& endpoints);
