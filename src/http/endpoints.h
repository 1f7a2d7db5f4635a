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

// Tests only: a CA file that https packages are checked against instead of the
// system's store, so that a local CA never enters the machine's trust. The
// product never calls it: "" keeps the system's store.
const std::string& TestAuthorities();
void UseTestAuthorities(const std::string& caFile);
