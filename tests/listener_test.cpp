// The listener's receive loop, router and display, driven in-process: the
// drops and clock steps it says, the sender it notes, the line it shows.
#include <gtest/gtest.h>

#include "fresh_state.h"

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>

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

// What any host sends is shown without a byte that could drive the terminal
// or split the line; what is text, accents included, is shown as sent. The
// edges of each range are tried on both sides.
TEST(ShownText, EscapesControlsAndBadUtf8KeepsText)
{
    struct { std::string msg, shown; } cases[] = {
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
    struct { std::uint32_t count; long long ms; bool said; } steps[] = {
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
