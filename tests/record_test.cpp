// The record's promises, driven in-process on a clock the test sets: which
// day files are written to disk and when, how a day file a crash left is
// made whole, and how the console drops, counts and says what it could not
// show.
#include <gtest/gtest.h>

#include "fresh_state.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness.h"
#include "listener.h"

namespace {

// fdatasync, taken over for this binary: each call is recorded by the name
// of the file it syncs, and one whose name is failing_sync fails with EIO.
// ftruncate too: it fails with EIO while failing_truncate is set.
std::vector<std::string> synced;
std::string failing_sync;
bool failing_truncate;
bool short_pread; // pread reads nothing, as when the file shrank meanwhile

void reset()
{
    journal_reset();
    console_reset();
    synced.clear();
    failing_sync.clear();
    failing_truncate = false;
    short_pread = false;
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

static const bool fresh = kit::keep_fresh(reset);

namespace {

const time_t t0 = 1796637000;   // 7 December 2026 09:50 UTC
const std::string day = "2026_12_07";
const long long t = 5000000;    // milliseconds of the monotonic clock

// Each test runs in a directory of its own, in UTC.
class Record : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        old_ = getcwd(nullptr, 0);
        ASSERT_EQ(chdir(dir_.path.c_str()), 0);
    }
    void TearDown() override
    {
        EXPECT_EQ(chdir(old_), 0);
        free(old_);
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
    static std::vector<std::string> sorted(std::vector<std::string> v)
    {
        std::sort(v.begin(), v.end());
        return v;
    }
    kit::temp_dir dir_;
    char* old_ = nullptr;
};

using names = std::vector<std::string>;

// A file size limit for this process while it lives (its signal ignored, so
// that a write past it fails with EFBIG). It holds for every file written,
// the captured standard error too.
struct size_limit {
    explicit size_limit(rlim_t bytes) : ignored_(std::signal(SIGXFSZ, SIG_IGN))
    {
        getrlimit(RLIMIT_FSIZE, &old_);
        struct rlimit small = {bytes, old_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~size_limit()
    {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, ignored_);
    }
    struct rlimit old_;
    void (*ignored_)(int);
};

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
    EXPECT_EQ(sorted(synced), (names{"a_" + day + ".log", "b_" + day + ".log"}));
    EXPECT_FALSE(journal_sync(t + 9000)); // nothing waits
    EXPECT_EQ(synced.size(), 2u);

    // A flood: 4 MiB are synced a second after the last sync.
    const std::string flood(msg_max, 'f');
    for (std::size_t n = 0; n < sync_bytes; n += kit::logged_size(flood))
        journal_at(flood.c_str(), "a_", t0);
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
    sync_on_time(fd, timed, t);
    EXPECT_EQ(timeout(), 1000);
    sync_on_time(fd, timed, t + 4000);
    EXPECT_EQ(timeout(), 1000);
    sync_on_time(fd, timed, t + 5000);
    EXPECT_EQ(timeout(), 0);
    EXPECT_EQ(synced.size(), 1u);
    close(fd);
}

// A day file leaves the journal's hands only once synced: at midnight, and
// when a stranger's prefix takes the spare slot from another.
TEST_F(Record, SyncsAFileBeforeForgettingIt)
{
    const time_t midnight = 1796688000; // 8 December 2026 00:00 UTC
    file("late", "a_", midnight - 1);
    EXPECT_EQ(synced, names{});
    file("early", "a_", midnight + 1);
    EXPECT_EQ(synced, names{"a_" + day + ".log"});

    synced.clear();
    for (int i = 1; i < MAX_PREFIXES; ++i) // a_ holds the first slot
        file("x", "p" + std::to_string(i) + "_", midnight + 1);
    file("x", "stranger1_", midnight + 1);
    EXPECT_EQ(synced, names{});
    file("x", "stranger2_", midnight + 1);
    EXPECT_EQ(synced, names{"stranger1_2026_12_08.log"});
    EXPECT_TRUE(journal_sync(t));
    EXPECT_FALSE(journal_sync(t + 5000));
    ASSERT_EQ(synced.size(), 1u + MAX_PREFIXES + 1u);
    EXPECT_EQ(synced.back(), "stranger2_2026_12_08.log");
}

// A sync that fails is said once, not at every sync while it fails.
TEST_F(Record, SaysAFailingSyncOnce)
{
    failing_sync = "a_" + day + ".log";
    file("1", "a_");
    EXPECT_EQ(sync_at(t), "");
    EXPECT_EQ(sync_at(t + 5000), "listener: journal: " + failing_sync + ": sync: Input/output error\n");
    file("2", "a_");
    EXPECT_EQ(sync_at(t + 6000), "");
    EXPECT_EQ(sync_at(t + 11000), "");
    EXPECT_EQ(synced.size(), 2u);
}

// What a crash left at a day file's end is made whole before its first line
// of a run, and said; what is before it is never touched.
TEST_F(Record, RepairsWhatACrashLeftAtTheEnd)
{
    const std::string head = " 06/12/2026 23:00:00  ***  old  \n";
    struct {
        const char* name;
        std::string before, kept;
        std::vector<std::string> said;
        bool cut_fails = false;
        bool reads_short = false;
    } cases[] = {
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
        size_limit limit(kit::read_file(path).size() + 200);
        failing_truncate = true;
        said = file(std::string(300, 's').c_str(), "p_");
    }
    EXPECT_EQ(said, "listener: journal: " + path + ": part of a line written and not taken back\n");
}

namespace {

// Both streams taken over onto fd; and given back to stdio.
struct console_on {
    explicit console_on(int out, int err) { console_attach(out, err); }
    ~console_on() { console_reset(); }
};

std::string drained(int fd)
{
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<std::size_t>(n));
    return text;
}

void put(console& c, const std::string& text) { console_put(c, text.data(), text.size()); }

} // namespace

// A report never lands inside a display line on the same file: when the
// line is cut, the report is dropped, counted and said with the next, and
// why is said when the write failed rather than waited.
TEST_F(Record, KeepsReportsOutOfADisplayLineOnTheSameFile)
{
    int fd = open("console.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(fd, 0);
    const std::string shown = "H:10:00:00|from:127.0.0.1 | " + std::string(300, 'm') + "\"\n";
    {
        console_on on(fd, fd);
        put(out_console, shown); // gathered: standard output on a file goes in blocks
        {
            size_limit limit(100);
            put(err_console, "report 1\n"); // writes the block's first 100 bytes
        }
        put(err_console, "report 2\n");
    }
    close(fd);
    EXPECT_EQ(kit::read_file("console.txt"),
              shown + "listener: standard error: 1 reports not written: File too large\nreport 2\n");
}

// A stalled standard error drops and counts its reports, and says so with
// the next it can write.
TEST_F(Record, SaysWhatAStalledStandardErrorDropped)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    int full = fcntl(p[1], F_GETFL);
    fcntl(p[1], F_SETFL, full | O_NONBLOCK);
    const std::string page(4096, 'f');
    while (write(p[1], page.data(), page.size()) > 0)
        ;
    fcntl(p[1], F_SETFL, full);
    {
        console_on on(-1, p[1]);
        put(err_console, "report 1\n");
        put(err_console, "report 2\n");
        EXPECT_EQ(drained(p[0]).find("report"), std::string::npos);
        put(err_console, "report 3\n");
        EXPECT_EQ(drained(p[0]), "listener: standard error too slow: 2 reports not written\nreport 3\n");
        put(out_console, "shown\n"); // standard output was closed
    }
    close(p[0]);
    close(p[1]);
}

// A write bounded in time that starts only after the bound has passed (the
// listener paused between arming the timer and the write) is still cut.
TEST_F(Record, AWriteThatStartsAfterItsBoundIsStillCut)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    int flags = fcntl(p[1], F_GETFL);
    fcntl(p[1], F_SETFL, flags | O_NONBLOCK);
    const std::string page(4096, 'f');
    while (write(p[1], page.data(), page.size()) > 0)
        ;
    fcntl(p[1], F_SETFL, flags); // full, and blocking: a write waits for the reader
    std::atomic<bool> done{false};
    std::thread reader([&] { // should the write wait, the reader comes after 3 s
        for (int i = 0; i < 300 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        char buf[4096];
        if (!done)
            (void)read(p[0], buf, sizeof buf);
    });
    ASSERT_TRUE(arm_write_bound());
    auto paused = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
    while (std::chrono::steady_clock::now() < paused)
        ; // past the bound, without a system call its signal could cut
    auto started = std::chrono::steady_clock::now();
    ssize_t w = write(p[1], "x", 1);
    int err = errno;
    disarm_write_bound();
    auto took = std::chrono::steady_clock::now() - started;
    done = true;
    reader.join();
    EXPECT_EQ(w, -1);
    EXPECT_EQ(err, EINTR);
    EXPECT_LT(took, std::chrono::seconds(1));
    close(p[0]);
    close(p[1]);
}
