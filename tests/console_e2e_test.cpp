// The console in every set-up the listener meets: a terminal, a pipe read
// line by line or in blocks, the system journal's socket, a regular file on
// a full disk; as the owner of that console, and as another user who cannot
// open it anew. Each is stalled with more than 4 KiB of lines, then resumed:
// the filing never waits, the lines dropped are counted exactly and said
// once, the console shows only whole lines, the description shared with the
// shell keeps its flags, and the listener lives on. A reader gone for good
// costs nothing more.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <chrono>
#include <thread>
#include <unistd.h>

#include "harness.h"

using namespace kit;

namespace {

const int stalled = 150; // about 14 KiB of display lines

std::string numbered(int i) { return kit::numbered('M', i, 60); }

// Whether the user nobody can run the program under test from where it lies.
bool nobody_can_run()
{
    start_options o;
    o.nobody = true; // the listener without arguments says how to use it, and ends with 0
    return geteuid() == 0 && run("ovelsk", {}, "/", nullptr, nullptr, tz, o) == 0;
}

struct setup {
    const char* name;
    console_kind kind;
    bool nobody; // run as another user, who cannot open the console anew
};

// A listener on one set-up, its console stalled and resumed.
class EverySetUp : public testing::TestWithParam<setup> {
protected:
    void stall(const listener& l)
    {
        const console_kind kind = GetParam().kind;
        int size = 4096;
        if (kind == console_kind::terminal) {
            ASSERT_EQ(tcflow(l.p.shared, TCOOFF), 0); // what Ctrl-S does
        } else if (kind == console_kind::socket) {
            setsockopt(l.p.shared, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        } else if (kind == console_kind::file) {
            FILE* f = std::fopen(filler().c_str(), "w");
            std::string page(4096, 'f');
            while (std::fwrite(page.data(), 1, page.size(), f) == page.size() && std::fflush(f) == 0)
                ;
            std::fclose(f);
        } else {
            fcntl(l.p.out, F_SETPIPE_SZ, size); // one page: a few lines fill it
        }
    }
    void resume(const listener& l)
    {
        const console_kind kind = GetParam().kind;
        if (kind == console_kind::terminal)
            ASSERT_EQ(tcflow(l.p.shared, TCOON), 0);
        else if (kind == console_kind::file)
            ASSERT_EQ(unlink(filler().c_str()), 0);
        else if (kind != console_kind::socket)
            fcntl(l.p.out, F_SETPIPE_SZ, 65536); // back to a pipe's usual size
    }
    std::string filler() const { return dir_.file("full/filler"); }
    temp_dir dir_;
};

} // namespace

TEST_P(EverySetUp, DropsCountsAndResumesWithoutHoldingUpTheFiling)
{
    const setup& s = GetParam();
    if (s.nobody && !nobody_can_run())
        GTEST_SKIP() << "needs root, and a build the user nobody can reach";
    chmod(dir_.path.c_str(), 0777);
    write_file(dir_.file("log.ini"), "affichage * T\nM = m_\n");
    std::string day_file = dir_.file("m_" + days_ago(0, tz) + ".log");
    std::unique_ptr<small_disk> disk;
    start_options o(s.kind);
    o.keep_shared = true;
    o.nobody = s.nobody;
    if (s.kind == console_kind::file) {
        disk.reset(new small_disk(dir_.file("full"), 64));
        if (!disk->ok)
            GTEST_SKIP() << "a small file system needs root";
        o.out_path = dir_.file("full/console.txt");
    }
    listener l(dir_.path, {"log.ini"}, tz, o);
    int flags = fcntl(l.p.shared, F_GETFL);

    stall(l);
    const std::size_t line = logged_size(numbered(0));
    for (int i = 0; i < stalled; ++i) {
        send_to(l.port, numbered(i));
        if (i % 50 == 49) { // the filing goes on: every line is in the day file
            ASSERT_EQ(wait_file(day_file, (i + 1) * line).size(), (i + 1) * line) << i;
        }
    }

    // The resume: the console takes what it holds, then two lines.
    resume(l);
    std::size_t had;
    do { // until nothing more comes
        had = l.p.out_text.size();
        l.p.read_for(milliseconds(200));
    } while (l.p.out_text.size() != had);
    send_to(l.port, "M resume 1");
    send_to(l.port, "M resume 2");
    // In blocks, the two lines come out when a block is full; line by line,
    // at once, with nothing after them.
    bool in_blocks = s.kind == console_kind::pipe || s.kind == console_kind::file;
    for (int i = 0; i < 20 && !l.p.wait_out("| M resume 2\"\n", milliseconds(300)); ++i)
        for (int k = 0; in_blocks && k < 8; ++k)
            send_to(l.port, "M tail " + std::string(80, 't'));
    std::string shown = l.shown();
    ASSERT_NE(shown.find("| M resume 2\"\n"), std::string::npos) << shown.substr(0, 300);

    // Whole lines only, in order, then the count said once, just before the
    // first line after the drop; shown and counted add up. The notice says a
    // reader too slow, or a write that failed (the full disk) and why.
    const std::string notice = s.kind == console_kind::file ? "console : " : "console trop lente : ";
    const std::string notice_end = s.kind == console_kind::file
                                       ? " lignes non affichées : No space left on device\n"
                                       : " lignes non affichées\n";
    std::size_t at = shown.find(notice);
    ASSERT_NE(at, std::string::npos) << shown.substr(0, 300);
    long dropped = std::stol(shown.substr(at + notice.size()));
    std::string said = notice + std::to_string(dropped) + notice_end;
    EXPECT_EQ(shown.substr(at, said.size()), said);
    EXPECT_EQ(shown.substr(at + said.size()).find(shown_line("M resume 1") + shown_line("M resume 2")), 0u);
    EXPECT_EQ(shown.find(notice, at + 1), std::string::npos);
    const std::size_t digits = shown_line("M").size() - 2; // where "M00012" has its digits
    std::istringstream lines(shown.substr(0, at));
    int seen = 0, last = -1;
    for (std::string text; std::getline(lines, text); ++seen) {
        int n = shaped(text, digits, "99999") ? std::stoi(text.substr(digits, 5)) : -1;
        EXPECT_EQ(text + "\n", shown_line(numbered(n))) << "not a whole line";
        EXPECT_GT(n, last);
        last = n;
    }
    EXPECT_GT(dropped, 0);
    EXPECT_EQ(seen + dropped, stalled);

    EXPECT_EQ(fcntl(l.p.shared, F_GETFL), flags);
    EXPECT_EQ(flags & O_NONBLOCK, 0);
    EXPECT_EQ(waitpid(l.p.pid, nullptr, WNOHANG), 0); // still running
    EXPECT_EQ(l.p.err_text, "");
}

INSTANTIATE_TEST_SUITE_P(
    ConsoleE2E, EverySetUp,
    testing::Values(setup{"terminal", console_kind::terminal, false},
                    setup{"pipe_line_by_line", console_kind::line_pipe, false},
                    setup{"pipe_in_blocks", console_kind::pipe, false},
                    setup{"socket", console_kind::socket, false},
                    setup{"file_on_a_full_disk", console_kind::file, false},
                    setup{"terminal_of_another_user", console_kind::terminal, true},
                    setup{"pipe_of_another_user_line_by_line", console_kind::line_pipe, true},
                    setup{"pipe_of_another_user_in_blocks", console_kind::pipe, true}),
    [](const testing::TestParamInfo<setup>& info) { return std::string(info.param.name); });

// A cooked terminal of another user's, which the listener cannot open anew,
// left unread for seconds under steady traffic (a stuck SSH window): poll
// says it takes output while a line would wait for the reader, so each write
// is bounded in time. The filing goes on, and once read the terminal shows
// what comes next.
TEST(ConsoleE2E, AnUnreadTerminalOfAnotherUserNeverHoldsUpTheFiling)
{
    if (!nobody_can_run())
        GTEST_SKIP() << "needs root, and a build the user nobody can reach";
    temp_dir dir;
    chmod(dir.path.c_str(), 0777);
    write_file(dir.file("log.ini"), "affichage * T\nM = m_\n");
    start_options o;
    o.out = console_kind::cooked_terminal;
    o.nobody = true;
    struct {
        int port = free_port();
        proc p;
    } l;
    l.p = start("ovelsk", {std::to_string(l.port), "log.ini"}, dir.path, tz, o);
    ASSERT_TRUE(l.p.wait_out("Attente reception port udp " + std::to_string(l.port) + ".\r\n"))
        << l.p.out_text;
    const int sent = 6000; // 3 seconds at 2,000 a second, 10 times what the terminal holds
    const std::size_t line = 1 + 19 + 7 + numbered(0).size() + 3;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < sent; ++i) {
        send_to(l.port, numbered(i));
        std::this_thread::sleep_until(start + std::chrono::microseconds(500 * (i + 1)));
    }
    std::string day_file = dir.file("m_" + days_ago(0, tz) + ".log");
    std::size_t filed = wait_file(day_file, sent * line, milliseconds(5000)).size() / line;
    EXPECT_GE(filed, sent * 99 / 100);
    EXPECT_EQ(waitpid(l.p.pid, nullptr, WNOHANG), 0); // still running

    // Read again: the lines sent now are shown.
    bool shown = false;
    for (int i = 0; i < 30 && !shown; ++i) {
        send_to(l.port, "M resume");
        shown = l.p.wait_out("| M resume\"\r\n", milliseconds(500));
    }
    EXPECT_TRUE(shown);
    EXPECT_NE(l.p.out_text.find("console trop lente : "), std::string::npos);
}

// A console on a pipe whose reader is gone: no SIGPIPE, and the filing
// goes on. More lines than one block, so that the console does write to it.
TEST(ConsoleE2E, AReaderGoneCostsNothingMore)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "affichage * T\nM = m_\n");
    std::string file = dir.file("m_" + days_ago(0, tz) + ".log");
    listener l(dir.path, {"log.ini"}, tz, console_kind::pipe);
    close(l.p.out);
    l.p.out = -1;
    std::string want;
    std::size_t size = 0;
    for (int i = 100; i < 300; ++i) { // 8,000 bytes of display lines
        std::string msg = "M gone " + std::to_string(i);
        send_to(l.port, msg);
        want += logged(msg);
        size += logged_size(msg);
        if (i % 20 == 19) // paced, so that the socket's queue never overflows
            wait_file(file, size);
    }
    EXPECT_EQ(masked(wait_file(file, size)), want);
    EXPECT_EQ(waitpid(l.p.pid, nullptr, WNOHANG), 0); // still running
    l.p.read_for(milliseconds(100));
    EXPECT_EQ(l.p.err_text, "");
}

