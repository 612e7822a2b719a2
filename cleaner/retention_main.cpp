// brannic-retention: the daily cleaning of the ovelsk service. Deletes every
// day file of the configuration's prefixes dated AGE or more days before
// today, however long ago (dates missed while the board was off included),
// and nothing else, then says what it did.
//
//   brannic-retention AGE CONFIGURATION
//
// Under the service, "today" is checked first: systemd gives the boot's
// identity (BRANNIC_BOOT) and a state directory (STATE_DIRECTORY), where
// the clocks of the last run are kept. A wall clock that ran ahead of the
// boot clock since the last run of the same boot deletes no more than the
// boot clock's time allows; the first run of a boot keeps each prefix's
// newest day file, as no clock can be checked there (run_clock.h).
//
// Standard output: one line per file deleted (or kept as its prefix's
// newest), then the summary, then the room the kept day files take and that
// left on their file systems. Standard error: what failed. Exit status 0
// when it did its job, 1 when the configuration could not be read, something
// could not be deleted or listed, the clock ran ahead or the clocks could
// not be kept, 2 when a setting is wrong: the service unit then shows as
// failed. brannic stays the operator's tool for one date.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cleaner.h"
#include "conf.h"
#include "day_file.h"
#include "run_clock.h"
#include "text.h"

// The age as the service's setting: digits only, so that a typo ("3O",
// "3 0", "1e3") is refused instead of read as the digits before it.
static bool service_age(const char* text, int& age)
{
    number_text n = read_number(text, static_cast<unsigned long long>(retention_age_max));
    if (*text < '0' || *text > '9' || *n.end != '\0' || n.over || n.value < 1)
        return false;
    age = static_cast<int>(n.value);
    return true;
}

// "YYYY-MM-DD HH:MM:SS" of a time, local.
static const char* clock_text(long long when, char (&out)[32])
{
    std::time_t t = static_cast<std::time_t>(when);
    std::tm tm;
    if (localtime_r(&t, &tm) == nullptr || std::strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        std::snprintf(out, sizeof out, "@%lld", when);
    return out;
}

int main(int argc, char** argv)
{
    static char path[conf_path_size];
    static char state[512];

    if (argc != 3) {
        std::fputs("usage: brannic-retention AGE CONFIGURATION\n", stderr);
        return 2;
    }
    // The settings are the service's (in /etc/default/ovelsk): said by their
    // names, with their limits.
    int age = 0;
    if (!service_age(argv[1], age)) {
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
    bool special = false;
    if (!init(path, &special)) {
        int err = errno;
        std::fflush(stdout);
        std::fprintf(stderr, "brannic-retention: %s: %s; nothing deleted\n", path,
                     special ? "not a regular file" : std::strerror(err));
        return 1;
    }

    // The clocks of this run, and the last run's when the service keeps them.
    run_clock now, last;
    now.wall_s = std::time(nullptr);
    struct timespec boot;
    clock_gettime(CLOCK_BOOTTIME, &boot);
    now.boot_s = boot.tv_sec;
    const char* dir = std::getenv("STATE_DIRECTORY");
    const char* id = std::getenv("BRANNIC_BOOT");
    bool guarded = dir != nullptr && id != nullptr && *id != '\0' && copy_text(now.boot, id) &&
                   std::snprintf(state, sizeof state, "%s/last-run", dir) < static_cast<int>(sizeof state);
    now.set = true;
    clock_verdict v;
    v.use_s = now.wall_s;
    if (guarded) {
        read_run_clock(state, last);
        v = judge_clock(last, now);
    }

    std::time_t when = static_cast<std::time_t>(v.use_s);
    retention_totals t;
    std::tm target;
    char date[day_date_size];
    if (!target_day(when, age, target) || !day_date(date, sizeof date, target) ||
        !retain(when, age, v.new_boot, t)) {
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
    std::fflush(stdout);

    int status = t.failed == 0 ? 0 : 1;
    if (guarded) {
        // The next run is judged by the time this one went by: a clock that
        // stays ahead goes on being caught until it is set right.
        run_clock kept = now;
        kept.wall_s = v.use_s;
        if (!write_run_clock(state, kept)) {
            std::fprintf(stderr, "brannic-retention: %s: %s: the next run cannot check the clock\n", state,
                         std::strerror(errno));
            status = 1;
        }
    }
    if (v.ahead) {
        char wall[32], used[32], was[32];
        long long d = now.wall_s - v.use_s;
        std::fprintf(stderr,
                     "brannic-retention: the clock reads %s, %lld d %02lld:%02lld:%02lld ahead of the "
                     "boot clock since the last run (%s): deleted as at %s; set the clock right\n",
                     clock_text(now.wall_s, wall), d / 86400, d / 3600 % 24, d / 60 % 60, d % 60,
                     clock_text(last.wall_s, was), clock_text(v.use_s, used));
        status = 1;
    }
    return status;
}
