// The listener under faults: its directory or file taken away, a full disk,
// garbage and a flood. Each time it keeps running and loses nothing it could
// have filed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

using namespace kit;

namespace {

const std::string tz = "Europe/Paris";

std::string today() { return days_ago(0, tz); }

// The kernel's count of datagrams dropped at the listener's IPv4 socket.
long drops(int port)
{
    std::ifstream in("/proc/net/udp");
    std::string line;
    char want[16];
    std::snprintf(want, sizeof want, ":%04X", port);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string slot, local, field, last;
        f >> slot >> local;
        if (local.size() < 5 || local.compare(local.size() - 5, 5, want) != 0)
            continue;
        while (f >> field)
            last = field;
        return std::stol(last);
    }
    return -1;
}

// One socket for many datagrams to 127.0.0.1:port; counts what was sent.
struct sender {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in to = {};
    long sent = 0;
    explicit sender(int port)
    {
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~sender() { close(fd); }
    void send(const std::string& payload)
    {
        if (sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to) == static_cast<ssize_t>(payload.size()))
            ++sent;
    }
};

} // namespace

TEST(FaultsE2E, DirectoryRemovedWhileRunningThenMadeAgain)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "affichage * S\nA = d/a_\n");
    mkdir(dir.file("d").c_str(), 0755);
    listener l(dir.path, {"log.ini"}, tz);
    std::string file = dir.file("d/a_" + today() + ".log");

    send_to(l.port, "A 1");
    ASSERT_TRUE(l.wait_shown(shown_line("A 1")));
    EXPECT_EQ(masked(read_file(file)), logged("A 1"));

    ASSERT_EQ(system(("rm -r " + dir.file("d")).c_str()), 0);
    send_to(l.port, "A 2");
    EXPECT_TRUE(l.p.wait_err("listener: journal: d/a_" + today() +
                             ".log: No such file or directory\n"));

    mkdir(dir.file("d").c_str(), 0755);
    send_to(l.port, "A 3");
    ASSERT_TRUE(l.wait_shown(shown_line("A 1") + shown_line("A 2") + shown_line("A 3")));
    EXPECT_EQ(masked(read_file(file)), logged("A 3"));
}

TEST(FaultsE2E, DayFileDeletedBetweenTwoMessages)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "affichage * S\nA = a_\n");
    listener l(dir.path, {"log.ini"}, tz);
    std::string file = dir.file("a_" + today() + ".log");
    send_to(l.port, "A 1");
    ASSERT_TRUE(l.wait_shown(shown_line("A 1")));
    ASSERT_EQ(unlink(file.c_str()), 0);
    send_to(l.port, "A 2");
    ASSERT_TRUE(l.wait_shown(shown_line("A 1") + shown_line("A 2")));
    EXPECT_EQ(masked(read_file(file)), logged("A 2"));
    EXPECT_EQ(l.p.err_text, "");
}

// A full disk: the line that only partly fits is taken back, so the day
// file only ever holds whole lines; the failure is said when it starts and
// when it ends, and other prefixes are filed all along.
TEST(FaultsE2E, DiskFullIsReportedAndOtherPrefixesAreStillFiled)
{
    temp_dir dir;
    small_disk disk(dir.file("full"), 64);
    if (!disk.ok)
        GTEST_SKIP() << "a small file system needs root";
    write_file(dir.file("log.ini"), "affichage * S\nX = full/x_\nX = ok_\n");
    std::string name = "full/x_" + today() + ".log";
    // The day file ends 10 bytes before a page boundary, and the filler
    // takes every other page: a log line only partly fits.
    std::string before = " " + std::string(4084, 'p') + "\n";
    write_file(dir.file(name), before);
    {
        std::ofstream filler(dir.file("full/filler"), std::ios::binary);
        std::string page(4096, 'f');
        while (filler.write(page.data(), page.size()))
            filler.flush();
    }
    listener l(dir.path, {"log.ini"}, tz);
    send_to(l.port, "X 1");
    send_to(l.port, "X 2");
    ASSERT_TRUE(l.wait_shown(shown_line("X 1") + shown_line("X 1") + shown_line("X 2") +
                             shown_line("X 2")));
    EXPECT_EQ(read_file(dir.file(name)), before);
    ASSERT_EQ(unlink(dir.file("full/filler").c_str()), 0);
    send_to(l.port, "X 3");
    ASSERT_TRUE(l.p.wait_err("filing again"));
    std::string report = "listener: journal: " + name + ": No space left on device\n" +
                         "listener: journal: " + name + ": filing again after 2 messages not filed\n";
    EXPECT_TRUE(l.p.wait_err(report));
    EXPECT_EQ(l.p.err_text, report);
    EXPECT_EQ(masked(read_file(dir.file(name))), before + logged("X 3"));
    EXPECT_EQ(masked(wait_file(dir.file("ok_" + today() + ".log"), 3 * logged_size("X 1"))),
              logged("X 1") + logged("X 2") + logged("X 3"));
}

// A FIFO, or a link to a device, where a day file should be: reported once
// and skipped, never waited on, and the other prefixes are filed.
TEST(FaultsE2E, SpecialFilesAtADayFilePathAreSkippedWithoutBlocking)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "affichage * S\nX = fifo_\nX = null_\nX = ok_\n");
    std::string d = today();
    ASSERT_EQ(mkfifo(dir.file("fifo_" + d + ".log").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/null", dir.file("null_" + d + ".log").c_str()), 0);
    listener l(dir.path, {"log.ini"}, tz);
    send_to(l.port, "X 1");
    send_to(l.port, "X 2");
    EXPECT_EQ(masked(wait_file(dir.file("ok_" + d + ".log"), 2 * logged_size("X 1"))), logged("X 1") + logged("X 2"));
    std::string report = "listener: journal: fifo_" + d + ".log: not a regular file\n" +
                         "listener: journal: null_" + d + ".log: not a regular file\n";
    EXPECT_TRUE(l.p.wait_err(report));
    EXPECT_EQ(l.p.err_text, report);
}

// The console is a view of the record: a reader that stalls costs display
// lines, counted and said once it reads again, and never a filed message; a
// reader that goes away costs nothing more.
TEST(FaultsE2E, TheConsoleNeverStopsTheFiling)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "affichage * T\nM = m_\n");
    std::string file = dir.file("m_" + today() + ".log");
    const int count = 6000; // far more lines than a terminal holds unread
    {
        listener l(dir.path, {"log.ini"}, tz); // its terminal is not read from here on
        sender s(l.port);
        char payload[16];
        for (int i = 0; i < count; ++i) {
            std::snprintf(payload, sizeof payload, "M%05d", i);
            s.send(payload);
            if (i % 100 == 99) { // paced, so that the socket's queue never overflows
                ASSERT_EQ(wait_file(file, (i + 1) * logged_size("M00000")).size(), (i + 1) * logged_size("M00000")) << i;
            }
        }
        // Reading again: what the terminal held comes; then, with the next
        // line, the count of what was dropped.
        for (std::size_t had = 0; had == 0 || had != l.p.out_text.size();) {
            had = l.p.out_text.size();
            l.p.wait_out("\x01", milliseconds(300));
        }
        send_to(l.port, "M resume");
        ASSERT_TRUE(l.p.wait_out("| M resume\"\n", milliseconds(20000)));
        std::smatch m;
        std::string shown = l.shown();
        ASSERT_TRUE(std::regex_search(shown, m, std::regex("console trop lente : ([0-9]+) lignes "
                                                           "non affichées\n")))
            << shown.substr(0, 200);
        long dropped = std::stol(m[1]);
        EXPECT_GT(dropped, 0);
        EXPECT_EQ(std::string(m.suffix()), shown_line("M resume"));
        // Every line before the count is whole, and they come in order.
        std::istringstream lines(m.prefix());
        std::regex whole("H:hh:mm:ss\\|from:127\\.0\\.0\\.1 \\| M([0-9]{5})\"");
        long seen = 0, last = -1;
        for (std::string line; std::getline(lines, line); ++seen) {
            std::smatch n;
            ASSERT_TRUE(std::regex_match(line, n, whole)) << line;
            EXPECT_GT(std::stol(n[1]), last);
            last = std::stol(n[1]);
        }
        EXPECT_EQ(seen + dropped, count);
        EXPECT_EQ(l.p.err_text, "");
    }
    // A console on a pipe whose reader is gone: no SIGPIPE, filing goes on.
    // More lines than one block, so that the console does write to it.
    unlink(file.c_str());
    listener l(dir.path, {"log.ini"}, tz, console_kind::pipe);
    close(l.p.out);
    l.p.out = -1;
    std::string want;
    std::size_t size = 0;
    for (int i = 100; i < 300; ++i) { // 8,000 bytes of display lines
        std::string msg = "M gone " + std::to_string(i);
        send_to(l.port, msg);
        want += logged(msg);
        size += 1 + 19 + 7 + msg.size() + 3;
        if (i % 20 == 19) // paced, so that the socket's queue never overflows
            wait_file(file, size);
    }
    EXPECT_EQ(masked(wait_file(file, size)), want);
    EXPECT_EQ(waitpid(l.p.pid, nullptr, WNOHANG), 0); // still running
    l.p.wait_err("\x01", milliseconds(100));
    EXPECT_EQ(l.p.err_text, "");
}

TEST(FaultsE2E, GarbageThenANormalMessage)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "affichage * T\nALARM = al_\n");
    listener l(dir.path, {"log.ini"}, tz);
    sender s(l.port);
    std::mt19937 rng(20261208);
    for (int i = 0; i < 400; ++i) {
        std::size_t size = i % 50 == 0 ? 65507 : rng() % 700; // the largest IPv4 datagram
        std::string junk(size, '\0');
        for (auto& c : junk)
            c = static_cast<char>(rng());
        s.send(junk);
        // Paced so that the socket's queue never overflows: a dropped
        // datagram would prove nothing about the listener.
        if (i % 10 == 0 || size > 1000) {
            std::string sync = "SYNC " + std::to_string(i);
            s.send(sync);
            ASSERT_TRUE(l.p.wait_out("| " + sync + "\"\n", milliseconds(20000)));
        }
    }
    s.send("NORMAL ALARM 1");
    ASSERT_TRUE(l.p.wait_out("|from:127.0.0.1 | NORMAL ALARM 1\"\n", milliseconds(20000)));
    // In mode T the line is shown before it is filed: wait for the file.
    EXPECT_EQ(masked(wait_file(dir.file("al_" + today() + ".log"), logged_size("NORMAL ALARM 1"))), logged("NORMAL ALARM 1"));
    EXPECT_EQ(l.p.err_text, "");
    EXPECT_EQ(drops(l.port), 0);
}

// 100,000 datagrams as fast as loopback takes them: every one the kernel
// delivered is filed as one whole line; what it dropped, it counted.
TEST(FaultsE2E, FloodEveryDeliveredDatagramIsOneWholeLine)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "affichage * R\nF = fl_\n");
    listener l(dir.path, {"log.ini"}, tz);
    const int count = 100000;
    sender s(l.port);
    char payload[16];
    for (int i = 0; i < count; ++i) {
        std::snprintf(payload, sizeof payload, "F%06d", i);
        s.send(payload);
    }
    std::string file = dir.file("fl_" + today() + ".log");
    const std::size_t line_size = logged_size("F000000");
    std::string text;
    long dropped = 0;
    for (int i = 0; i < 600; ++i) { // up to a minute, for slow builds
        dropped = drops(l.port);
        text = read_file(file);
        if (text.size() >= (s.sent - dropped) * line_size)
            break;
        usleep(100000);
    }
    ASSERT_GE(dropped, 0);
    EXPECT_EQ(s.sent, count);
    EXPECT_EQ(text.size(), (s.sent - dropped) * line_size);
    static const std::regex whole(
        " [0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}  \\*\\*\\*  F[0-9]{6}  \n");
    std::size_t bad = 0;
    int last = -1;
    bool ordered = true;
    for (std::size_t at = 0; at + line_size <= text.size(); at += line_size) {
        std::string line = text.substr(at, line_size);
        if (!std::regex_match(line, whole)) {
            ++bad;
            continue;
        }
        int seq = std::stoi(line.substr(28, 6));
        ordered = ordered && seq > last;
        last = seq;
    }
    EXPECT_EQ(bad, 0u);
    EXPECT_TRUE(ordered);
    std::printf("flood: %ld sent, %ld dropped by the kernel, %zu filed\n", s.sent, dropped,
                text.size() / line_size);
    // Still running: the next message is filed.
    send_to(l.port, "F end");
    EXPECT_NE(wait_file(file, text.size() + 35).find("***  F end  \n"), std::string::npos);
}

// After a power cut a day file can end in NUL bytes (its size was written,
// its data not) or in part of a line. The first line a run appends to it
// comes after the NUL bytes are cut away and the partial line is ended;
// each repair is said once, and a whole file is left as it is.
TEST(FaultsE2E, ADayFileLeftByACrashIsMadeWholeBeforeItsNextLine)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "affichage * S\nX = nul_\nX = part_\nX = both_\nX = whole_\n");
    std::string d = today();
    const std::string before = " 08/12/2026 10:00:00  ***  X 0  \n";
    struct { const char* prefix; std::string tail; std::string kept; std::string said; } files[] = {
        {"nul_", std::string(1319, '\0'), "", ": 1319 NUL bytes left by a crash removed\n"},
        {"part_", " 08/12/2026 10:00:01  ***  X", " 08/12/2026 10:00:01  ***  X\n",
         ": partial line left by a crash ended with a newline\n"},
        {"both_", " 08/12/20" + std::string(4064, '\0'), " 08/12/20\n",
         ": 4064 NUL bytes left by a crash removed\n"},
        {"whole_", "", "", ""},
    };
    for (auto& f : files)
        write_file(dir.file(f.prefix + d + ".log"), before + f.tail);
    listener l(dir.path, {"log.ini"}, tz);
    send_to(l.port, "X 1");
    send_to(l.port, "X 2");
    ASSERT_TRUE(l.wait_shown(shown_line("X 1") + shown_line("X 1") + shown_line("X 1") +
                             shown_line("X 1") + shown_line("X 2") + shown_line("X 2") +
                             shown_line("X 2") + shown_line("X 2")));
    std::string report;
    for (auto& f : files) {
        std::string name = f.prefix + d + ".log";
        EXPECT_EQ(masked(read_file(dir.file(name))),
                  masked(before + f.kept) + logged("X 1") + logged("X 2"))
            << name;
        if (f.prefix == std::string("both_"))
            report += "listener: journal: " + name + f.said + "listener: journal: " + name +
                      ": partial line left by a crash ended with a newline\n";
        else if (!f.said.empty())
            report += "listener: journal: " + name + f.said;
    }
    EXPECT_TRUE(l.p.wait_err(report));
    EXPECT_EQ(l.p.err_text, report);
}
