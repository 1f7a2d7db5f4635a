// A file server that fails the requests it is told to, for event logs made by
// real downloads: it serves FILE at /installer.bin (byte ranges) and a
// metadata document naming it at /metadata, prints its port, and stops after
// SECONDS.
//   fault-files FILE FAILING SECONDS
// FAILING: "none", "all", or zero-based request indices answered 500, e.g. "1,2".
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "support/scripted_server.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FILE FAILING SECONDS\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    const std::string content = bytes.str();
    const std::string failing = argv[2];
    std::set<int> failingIndices;
    std::istringstream list(failing);
    for (std::string item; std::getline(list, item, ',');)
        if (!item.empty() && item != "none" && item != "all") failingIndices.insert(std::stoi(item));

    int fileRequests = 0;
    ScriptedServer* self = nullptr;
    ScriptedServer server([&](const ScriptedRequest& request, int) {
        if (request.target == "/metadata")
            return ScriptedReply::Status(200, "<size>" + std::to_string(content.size()) + "</size><downloadUrl>" +
                                                  self->Url("/installer.bin") +
                                                  "</downloadUrl><suggestedPackageSize>100000</suggestedPackageSize>");
        const int index = fileRequests++;
        if (failing == "all" || failingIndices.count(index)) return ScriptedReply::Status(500, "scripted failure");
        return ServeRange(content, request);
    });
    self = &server;
    std::printf("%d\n", server.Port());
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(std::stoi(argv[3])));
    return 0;
}
