// brannic-retention: the daily cleaning of the ovelsk service. Deletes every
// day file of the configuration's prefixes dated AGE or more days before
// today, however long ago (dates missed while the board was off included),
// and nothing else, then says what it did in one line.
//
//   brannic-retention AGE CONFIGURATION
//
// Standard output: one line per file deleted, then the summary, then the
// room the kept day files take and that left on their file systems. Standard
// error: what failed. Exit status 0 when it did its job, 1 when the
// configuration could not be read or something could not be deleted or
// listed, 2 when a setting is wrong: the service unit then shows as failed.
// brannic stays the operator's tool for one date.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cleaner.h"
#include "conf.h"
#include "day_file.h"
#include "text.h"

int main(int argc, char** argv)
{
    static char path[conf_path_size];

    if (argc != 3) {
        std::fputs("usage: brannic-retention AGE CONFIGURATION\n", stderr);
        return 2;
    }
    // The settings are the service's (in /etc/default/ovelsk): said by their
    // names, with their limits.
    int age = 0;
    if (read_age(argv[1], age) != age_status::ok || age < 1 || age > retention_age_max) {
        std::fprintf(stderr,
                     "brannic-retention: BRANNIC_AGE '%s': a number of days from 1 to %lld is "
                     "needed; nothing deleted\n",
                     argv[1], retention_age_max);
        return 2;
    }
    if (!copy_text(path, argv[2]) || !is_log_ini(path)) {
        std::fprintf(stderr,
                     "brannic-retention: OVELSK_CONF '%s': a path of at most %zu characters ending "
                     "in log.ini is needed; nothing deleted\n",
                     argv[2], conf_path_size - 1);
        return 2;
    }
    if (!init(path)) {
        int err = errno;
        std::fflush(stdout);
        std::fprintf(stderr, "brannic-retention: %s: %s; nothing deleted\n", path, std::strerror(err));
        return 1;
    }

    std::time_t now = std::time(nullptr);
    retention_totals t;
    std::tm last;
    char date[day_date_size];
    if (!target_day(now, age, last) || !day_date(date, sizeof date, last) || !retain(now, age, t)) {
        std::fputs("brannic-retention: no local date for the clock's time; nothing deleted\n", stderr);
        return 1;
    }
    auto s = [](unsigned long n) { return n > 1 ? "s" : ""; }; // 0 and 1 take the singular
    std::printf("bilan : %lu effacé%s (daté%s du %s ou d'avant), %lu gardé%s, %lu laissé%s de côté",
                t.deleted, s(t.deleted), s(t.deleted), date, t.kept, s(t.kept), t.left_out, s(t.left_out));
    if (t.left_out > 0)
        std::printf(", le plus ancien : %s", t.oldest);
    std::puts("");
    // How much room the record takes, and what is left of each file system
    // it lies on: a record about to fill shows here before it does.
    std::printf("place : %lld Kio gardés", (t.kept_bytes + 1023) / 1024);
    for (int i = 0; i < t.n_rooms; ++i) {
        const record_room& r = t.rooms[i];
        std::printf(" ; %s : %lld Kio libres sur %lld Kio (%lld %%)", r.dir, r.free / 1024, r.total / 1024,
                    r.total > 0 ? r.free * 100 / r.total : 0);
    }
    std::puts("");
    return t.failed == 0 ? 0 : 1;
}
