// Arbitrary bytes as a configuration file through the cleaner's reader.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cleaner.h"
#include "memfile.h"

static memfile* file;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    file = quiet_memfile();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    i_name = 0;
    init(file->hold(data, size));
    if (i_name < 0 || i_name > MAX_PREFIXES)
        std::abort();
    for (int i = 0; i < i_name; ++i)
        if (strnlen(name_site[i], prefix_size) > prefix_size - 1)
            std::abort();
    return 0;
}
