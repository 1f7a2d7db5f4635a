// Included before everything else in the Windows exe's sources: the string
// classes are instantiated where used, member by member, so that only what
// the exe calls is linked, not the library's whole explicit instantiations
// (about 35 KiB each for std::string and std::wstring, unwind tables and
// catch handlers with them). The library's own switch for this (-1 lets
// basic_string instantiate implicitly, as its checked builds do).
#pragma once
#include <bits/c++config.h>
#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE -1
