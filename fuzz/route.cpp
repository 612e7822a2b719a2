// Arbitrary datagrams from arbitrary sender address texts through the
// listener's matching, display line and journal, and arbitrary times through
// the log line and the day-file name.
//
// Input: one byte choosing the display mode and the address length, the
// address text, eight bytes of time, then the datagram.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <unistd.h>

#include "day_file.h"
#include "journal.h"
#include "listener.h"
#include "receive.h"
#include "route.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static char dir[] = "/tmp/kit-fuzz-route-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0 || !std::freopen("/dev/null", "w", stdout))
        std::abort();
    setenv("TZ", "Europe/Paris", 1);
    tzset();
    std::strcpy(ad_ip[0], "127.0.0.1");
    std::strcpy(name_ad_ip[0], "a_");
    std::strcpy(ad_ip[1], ":");
    std::strcpy(name_ad_ip[1], "b_");
    i_ip = 2;
    std::strcpy(site[0], "ALARM");
    std::strcpy(name_site[0], "c_");
    std::strcpy(site[1], "\xc3\xa9");
    std::strcpy(name_site[1], "d_");
    std::strcpy(site[2], "A");
    std::strcpy(name_site[2], "");
    i_name = 3;
    return 0;
}

// The day files grow with every run; empty the directory now and then.
static void sweep()
{
    static unsigned runs;
    if (++runs % 4096 != 0)
        return;
    DIR* d = opendir(".");
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            unlink(e->d_name);
    closedir(d);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static char msg[msg_max + 1];
    if (size < 1 + 8)
        return 0;
    aff = data[0] % 3;
    std::size_t addr = (data[0] / 3) % addr_text_size; // 0 to 45 characters
    if (size < 1 + addr + 8)
        return 0;
    std::memcpy(ip_orig, data + 1, addr);
    ip_orig[addr] = '\0';
    long long t;
    std::memcpy(&t, data + 1 + addr, sizeof t);
    const uint8_t* payload = data + 1 + addr + 8;
    std::size_t n = size - 1 - addr - 8;
    if (n > msg_max)
        n = msg_max; // as the receive keeps at most 499 bytes
    std::memcpy(msg, payload, n);
    msg[n] = '\0';

    route(msg);
    sweep();

    std::time_t when = static_cast<std::time_t>(t);
    std::tm tm;
    if (localtime_r(&when, &tm) != nullptr) {
        char line[600];
        char name[listener_day_path_size];
        log_line(line, sizeof line, msg, tm);
        day_file_name(name, sizeof name, ip_orig, tm);
    }
    return 0;
}
