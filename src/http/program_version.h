// The program's version: in the User-Agent and in the exe's version resource.
// Macros, so that the resource compiler reads them too.
#pragma once

#define TOVIK_PROGRAM_VERSION "2.1.2"
#define TOVIK_PROGRAM_VERSION_NUMBERS 2, 1, 2, 0
