// The listener's reader, receive loop, router, display and log line, driven
// in-process.
#include <gtest/gtest.h>

#include "fresh_state.h"

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "display.h"
#include "harness.h"
#include "journal.h"
#include "listener.h"
#include "receive.h"
#include "route.h"

static void reset()
{
    journal_reset();
    forget_sender();
}
static const bool fresh = kit::keep_fresh(reset);

using rules = std::vector<std::pair<std::string, std::string>>;

namespace {

struct read_result {
    std::string out;
    int mode;
    rules content;
    rules source;
};

read_result read_config(const std::string& text)
{
    kit::temp_dir dir;
    kit::write_file(dir.file("log.ini"), text);
    aff = 1;
    i_name = i_ip = 0;
    testing::internal::CaptureStdout();
    init(dir.file("log.ini").c_str());
    read_result r;
    r.out = testing::internal::GetCapturedStdout();
    r.mode = aff;
    for (int i = 0; i < i_name; ++i)
        r.content.emplace_back(site[i], name_site[i]);
    for (int i = 0; i < i_ip; ++i)
        r.source.emplace_back(ad_ip[i], name_ad_ip[i]);
    return r;
}

const std::string opened = "il y a un fichier log.ini\n";
const std::string display = "il y a un parametre d'affichage\n";

std::string many_rules(int n, char kind) { return kit::rule_lines(0, n, kind); }

} // namespace

TEST(ListenerReader, BuildsTablesAndModeFromTheLines)
{
    std::string l100(100, 'x');
    struct {
        const char* name;
        std::string text;
        std::string out;
        int mode;
        rules content;
        rules source;
    } cases[] = {
        {"rules and comment",
         "' a comment = c_\nALARM = /var/log/my_log/alarm_\n192.168.1. : lan_\n"
         "affichage * S\n",
         opened + display + "seul les selectionnées sont affichés\n", 2,
         {{"ALARM", "/var/log/my_log/alarm_"}}, {{"192.168.1.", "lan_"}}},
        {"CRLF lines, no final line end", "A = a_\r\nB : b_\r\naffichage * R",
         opened + display + "rien n'est affiché\n", 0, {{"A", "a_"}}, {{"B", "b_"}}},
        {"blank before the apostrophe is no comment", " 'x = y_\n", opened, 1,
         {{"'x", "y_"}}, {}},
        {"kind glued to the key is ignored", "ALARM=/x_\n* T\nALARM =/y_\n", opened, 1,
         {{"ALARM", "/y_"}}, {}},
        {"empty prefix, extra words", "ALARM =\nPUMP = p_ extra\n", opened, 1,
         {{"ALARM", ""}, {"PUMP", "p_"}}, {}},
        {"unknown letter, then the last setting wins",
         "a * x\nb * T\nc * Selection\n",
         opened + display + display + "tout est affiché\n" + display +
             "seul les selectionnées sont affichés\n",
         2, {}, {}},
        {"every limit exactly reached",
         std::string(39, 'k') + " = " + std::string(24, 'p') + "\n" + std::string(24, 's') +
             " : q_\n" + "C = c_ " + std::string(92, 'w') + "\r\n",
         opened, 1,
         {{std::string(39, 'k'), std::string(24, 'p')}, {"C", "c_"}},
         {{std::string(24, 's'), "q_"}}},
        // What does not fit is skipped whole with a line saying why, and the
        // lines around it are read as usual.
        {"each limit passed",
         "A = a_\n" + l100 + " = z_\n" + std::string(40, 'k') + " = k_\n" +
             std::string(25, 's') + " : s_\n" + "P = " + std::string(25, 'p') + "\n" +
             "B : b_\n" + std::string(100, ' ') + "\r\n'" + std::string(150, 'c') + "\n",
         opened + "ligne 2 ignorée : plus de 99 caractères\n" +
             "ligne 3 ignorée : clé de plus de 39 caractères\n" +
             "ligne 4 ignorée : clé de plus de 24 caractères pour une règle d'adresse\n" +
             "ligne 5 ignorée : préfixe de plus de 24 caractères\n" +
             "ligne 7 ignorée : plus de 99 caractères\n",
         1, {{"A", "a_"}}, {{"B", "b_"}}},
    };
    for (auto& c : cases) {
        read_result r = read_config(c.text);
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.mode, c.mode) << c.name;
        EXPECT_EQ(r.content, c.content) << c.name;
        EXPECT_EQ(r.source, c.source) << c.name;
    }
}

TEST(ListenerReader, SkipsTheTwentySixthRuleOfEachKind)
{
    read_result r = read_config(many_rules(26, '=') + many_rules(26, ':'));
    EXPECT_EQ(r.out, opened + "ligne 26 ignorée : plus de 25 règles de contenu\n" +
                         "ligne 52 ignorée : plus de 25 règles d'adresse\n");
    ASSERT_EQ(r.content.size(), 25u);
    ASSERT_EQ(r.source.size(), 25u);
    EXPECT_EQ(r.content[24].first, "k24");
    EXPECT_EQ(r.source[24].second, "p24_");
}

// A configuration that cannot be opened leaves the tables and the mode as
// they were; one that opens and cannot be read says so and holds no rule.
TEST(ListenerReader, SaysAFileItCannotOpenOrRead)
{
    kit::temp_dir dir;
    ASSERT_EQ(mkdir(dir.file("log.ini").c_str(), 0755), 0);
    // A regular file whose first read fails: this process's memory at 0.
    ASSERT_EQ(symlink("/proc/self/mem", dir.file("mem-log.ini").c_str()), 0);
    const std::string missing = "le fichier d initialisation indiqué  n'existe pas\n";
    struct { std::string path, said, err; int rules; } cases[] = {
        {"/nonexistent/dir/log.ini", missing, "", 3},
        {dir.file("log.ini"), missing,
         "listener: configuration '" + dir.file("log.ini") + "': not a regular file: read as missing\n", 3},
        {dir.file("mem-log.ini"), opened + "ligne 1 : lecture impossible : Input/output error\n", "", 0},
    };
    for (auto& c : cases) {
        aff = 1;
        i_name = 3;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        init(c.path.c_str());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.said);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(aff, 1);
        EXPECT_EQ(i_name, c.rules);
    }
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

// What any host sends is shown without a byte that could drive the terminal
// or split the line; what is text, accents included, is shown as sent. The
// edges of each range are tried on both sides.
TEST(ShownText, EscapesControlsAndBadUtf8KeepsText)
{
    struct {
        std::string msg, shown;
    } cases[] = {
        {"PUMP 3 ALARM\tok ~", "PUMP 3 ALARM\tok ~"},
        {"\x01\x1b[2J\r\n\x1f\x7f", "\\x01\\x1b[2J\\x0d\\x0a\\x1f\\x7f"},
        {"été ☃ 𝄞 \xc2\xa0", "été ☃ 𝄞 \xc2\xa0"},                  // 2, 3, 4 bytes; NBSP
        {"\xc2\x80\xc2\x9b\xc2\x9f", "\\xc2\\x80\\xc2\\x9b\\xc2\\x9f"}, // C1: U+0080 to U+009F
        {"\xc3(\x80\xff\xc0\xaf", "\\xc3(\\x80\\xff\\xc0\\xaf"},     // bad lead, lone tail
        {"\xe0\x80\xaf\xed\xa0\x80", "\\xe0\\x80\\xaf\\xed\\xa0\\x80"}, // overlong, surrogate
        {"\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},                   // U+10FFFF, the last
        {"\xf4\x90\x80\x80\xe2\x98", "\\xf4\\x90\\x80\\x80\\xe2\\x98"}, // past U+10FFFF, cut
        {"\xf5\x80\x80\x80\xf7\xbf\xbf\xbf", // leads past U+10FFFF
         "\\xf5\\x80\\x80\\x80\\xf7\\xbf\\xbf\\xbf"},
        {"", ""},
    };
    char out[shown_max];
    for (auto& c : cases) {
        std::size_t n = 0;
        EXPECT_TRUE(escape_message(out, sizeof out, c.msg.c_str(), n)) << c.msg;
        EXPECT_EQ(std::string(out, n), c.shown) << c.msg;
    }
    // The longest message escaped whole fits; one byte less room does not.
    std::string esc(msg_max, '\x1b');
    std::size_t n = 0;
    EXPECT_TRUE(escape_message(out, 4 * msg_max, esc.c_str(), n));
    EXPECT_EQ(n, 4 * msg_max);
    EXPECT_FALSE(escape_message(out, 4 * msg_max - 1, esc.c_str(), n));
}

// The kernel's drop count is said when it first grows, at most once a minute
// while it grows, and with the total after a quiet second; never while
// nothing is dropped.
TEST(Drops, SaidAtFirstOnceAMinuteAndWithTheTotalAfterAQuietSecond)
{
    struct {
        std::uint32_t count;
        long long ms;
        bool said;
    } steps[] = {
        {0, 1000, false},  {5, 1010, true},   {9, 1020, false}, {9, 1030, false},
        {9, 2030, true},   {9, 3200, false},  {12, 3300, false},
        {20, 4400, true}, // after a quiet second, what the flood's end dropped
        {20, 4500, false},
    };
    drop_watch w;
    for (auto& s : steps)
        EXPECT_EQ(drops_due(w, s.count, s.ms), s.said) << s.count << " at " << s.ms;
    // Growing without a quiet second: said again a minute after the last.
    int said = 0;
    long long ms = 4500;
    for (std::uint32_t count = 21; ms < 4400 + drops_every_ms + 400; ++count)
        said += drops_due(w, count, ms += 500) ? 1 : 0;
    EXPECT_EQ(said, 1);
    EXPECT_EQ(w.said_ms, 64500); // the first datagram a minute or more after 4400

    // After a quiet second the kernel's own count, which holds what was
    // dropped after the last datagram received, is said if it grew.
    drop_watch q;
    EXPECT_FALSE(drops_settled(q, 0, 1000));
    EXPECT_TRUE(drops_settled(q, 700, 2000));
    EXPECT_FALSE(drops_settled(q, 700, 3000));
    EXPECT_FALSE(drops_due(q, 700, 3100)); // and not again by the next datagram
}

// A step of the wall clock against the monotonic one, of a minute or more
// either way, is said once; what is less is not.
TEST(ClockStep, SaidWhenTheWallClockMovesAMinuteAgainstTheOther)
{
    struct { long long wall, mono_ms, step; } steps[] = {
        {1000, 5000, 0},             // the first sets where the clocks stand
        {1054, 6000, 0},             // 53 s forward
        {1061, 6000, 60},            // a minute
        {1115, 7000, 0},
        {1000, 8000, -63},           // back
        {1000 + 259200, 8000, 259200}, // three days on, as the network time comes
        {1000 + 259200, 9000, 0},
        {260142, 10000, -60},        // exactly a minute back, since the last said
        {260202, 11000, 0},          // 59 s on: not yet
        {260204, 12000, 60},         // and one more: a minute since the last said
    };
    clock_watch w;
    for (auto& s : steps)
        EXPECT_EQ(clock_step(w, s.wall, s.mono_ms), s.step) << s.wall << " at " << s.mono_ms;
}

// A sender whose address text is longer than 24 characters is shown whole and
// matched on its whole text.
class Route : public kit::in_temp_dir {};

TEST_F(Route, HoldsALongIPv6SenderTextWhole)
{
    struct sockaddr_storage from = {};
    auto* a6 = reinterpret_cast<struct sockaddr_in6*>(&from);
    a6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, "2001:db8:aaaa:bbbb:cccc:dddd:eeee:1234", &a6->sin6_addr);
    note_sender(from);
    EXPECT_STREQ(ip_orig, "2001:db8:aaaa:bbbb:cccc:dddd:eeee:1234");

    // The text is made again for each sender other than the last: the
    // first four bytes of an IPv6 address are no IPv4 address.
    struct { sa_family_t family; const char* text; } senders[] = {
        {AF_INET, "10.0.0.1"}, {AF_INET, "10.0.0.1"}, {AF_INET, "10.0.0.12"},
        {AF_INET6, "a00:1::"}, {AF_INET6, "a00:1::1"}, {AF_INET, "10.0.0.1"},
    };
    for (auto& c : senders) {
        struct sockaddr_storage s = {};
        s.ss_family = c.family;
        auto* sa = reinterpret_cast<struct sockaddr*>(&s);
        ASSERT_EQ(inet_pton(c.family, c.text, get_in_addr(sa)), 1);
        note_sender(s);
        EXPECT_STREQ(ip_orig, c.text);
    }
    note_sender(from);

    aff = 2;
    i_name = 0;
    i_ip = 1;
    strcpy(ad_ip[0], "eeee:1234"); // lies past the 24th character
    strcpy(name_ad_ip[0], "v6_");
    testing::internal::CaptureStdout();
    route("hello");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("|from:2001:db8:aaaa:bbbb:cccc:dddd:eeee:1234 | hello\"\n"),
              std::string::npos)
        << out;
    std::string date = kit::local_text("%Y_%m_%d", time(nullptr), "UTC");
    EXPECT_NE(kit::read_file("v6_" + date + ".log").find("***  hello  \n"), std::string::npos);

    // The longest display line, shown whole: an address text of 45
    // characters and 499 bytes that are all escaped.
    std::memset(ip_orig, 'f', addr_text_size - 1);
    ip_orig[addr_text_size - 1] = '\0';
    aff = 1;
    i_ip = 0;
    testing::internal::CaptureStdout();
    route(std::string(msg_max, '\x01').c_str());
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.size(), 2 + 8 + 6 + (addr_text_size - 1) + 3 + 4 * msg_max + 2);
    i_ip = 0;
}

static std::atomic<int> interrupted{0};

// A signal that interrupts the wait does not end the listener: the receive is
// simply tried again.
TEST(Receive, RetriesWhenASignalInterruptsTheWait)
{
    struct sigaction sa = {};
    sa.sa_handler = [](int) { interrupted = 1; };
    sa.sa_flags = 0; // no SA_RESTART: the wait fails with EINTR
    struct sigaction old;
    sigaction(SIGUSR1, &sa, &old);

    int port = 0;
    int fd = kit::udp_socket_on(INADDR_LOOPBACK, port);

    ssize_t got = -2;
    char buf[msg_max + 1];
    std::thread waiter([&] {
        struct sockaddr_storage from;
        std::uint32_t dropped = 0;
        got = receive(fd, buf, msg_max, from, dropped, 0);
    });
    pthread_t th = waiter.native_handle();
    // Several signals over 100 ms: most land while the thread waits.
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        pthread_kill(th, SIGUSR1);
    }
    ASSERT_TRUE(interrupted);
    kit::send_to(port, "after the signal");
    waiter.join();
    EXPECT_EQ(got, 16);
    EXPECT_EQ(std::string(buf, 16), "after the signal");
    close(fd);
    sigaction(SIGUSR1, &old, nullptr);
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
