// Force-included into every source of the product (CMakeLists.txt: quillan_banned_calls): the
// unbounded or unchecked C text calls are compile errors there (use snprintf with sizes,
// std::array, std::span). The headers that declare them, or name them in macros and inline code,
// come first, so that only a use after them trips the poison.
#pragma once

// <cwchar> before <cstdio>: mingw-w64's <wchar.h> makes the inline stdio wrappers (snprintf)
// static when it comes first, as it does through <windows.h>; so the code stays as it was.
#include <cwchar>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdlib.h>  // libstdc++'s own: `using std::atoi;`
#ifdef _WIN32
#include <windows.h>
#include <io.h>
#include <rpc.h>
#include <rpcndr.h>
#endif

#pragma GCC poison strcpy strcat sprintf vsprintf strncpy atoi
