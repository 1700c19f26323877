#pragma once
// Many units at once want a descriptor each, more than the usual soft limit of 1,024.

#ifndef _WIN32
#include <sys/resource.h>

#include <algorithm>
#include <cstddef>

// Raises the soft limit on open files to leave room for nMore descriptors beyond a
// program's own, as far as the hard limit allows; never lowers it.
inline void RaiseOpenFileLimit(size_t nMore) {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
    const rlim_t nWant = static_cast<rlim_t>(nMore) + 64;
    if (lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= nWant) return;
    lim.rlim_cur = lim.rlim_max == RLIM_INFINITY ? nWant : std::min(nWant, lim.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &lim);
}
#else
#include <cstddef>
inline void RaiseOpenFileLimit(size_t) {}
#endif
