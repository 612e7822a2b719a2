// The sender as a real process, sending to 127.0.0.1 only.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

using namespace kit;

namespace {

// A UDP socket on 127.0.0.1 that collects what the sender sends.
struct receiver {
    int port = 0;
    int fd = udp_socket_on(INADDR_LOOPBACK, port);
    ~receiver() { close(fd); }
    // The next datagram, or nothing within the wait.
    std::optional<std::string> next(int wait_ms = 2000)
    {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, wait_ms) <= 0)
            return std::nullopt;
        char buf[2048];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        return std::string(buf, static_cast<std::size_t>(n < 0 ? 0 : n));
    }
};

} // namespace

TEST(SenderE2E, SendsTheTextByteForByte)
{
    temp_dir dir;
    receiver r;
    std::string p = std::to_string(r.port);
    struct { std::string port; std::string text; } cases[] = {
        {p, "PUMP 3 ALARM"},
        {p, "  blanks  kept  "},
        {p, ""},                       // an empty datagram
        {p, "état : arrêt\tpompe"},    // UTF-8 and a tab, untouched
        {p, std::string(99, 'c')},     // the longest text
        {p + "abc", "port read like %d"},
        {" +" + p, "leading blank and sign"},
    };
    for (auto& c : cases) {
        std::string out, err;
        EXPECT_EQ(run("pelmok", {"127.0.0.1", c.port, c.text}, dir.path, &out, &err), 0) << err;
        EXPECT_EQ(out + err, "");
        EXPECT_EQ(r.next(), std::optional<std::string>(c.text)) << c.text;
    }
}

TEST(SenderE2E, RefusesWithAMessageAndSendsNothing)
{
    temp_dir dir;
    receiver r;
    std::string p = std::to_string(r.port);
    const std::string usage = "usage: " + program("pelmok") + " destination port 'chaine de commande'\n";
    struct { std::vector<std::string> args; std::string err; } cases[] = {
        {{}, usage},
        {{"127.0.0.1", p}, usage},
        {{"127.0.0.1", p, "a", "b"}, usage},
        {{"bad..host", p, "x"}, "unknown host bad..host\n"},
        {{"256.1.1.1", "abc", "x"}, "unknown host 256.1.1.1\n"}, // the host is checked first
        {{"127.0.0.1", "abc", "x"}, "invalid port abc\n"},
        {{"127.0.0.1", "", "x"}, "invalid port \n"},
        {{"127.0.0.1", "70000", "x"}, "invalid port 70000\n"},
        {{"127.0.0.1", "-5", "x"}, "invalid port -5\n"},
        {{"127.0.0.1", p, std::string(100, 'c')},
         "command text too long: 100 bytes, at most 99; nothing sent\n"},
        {{"127.0.0.1", "0", "x"}, "sendto: Invalid argument\n"}, // the send itself fails
    };
    for (auto& c : cases) {
        std::string out, err;
        EXPECT_EQ(run("pelmok", c.args, dir.path, &out, &err), 1);
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, c.err);
    }
    EXPECT_EQ(r.next(200), std::nullopt);
}

// The whole road: pelmok sends, ovelsk files, the day file holds the line.
// The destination is an address, or a name from /etc/hosts: the static armhf
// build looks it up without the C library's plugins.
TEST(SenderE2E, TheListenerFilesWhatTheSenderSends)
{
    for (std::string dest : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(dest);
        temp_dir dir;
        write_file(dir.file("log.ini"), "affichage * S\nALARM = al_\n");
        listener l(dir.path, {dir.file("log.ini")});
        EXPECT_EQ(run("pelmok", {dest, std::to_string(l.port), "PUMP 3 ALARM"}, dir.path, nullptr, nullptr), 0);
        ASSERT_TRUE(l.wait_shown(shown_line("PUMP 3 ALARM")));
        EXPECT_EQ(masked(read_file(dir.file("al_" + today() + ".log"))), logged("PUMP 3 ALARM"));
    }
}

// Run with no network but its own loopback, so that a sender that got it
// wrong could not reach anywhere. Arguments swapped: a destination of digits
// alone would be looked up as an address (7923 as 0.0.30.243). A broadcast
// address is allowed: the send fails (EACCES) unless broadcast is enabled
// on the socket.
TEST(SenderE2E, InANetworkOfItsOwn)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a network namespace of its own needs root";
    temp_dir dir;
    start_options isolated;
    isolated.wrapper = {"unshare", "-n", "sh", "-c", "ip link set lo up && exec \"$@\"", "sh"};
    struct { std::string dest; int status; std::string err; } cases[] = {
        {"7923", 1, "unknown host 7923\n"},
        {"0", 1, "unknown host 0\n"},
        {"127.255.255.255", 0, ""},
    };
    for (auto& c : cases) {
        std::string out, err;
        EXPECT_EQ(run("pelmok", {c.dest, "7923", "x"}, dir.path, &out, &err, "UTC", isolated), c.status)
            << c.dest;
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, c.err);
    }
}
