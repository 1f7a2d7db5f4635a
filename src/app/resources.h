// The page, images and icon compiled into the program.
#pragma once

#include <cstddef>

struct Resource {
    const char* name;
    const unsigned char* data;  // nullptr when there is no such resource
    std::size_t size;
};

// Names: "104" (the page), "IMG/666", "IMG/667", "ICON/48", "ICON/32".
Resource FindResource(const char* name);
