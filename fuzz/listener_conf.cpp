// Arbitrary bytes as a configuration file through the listener's reader.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "listener.h"
#include "memfile.h"

static memfile* file;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    file = quiet_memfile();
    return 0;
}

// Every slot in use holds a text that ends inside its field and fits the
// limit the router relies on.
static void check(const char* text, std::size_t slot, std::size_t limit)
{
    if (strnlen(text, slot) > limit)
        std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    aff = 1;
    i_name = i_ip = 0;
    init(file->hold(data, size));
    if (aff < 0 || aff > 2 || i_name < 0 || i_name > MAX_RULES || i_ip < 0 || i_ip > MAX_RULES)
        std::abort();
    for (int i = 0; i < i_name; ++i) {
        check(site[i], site_size, content_key_max);
        check(name_site[i], prefix_size, prefix_size - 1);
    }
    for (int i = 0; i < i_ip; ++i) {
        check(ad_ip[i], conf_key_size, source_key_max);
        check(name_ad_ip[i], prefix_size, prefix_size - 1);
    }
    return 0;
}
