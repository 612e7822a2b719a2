// An in-memory file with a path, so that the readers open fuzz input as they
// open a configuration file.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

struct memfile {
    int fd = memfd_create("log.ini", 0);
    char path[64];
    memfile() { std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd); }
    const char* hold(const uint8_t* data, size_t size)
    {
        if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
            __builtin_trap();
        return path;
    }
};

// The file a reader target reads, made once with the readers' console
// lines sent to /dev/null.
inline memfile* quiet_memfile()
{
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    return new memfile;
}
