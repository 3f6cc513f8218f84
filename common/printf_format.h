// Lets the compiler check printf-style arguments of our own formatting calls.
#pragma once

#if defined(__MINGW_PRINTF_FORMAT)
#define QUILLAN_PRINTF(fmt, args) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, args)))
#elif defined(__GNUC__)
#define QUILLAN_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define QUILLAN_PRINTF(fmt, args)
#endif
