// The listener's life under a service manager, as a real process: it says it
// is ready once bound and never waits on the manager; a stop files what the
// kernel had queued and ends by the signal; its socket, kept by the manager,
// outlives it, so a restart loses nothing.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "harness.h"

using namespace kit;

namespace {

std::string numbered(int i) { return kit::numbered('Q', i); }

// The log lines (or display lines) of the messages numbered from, to (not
// included).
std::string logged_range(int from, int to, std::string (*line)(const std::string&) = logged)
{
    std::string text;
    for (int i = from; i < to; ++i)
        text += line(numbered(i));
    return text;
}

} // namespace

TEST(ServiceE2E, TellsTheManagerItIsReadyOnceBoundAndNeverWaitsOnIt)
{
    temp_dir dir;
    const std::string id = std::to_string(getpid());
    for (std::string name : {dir.file("notify"), "@kit-notify-" + id,
                             // the longest abstract name: it needs no NUL
                             "@kit-" + id + std::string(107 - 4 - id.size(), 'n')}) {
        SCOPED_TRACE(name);
        manager m(name);
        listener l(dir.path, {}, tz, start_options({m.env()}));
        int handed = -1;
        EXPECT_EQ(m.next(&handed), "READY=1\nFDSTORE=1\nFDNAME=udp\nFDPOLL=0");
        EXPECT_GE(handed, 0); // its socket, for the manager to keep
        close(handed);
        send_to(l.port, "after");
        EXPECT_TRUE(l.wait_shown(shown_line("after")));
        EXPECT_EQ(l.p.err_text, "");
    }

    // A manager whose socket takes nothing: the listener goes on all the
    // same, and says so once.
    manager full(dir.file("full"));
    int writer = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un to = {};
    to.sun_family = AF_UNIX;
    std::snprintf(to.sun_path, sizeof to.sun_path, "%s", full.name.c_str());
    while (sendto(writer, "x", 1, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof to) == 1)
        ;
    close(writer);
    start_options o({full.env()});
    listener l(dir.path, {}, tz, o);
    send_to(l.port, "after");
    EXPECT_TRUE(l.wait_shown(shown_line("after")));
    const std::string said = "listener: notify: Resource temporarily unavailable\n";
    EXPECT_TRUE(l.p.wait_err(said));
    EXPECT_EQ(l.p.err_text, said);

    // Ready means bound: with the port held by another program, nothing is
    // said to the manager, and the start fails.
    manager m(dir.file("held"));
    o.env = {m.env()};
    int port = 0;
    int held = udp_socket_on(INADDR_ANY, port);
    proc refused = start("ovelsk", {std::to_string(port)}, dir.path, tz, o);
    EXPECT_EQ(refused.wait_exit(), 2);
    EXPECT_EQ(m.next(nullptr, milliseconds(200)), "");
    close(held);
}

// The stop files every datagram the kernel had queued, each under every rule
// it matches, says how many, and ends by the signal; a SIGHUP that was
// ignored at start (nohup) stays ignored. With one prefix's file system at
// its floor, the stop says how many were not filed there, and in all.
TEST(ServiceE2E, AStopFilesWhatWasQueuedThenEndsByTheSignal)
{
    const int queued = 300;
    struct { int sig; bool full; } runs[] = {{SIGTERM, false}, {SIGINT, false}, {SIGHUP, false}, {SIGTERM, true}};
    for (auto [sig, full] : runs) {
        SCOPED_TRACE(strsignal(sig) + std::string(full ? ", a full disk" : ""));
        temp_dir dir;
        small_disk disk(dir.file("full"), 64);
        if (full && !disk.ok)
            continue; // a small file system needs root
        if (full)
            write_file(dir.file("full/filler"), std::string(64 << 10, 'f')); // as much as it takes
        const std::string s = full ? "full/s_" : "s_";
        // Every message shown, on a pipe: the display lines gathered in a
        // block are written at the stop too.
        write_file(dir.file("log.ini"), "affichage * T\n127.0.0.1 : " + s + "\nQ = q_\n");
        start_options o(console_kind::pipe);
        o.hup_ignored = sig == SIGINT; // one run as under nohup
        listener l(dir.path, {"log.ini"}, tz, o);
        {
            paused p(l.p.pid);
            for (int i = 0; i < queued; ++i)
                send_to(l.port, numbered(i));
            ASSERT_EQ(kernel_drops(l.port), 0);
            if (o.hup_ignored)
                kill(l.p.pid, SIGHUP);
            kill(l.p.pid, sig);
        }
        EXPECT_EQ(l.p.wait_exit(milliseconds(20000)), -1);
        EXPECT_EQ(l.p.end_signal, sig);
        // The receive that waited when the listener stopped may take one
        // datagram as it resumes: that one is the message in hand, filed
        // before the stop.
        const std::string name = sig == SIGTERM ? "SIGTERM" : sig == SIGINT ? "SIGINT" : "SIGHUP";
        std::string said = " queued messages filed before stopping\n";
        std::string all = std::to_string(queued), but_one = std::to_string(queued - 1);
        if (!full) {
            EXPECT_TRUE(l.p.err_text == "listener: " + name + ": " + all + said ||
                        l.p.err_text == "listener: " + name + ": " + but_one + said)
                << l.p.err_text;
        } else {
            // Said when it began, then at the stop with the count of the
            // run, and in the stop's line.
            const std::string path = "listener: journal: " + s + today() + ".log: ";
            const std::string why = "not filed: 0 KiB free of 64 KiB, below the floor of 3 KiB (5 %) "
                                    "kept free for the rest of the system";
            std::string before = path + why + "\n" + path + why + " (" + all + " messages not filed so far)\n" +
                                 "listener: " + name + ": 0 queued messages filed before stopping, ";
            EXPECT_TRUE(l.p.err_text == before + all + " not filed (said above)\n" ||
                        l.p.err_text == before + but_one + " not filed (said above)\n")
                << l.p.err_text;
        }
        EXPECT_EQ(masked(read_file(dir.file(s + today() + ".log"))), full ? "" : logged_range(0, queued));
        EXPECT_EQ(masked(read_file(dir.file("q_" + today() + ".log"))), logged_range(0, queued));
        EXPECT_EQ(l.shown(), logged_range(0, queued, shown_line));
    }
}

// A flood that goes on through the stop does not keep the listener from
// ending: it files for two seconds at most, then ends.
TEST(ServiceE2E, AFloodThroughTheStopDoesNotHoldItUp)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "affichage * R\nF = f_\n");
    listener l(dir.path, {"log.ini"}, tz, console_kind::pipe);
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        udp_sender s(l.port);
        const std::string payload = "F flood " + std::string(200, 'f');
        while (flooding)
            s.send(payload);
    });
    std::this_thread::sleep_for(milliseconds(500));
    auto asked = std::chrono::steady_clock::now();
    kill(l.p.pid, SIGTERM);
    int status = l.p.wait_exit(milliseconds(10000));
    auto took = std::chrono::steady_clock::now() - asked;
    flooding = false;
    flood.join();
    EXPECT_EQ(status, -1);
    EXPECT_EQ(l.p.end_signal, SIGTERM);
    EXPECT_LT(took, milliseconds(4000));
    EXPECT_NE(l.p.err_text.find("listener: SIGTERM: "), std::string::npos) << l.p.err_text;
}

// The manager keeps the socket of a run and hands it to the next: what came
// in between is filed by the next run, nothing twice, and the drops the
// first run said are not said again. A socket of another
// port than the argument names (the setting changed) is dropped from the
// store, and the listener binds its own.
TEST(ServiceE2E, ARestartLosesNothing)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "affichage * R\nQ = q_\n");
    manager m(dir.file("notify"));
    start_options o(console_kind::pipe);
    o.env = {m.env()};
    int kept = -1;
    std::string file = dir.file("q_" + today() + ".log");
    {
        listener first(dir.path, {"log.ini"}, tz, o);
        ASSERT_EQ(m.next(&kept), "READY=1\nFDSTORE=1\nFDNAME=udp\nFDPOLL=0");
        ASSERT_GE(kept, 0);
        o.port = first.port;
        // A flood the kernel drops, matching no rule: this run says it, and
        // the next one, which counts from where it takes the socket, says
        // nothing of it (qemu-user passes no drop count).
        if (!emulated()) {
            {
                paused p(first.p.pid);
                udp_sender flood(first.port);
                for (int i = 0; i < 30000; ++i)
                    flood.send("flood");
            }
            ASSERT_GT(kernel_drops(first.port), 0);
            EXPECT_TRUE(first.p.wait_err("datagrams dropped by the kernel so far\n", milliseconds(30000)));
        }
        for (int i = 0; i < 100; ++i)
            send_to(first.port, numbered(i));
        kill(first.p.pid, SIGTERM);
        first.p.wait_exit(milliseconds(20000));
    }
    // No listener runs: what is sent waits in the kept socket's queue.
    for (int i = 100; i < 200; ++i)
        send_to(o.port, numbered(i));
    o.handed = kept;
    {
        listener next(dir.path, {"log.ini"}, tz, o);
        EXPECT_EQ(m.next(), "READY=1"); // the socket is in the store already
        EXPECT_EQ(masked(wait_file(file, 200 * logged_size(numbered(0)))), logged_range(0, 200));
        next.p.read_for(milliseconds(1500)); // past the quiet second that says a total
        EXPECT_EQ(next.p.err_text, "");
    }

    // The port changed: the kept socket is not the one to listen on.
    o.port = free_port();
    listener moved(dir.path, {"log.ini"}, tz, o);
    EXPECT_EQ(m.next(), "FDSTOREREMOVE=1\nFDNAME=udp");
    int handed = -1;
    EXPECT_EQ(m.next(&handed), "READY=1\nFDSTORE=1\nFDNAME=udp\nFDPOLL=0");
    close(handed);
    send_to(moved.port, numbered(200));
    EXPECT_EQ(masked(wait_file(file, 201 * logged_size(numbered(0)))), logged_range(0, 201));
    close(kept);
}

// A socket handed over is taken only when it is the one the listener would
// have bound itself; any other is closed and dropped from the store, and the
// listener binds its own. What is handed to another process is closed, and
// a count that is no positive number hands nothing.
TEST(ServiceE2E, AHandedSocketIsTakenOnlyWhenItIsTheOneToListenOn)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "affichage * R\nQ = q_\n");
    const std::string file = dir.file("q_" + today() + ".log");
    const std::string stored = "READY=1\nFDSTORE=1\nFDNAME=udp\nFDPOLL=0", dropped = "FDSTOREREMOVE=1\nFDNAME=udp";
    enum kind { own, nonblocking, v6_only, other_port };
    struct {
        const char* name;
        kind socket;
        std::vector<std::string> env;
        std::vector<std::string> said; // to the manager
        bool taken;
        bool other_first = false; // and a socket of another port handed before it
    } cases[] = {
        {"the one it would bind", own, {}, {"READY=1"}, true},
        // Dropping the other drops it from the store too: it is given again.
        {"its own after another", own, {}, {dropped, stored}, true, true},
        {"non-blocking", nonblocking, {}, {dropped, stored}, false},
        {"IPv6 only", v6_only, {}, {dropped, stored}, false},
        {"a count that is no number", other_port, {"LISTEN_FDS=-1"}, {stored}, false},
        {"handed to another process", other_port, {"LISTEN_PID=1"}, {stored}, false},
    };
    int n = 0;
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        manager m(dir.file("notify" + std::to_string(n++)));
        start_options o(console_kind::pipe);
        o.env = c.env;
        o.env.push_back(m.env());
        o.port = free_port();
        int port = c.socket == other_port ? 0 : o.port;
        int s = c.socket == v6_only ? -1 : udp_socket_on(INADDR_ANY, port);
        if (c.socket == v6_only) {
            s = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            int on = 1;
            setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            struct sockaddr_in6 a6 = {};
            a6.sin6_family = AF_INET6;
            a6.sin6_port = htons(static_cast<uint16_t>(o.port));
            ASSERT_EQ(bind(s, reinterpret_cast<struct sockaddr*>(&a6), sizeof a6), 0);
        }
        if (c.socket == nonblocking)
            fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
        if (c.socket == own)
            send_to(o.port, "Q before"); // waits in the handed socket's queue
        struct stat st;
        ASSERT_EQ(fstat(s, &st), 0);
        const std::string handed_link = "socket:[" + std::to_string(st.st_ino) + "]";
        o.handed = s;
        o.give_handed = true;
        if (c.other_first)
            o.handed_first = udp_socket_on(INADDR_LOOPBACK, port = 0);
        listener l(dir.path, {"log.ini"}, tz, o);
        for (auto& said : c.said) {
            int handed = -1;
            EXPECT_EQ(m.next(&handed), said);
            if (handed >= 0)
                close(handed);
        }
        // The socket handed is held only when it was taken (or when nothing
        // was handed, for a count that is no number).
        bool held = false;
        for (int fd = 0; fd < 64; ++fd) {
            char link[64], target[256] = {};
            std::snprintf(link, sizeof link, "/proc/%d/fd/%d", static_cast<int>(l.p.pid), fd);
            held = held || (readlink(link, target, sizeof target - 1) > 0 && handed_link == target);
        }
        bool ignored = !c.env.empty() && c.env[0] == "LISTEN_FDS=-1";
        EXPECT_EQ(held, c.taken || ignored);
        send_to(l.port, "Q after");
        std::string want = (c.taken ? logged("Q before") : "") + logged("Q after");
        EXPECT_EQ(masked(wait_file(file, want.size())), want);
        EXPECT_EQ(l.p.err_text, "");
        unlink(file.c_str());
    }
}
