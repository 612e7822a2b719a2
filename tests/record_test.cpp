// The record's promises, driven in-process on a clock the test sets: the log
// line and the local time that dates it, which day files are written to
// disk and when, how a day file a crash left is made whole, the room a
// flood may take, how a failure that lasts is said, and the stop.
#include <gtest/gtest.h>

#include "fresh_state.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "harness.h"
#include "journal.h"
#include "receive.h"

namespace {

// fdatasync, taken over for this binary: each call is recorded by the name
// of the file it syncs, and one whose name is failing_sync fails with EIO.
// ftruncate too: it fails with EIO while failing_truncate is set.
std::vector<std::string> synced;
std::string failing_sync;
bool failing_truncate;
bool short_pread; // pread reads nothing, as when the file shrank meanwhile
int writebacks;   // sync_file_range calls: writes to disk started early
long time_ahead;  // time() after its first call reads this much ahead
int time_calls;

void reset()
{
    journal_reset();
    floor_percent = floor_percent_default;
    day_max_bytes = 0;
    synced.clear();
    failing_sync.clear();
    failing_truncate = false;
    short_pread = false;
    writebacks = 0;
    time_ahead = 0;
    time_calls = 0;
    stop_signal = 0;
    i_name = i_ip = 0;
    aff = 0;
}

} // namespace

extern "C" int fdatasync(int fd)
{
    char link[32], path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path);
    std::string name = n > 0 ? std::string(path, static_cast<std::size_t>(n)) : "";
    name = name.substr(name.rfind('/') + 1);
    synced.push_back(name);
    if (name == failing_sync) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fdatasync, fd));
}

extern "C" int ftruncate(int fd, off_t length)
{
    if (failing_truncate) {
        errno = EIO;
        return -1;
    }
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    return truncate(link, length);
}

extern "C" ssize_t pread(int fd, void* buf, size_t n, off_t at)
{
    if (short_pread)
        return 0;
    if (lseek(fd, at, SEEK_SET) < 0)
        return -1;
    return read(fd, buf, n);
}

extern "C" int sync_file_range(int, off64_t, off64_t, unsigned int)
{
    ++writebacks;
    return 0;
}

// time(), taken over: as a clock stepped between the listener's start and
// its first datagram, while time_ahead is set.
extern "C" time_t time(time_t* out)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    time_t t = now.tv_sec + (time_ahead != 0 && time_calls++ > 0 ? time_ahead : 0);
    if (out != nullptr)
        *out = t;
    return t;
}

static const bool fresh = kit::keep_fresh(reset);

namespace {

const time_t t0 = 1796637000;   // 7 December 2026 09:50 UTC
const std::string day = "2026_12_07";
const long long t = 5000000;    // milliseconds of the monotonic clock

// Each test runs in a directory of its own, in UTC.
class Record : public kit::in_temp_dir {
protected:
    void SetUp() override
    {
        kit::in_temp_dir::SetUp();
        kit::use_tz("UTC");
    }
    // Files msg under prefix at when; returns what was said on standard error.
    static std::string file(const char* msg, const std::string& prefix, time_t when = t0)
    {
        testing::internal::CaptureStderr();
        journal_at(msg, prefix.c_str(), when);
        return testing::internal::GetCapturedStderr();
    }
    static std::string sync_at(long long now_ms)
    {
        testing::internal::CaptureStderr();
        journal_sync(now_ms);
        return testing::internal::GetCapturedStderr();
    }
};

using names = std::vector<std::string>;

} // namespace

// Each day file appended to is synced once when the first append is 5
// seconds old, and then nothing waits; the bytes that count towards a
// flood's early sync start again from nothing after each sync.
TEST_F(Record, SyncsEachFileAppendedToOnceWhenItsTimeIsUp)
{
    file("1", "a_");
    file("2", "a_");
    file("3", "b_");
    EXPECT_TRUE(journal_sync(t));
    EXPECT_TRUE(journal_sync(t + 4999));
    EXPECT_EQ(synced, names{});
    EXPECT_FALSE(journal_sync(t + 5000));
    std::sort(synced.begin(), synced.end());
    EXPECT_EQ(synced, (names{"a_" + day + ".log", "b_" + day + ".log"}));
    EXPECT_FALSE(journal_sync(t + 9000)); // nothing waits
    EXPECT_EQ(synced.size(), 2u);

    // A flood: 4 MiB are synced a second after the last sync; their write
    // to disk was started early, every 256 KiB.
    const std::string flood(msg_max, 'f');
    for (std::size_t n = 0; n < sync_bytes; n += kit::logged_size(flood))
        journal_at(flood.c_str(), "a_", t0);
    EXPECT_GE(writebacks, 15); // 4 MiB in steps of 256 KiB
    EXPECT_LE(writebacks, 16);
    EXPECT_FALSE(journal_sync(t + 10000));
    EXPECT_EQ(synced.size(), 3u);
    // One line more waits its 5 seconds, not the next second.
    file("4", "a_");
    EXPECT_TRUE(journal_sync(t + 11000));
    EXPECT_EQ(synced.size(), 3u);
    EXPECT_FALSE(journal_sync(t + 16000));
    EXPECT_EQ(synced.size(), 4u);
    std::string text = kit::read_file("a_" + day + ".log");
    EXPECT_EQ(kit::masked(text.substr(0, 2 * kit::logged_size("1"))), kit::logged("1") + kit::logged("2"));

    // A sync that fails is said once, not at every sync while it fails.
    failing_sync = "b_" + day + ".log";
    file("5", "b_");
    EXPECT_EQ(sync_at(t + 22000), "");
    EXPECT_EQ(sync_at(t + 27000), "listener: journal: " + failing_sync + ": sync: Input/output error\n");
    file("6", "b_");
    EXPECT_EQ(sync_at(t + 28000), "");
    EXPECT_EQ(sync_at(t + 33000), ""); // failing still: not said again

    // A day file leaves the journal's hands only once synced: at midnight.
    synced.clear();
    const time_t midnight = 1796688000; // 8 December 2026 00:00 UTC
    file("late", "c_", midnight - 1);
    EXPECT_EQ(synced, names{});
    file("early", "c_", midnight + 1);
    EXPECT_EQ(synced, names{"c_" + day + ".log"});
}

// The receive waits at most a second while appends wait, and for ever once
// none do.
TEST_F(Record, TheReceiveTimesOutOnlyWhileAppendsWait)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    auto timeout = [fd] {
        struct timeval tv = {};
        socklen_t len = sizeof tv;
        getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
        return tv.tv_sec * 1000 + tv.tv_usec / 1000;
    };
    bool timed = false;
    sync_on_time(fd, timed, t);
    EXPECT_EQ(timeout(), 0);
    file("1", "a_");
    struct { long long now; long ms; } steps[] = {{t, 1000}, {t + 4000, 1000}, {t + 5000, 0}};
    for (auto& s : steps) {
        sync_on_time(fd, timed, s.now);
        EXPECT_EQ(timeout(), s.ms) << s.now - t;
    }
    EXPECT_EQ(synced.size(), 1u);
    close(fd);
}

// What a day file is, is looked at again after a minute; a failure that
// lasts is said again after a minute (or when the clock goes back) with what
// it cost so far, and its end is said too.
TEST_F(Record, LooksAgainAndRepeatsAFailureOncePerMinute)
{
    const std::string path = "minute_" + day + ".log";
    const std::string said = "listener: journal: " + path + ": not a regular file";
    EXPECT_EQ(file("a", "minute_", t0), "");
    ASSERT_EQ(unlink(path.c_str()), 0);
    // A FIFO with a reader where the day file was: it opens like a file.
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(file("b", "minute_", t0 + 30), ""); // not looked at within the minute
    EXPECT_EQ(file("c", "minute_", t0 + 61), said + "\n");
    EXPECT_EQ(file("d", "minute_", t0 + 90), "");
    EXPECT_EQ(file("e", "minute_", t0 + 121), said + " (3 messages not filed so far)\n");
    EXPECT_EQ(file("f", "minute_", t0 + 100), said + " (4 messages not filed so far)\n");
    close(reader);
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_EQ(file("g", "minute_", t0 + 130),
              "listener: journal: " + path + ": filing again after 4 messages not filed\n");
    EXPECT_EQ(kit::masked(kit::read_file(path)), kit::logged("g"));
}

// What a crash left at a day file's end is made whole before its first line
// of a run, and said; what is before it is never touched.
TEST_F(Record, RepairsWhatACrashLeftAtTheEnd)
{
    const std::string head = " 06/12/2026 23:00:00  ***  old  \n";
    struct { const char* name; std::string before, kept; std::vector<std::string> said;
             bool cut_fails = false; bool reads_short = false; } cases[] = {
        {"whole", head, head, {}},
        {"a long run of NUL bytes", head + std::string(10000, '\0'), head,
         {"10000 NUL bytes left by a crash removed"}},
        {"a partial line", head + " 07/12", head + " 07/12\n",
         {"partial line left by a crash ended with a newline"}},
        {"a partial line, then NUL bytes", head + "x" + std::string(5000, '\0'), head + "x\n",
         {"5000 NUL bytes left by a crash removed", "partial line left by a crash ended with a newline"}},
        {"NUL bytes only", std::string(6000, '\0'), "", {"6000 NUL bytes left by a crash removed"}},
        {"NUL bytes that cannot be cut", head + std::string(100, '\0'), head + std::string(100, '\0'),
         {"100 NUL bytes left by a crash not removed: Input/output error"}, true},
        {"an end that reads short", head + "x", head + "x",
         {"end not readable: fewer bytes read than its size holds"}, false, true},
    };
    int i = 0;
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string prefix = "r" + std::to_string(i++) + "_";
        std::string path = prefix + day + ".log";
        kit::write_file(path, c.before);
        std::string said;
        for (auto& line : c.said)
            said += "listener: journal: " + path + ": " + line + "\n";
        failing_truncate = c.cut_fails;
        short_pread = c.reads_short;
        EXPECT_EQ(file("new", prefix), said);
        failing_truncate = false;
        short_pread = false;
        EXPECT_EQ(kit::masked(kit::read_file(path)), kit::masked(c.kept) + kit::logged("new"));
    }
}

// A day file that can be written and not read is appended to, unrepaired.
TEST_F(Record, AppendsToAWriteOnlyDayFile)
{
    ASSERT_EQ(chmod(".", 0755), 0);
    std::string path = "w_" + day + ".log";
    kit::write_file(path, "x");
    ASSERT_EQ(chmod(path.c_str(), 0200), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    }
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        journal_at("wo", "w_", t0);
        _exit(0);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    EXPECT_EQ(kit::masked(kit::read_file(path)), "x" + kit::logged("wo"));
}

// A line the file takes only part of, and that cannot be taken back, is
// said (faults_e2e tries the take-back on a full disk).
TEST_F(Record, SaysAPartLineItCouldNotTakeBack)
{
    const std::string path = "p_" + day + ".log";
    // The line is long enough for the report to fit below the limit.
    file("first", "p_"); // the first open of the run, which looks at the end
    std::string said;
    {
        kit::file_size_limit limit(kit::read_file(path).size() + 200);
        failing_truncate = true;
        said = file(std::string(300, 's').c_str(), "p_");
    }
    EXPECT_EQ(said, "listener: journal: " + path + ": part of a line written and not taken back\n");
}

// The room the record may take, on a small file system. A flood never takes
// the floor of free space, nor a day file past its bound; every line stays
// whole, each message not filed is counted, and another prefix files on.
// Said when it begins, once a minute while it lasts, and when it ends: at
// the next second once room was freed, or the next day.
TEST_F(Record, KeepsTheFloorAndTheDayBound)
{
    kit::small_disk disk(dir_.file("disk"), 1024);
    if (!disk.ok)
        GTEST_SKIP() << "a small file system needs root";
    const std::string flood(msg_max, 'f');
    const std::size_t line = kit::logged_size(flood);
    const int sent = 3000; // 1.5 MiB of lines
    struct {
        const char* name;
        int floor;            // percent
        long long bound;      // bytes
        const char* prefix;
        time_t again;         // when room is back: the flood's file removed, or the next day
        std::string why;
    } cases[] = {
        {"the floor", 5, 0, "disk/f_", t0 + 62,
         " KiB free of 1024 KiB, below the floor of 51 KiB (5 %) kept free for the rest of the system"},
        {"the day bound", 0, 1 << 20, "b_", t0 + 86400,
         "not filed: the day file reached its bound of 1 MiB; the prefix files again the next day"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        journal_reset();
        floor_percent = c.floor;
        day_max_bytes = c.bound;
        const std::string path = c.prefix + day + ".log";
        const std::string other = std::string("o_") + c.name[4] + "_";
        int filed = 0;
        std::string said;
        testing::internal::CaptureStderr();
        for (int i = 0; i < sent; ++i) {
            filed += journal_at(flood.c_str(), c.prefix, t0) == 0;
            journal_at("other", other.c_str(), t0);
        }
        said = testing::internal::GetCapturedStderr();
        std::string text = kit::read_file(path);
        EXPECT_EQ(text.size(), filed * line);
        EXPECT_EQ(text.find_first_not_of(" 0123456789/:*f\n"), std::string::npos);
        struct statvfs v;
        ASSERT_EQ(statvfs(disk.dir.c_str(), &v), 0);
        long long free_bytes = static_cast<long long>(v.f_bavail * v.f_frsize);
        if (c.floor > 0)
            c.why = "not filed: " + std::to_string(free_bytes / 1024) + c.why;
        EXPECT_EQ(said, "listener: journal: " + path + ": " + c.why + "\n");
        if (c.floor > 0) {
            long long floor = static_cast<long long>(v.f_blocks * v.f_frsize) / 100 * c.floor;
            EXPECT_GE(free_bytes, floor);
            EXPECT_LT(free_bytes, floor + 2 * 4096); // and files up to it
        } else {
            EXPECT_EQ(filed, static_cast<int>((1 << 20) / line));
        }
        // Once a minute, with what it cost so far; room freed within the
        // second is seen from the next.
        EXPECT_EQ(file(flood.c_str(), c.prefix, t0 + 61),
                  "listener: journal: " + path + ": " + c.why + " (" + std::to_string(sent - filed + 1) +
                      " messages not filed so far)\n");
        if (c.floor > 0) {
            ASSERT_EQ(unlink(path.c_str()), 0);
            EXPECT_EQ(file(flood.c_str(), c.prefix, t0 + 61), ""); // not read again within the second
        }
        const std::string now_path = c.prefix + kit::local_text("%Y_%m_%d", c.again, "UTC") + ".log";
        EXPECT_EQ(file(flood.c_str(), c.prefix, c.again),
                  "listener: journal: " + now_path + ": filing again after " +
                      std::to_string(sent - filed + 1 + (c.floor > 0)) + " messages not filed\n");
        EXPECT_EQ(kit::masked(kit::read_file(now_path)), kit::logged(flood));
        EXPECT_EQ(kit::read_file(other + day + ".log").size(), sent * kit::logged_size("other"));
    }
}

// A stop files the queue and syncs what it filed before the listener ends;
// a clock step between the start and the first datagram is said with it.
TEST_F(Record, AStopSyncsWhatItFiledAndSaysAStepSinceTheStart)
{
    int port = 0;
    int fd = kit::udp_socket_on(INADDR_LOOPBACK, port);
    ASSERT_GE(fd, 0);
    i_name = 1;
    std::strcpy(site[0], "Q");
    std::strcpy(name_site[0], "q_");
    kit::send_to(port, kit::numbered('Q', 0)); // one: its clock is the first after the start
    time_ahead = 3600;
    stop_signal = SIGTERM; // the stop came before the first receive
    testing::internal::CaptureStderr();
    EXPECT_EQ(serve(fd, 0), SIGTERM);
    std::string said = testing::internal::GetCapturedStderr();
    close(fd);
    EXPECT_EQ(said.find("listener: the clock stepped forward by 3600 s"), 0u) << said;
    EXPECT_NE(said.find("listener: SIGTERM: 1 queued messages filed before stopping\n"), std::string::npos) << said;
    ASSERT_EQ(synced.size(), 1u);
    EXPECT_EQ(synced[0].substr(0, 2), "q_");
    EXPECT_EQ(kit::read_file(synced[0]).size(), kit::logged_size(kit::numbered('Q', 0)));
}

// Every prefix the tables can hold has a day file of its own; a link put
// where a day file was is not followed by its sync.
TEST_F(Record, FilesEveryPrefixAndSyncsNoLinkedFile)
{
    for (int i = 0; i < MAX_PREFIXES; ++i) {
        file("m", "p" + std::to_string(i) + "_");
        EXPECT_TRUE(kit::exists("p" + std::to_string(i) + "_" + day + ".log")) << i;
    }
    journal_reset();
    file("x", "l_");
    kit::write_file("other", "kept\n");
    ASSERT_EQ(unlink(("l_" + day + ".log").c_str()), 0);
    ASSERT_EQ(symlink("other", ("l_" + day + ".log").c_str()), 0);
    EXPECT_EQ(sync_at(t), "");
    EXPECT_EQ(sync_at(t + 5000), "listener: journal: l_" + day + ".log: sync: Too many levels of symbolic links\n");
    EXPECT_EQ(synced, names{});
}

TEST(LogLine, IsStampStarsMessageBlanks)
{
    kit::use_tz("UTC");
    const std::string stamp = " 07/12/2026 09:50:00  ***  ";
    struct { time_t t; std::string msg; std::string line; } cases[] = {
        {1796637000, "PUMP 3 ALARM", stamp + "PUMP 3 ALARM  \n"},
        {1796637000, "", stamp + "  \n"},
        {1796637000, "two\nlines", stamp + "two\nlines  \n"},
        {1796637000, std::string(499, 'm'), stamp + std::string(499, 'm') + "  \n"},
        // After 19 January 2038 03:14:07 UTC, where a 32-bit clock ends.
        {static_cast<time_t>(2147483648LL), "late", " 19/01/2038 03:14:08  ***  late  \n"},
    };
    char out[600];
    std::tm when;
    for (auto& c : cases) {
        localtime_r(&c.t, &when);
        std::size_t n = log_line(out, sizeof out, c.msg.c_str(), when);
        EXPECT_EQ(std::string(out, n), c.line);
    }
    EXPECT_EQ(log_line(out, 30, "PUMP 3 ALARM", when), 0u); // too small: refused, not cut
}

// After the system's zone changes (a new /etc/localtime, as set-timezone
// makes), the listener follows within a minute and without a look per
// message. Done in a child with a private mount namespace, where another
// zone file is mounted over /etc/localtime; needs root.
TEST(LocalTime, FollowsAChangeOfTheSystemZoneWithinAMinute)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a zone over /etc/localtime needs root";
    pid_t pid = fork();
    if (pid == 0) {
        auto zone = [](const char* name) {
            std::string file = std::string("/usr/share/zoneinfo/") + name;
            return mount(file.c_str(), "/etc/localtime", nullptr, MS_BIND, nullptr) == 0;
        };
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || !zone("Etc/GMT-14"))
            _exit(77);
        unsetenv("TZ");
        const time_t t0 = 1796637000; // 7 December 2026 09:50 UTC
        std::tm tm;
        if (!local_time(t0, tm) || tm.tm_hour != 23 || tm.tm_mday != 7)
            _exit(1); // UTC+14
        if (!zone("Etc/GMT+12"))
            _exit(77);
        if (!local_time(t0 + 30, tm) || tm.tm_hour != 23)
            _exit(2); // not looked at again within the minute
        if (!local_time(t0 + 61, tm) || tm.tm_hour != 21 || tm.tm_mday != 6)
            _exit(3); // UTC-12, the day before
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: first zone, 2: looked too soon, 3: change missed";
}

// The appends are written to disk when the first of them is 5 seconds old,
// or sooner when 4 MiB wait, never within a second of the last sync (what
// is synced, and when, is tried in record_test).
TEST(JournalSync, WithinFiveSecondsOrAt4MiBNeverWithinASecond)
{
    const std::size_t mib4 = sync_bytes;
    struct { long long now, last, since; std::size_t bytes; bool due; } cases[] = {
        {5000, 0, 0, 100, true},       // the first append is 5 seconds old
        {4999, 0, 0, 100, false},
        {5000, 4500, 0, 100, false},   // within a second of the last sync
        {2000, 0, 1500, mib4, true},   // 4 MiB wait
        {2000, 0, 1500, mib4 - 1, false},
        {900, 0, 100, mib4, false},    // 4 MiB, but within the second
        {100, 5000, 100, 0, true},     // a clock that went back holds nothing off
    };
    for (auto& c : cases)
        EXPECT_EQ(sync_due(c.now, c.last, c.since, c.bytes), c.due)
            << c.now << " after " << c.last << ", waiting since " << c.since << ", " << c.bytes;
}
