// The console in-process: what it drops, counts and says when a stream
// cannot take a line, how it keeps the two streams apart or in order, and
// the time bound of a write that could wait.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "console.h"
#include "harness.h"

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

// Fills a pipe through its write end, which is left blocking as it was.
void fill(int writer)
{
    int flags = fcntl(writer, F_GETFL);
    fcntl(writer, F_SETFL, flags | O_NONBLOCK);
    const std::string page(4096, 'f');
    while (write(writer, page.data(), page.size()) > 0)
        ;
    fcntl(writer, F_SETFL, flags);
}

// Each test in a directory of its own, with the streams as at start-up.
class Console : public kit::in_temp_dir {
protected:
    void SetUp() override
    {
        kit::in_temp_dir::SetUp();
        console_reset();
    }
    void TearDown() override
    {
        console_reset();
        kit::in_temp_dir::TearDown();
    }
};

} // namespace

// A report never lands inside a display line on the same file: when the
// line is cut, the report is dropped, counted and said with the next, and
// why is said when the write failed rather than waited.
TEST_F(Console, KeepsReportsOutOfADisplayLineOnTheSameFile)
{
    int fd = open("console.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(fd, 0);
    const std::string shown = "H:10:00:00|from:127.0.0.1 | " + std::string(300, 'm') + "\"\n";
    {
        console_on on(fd, fd);
        put(out_console, shown); // gathered: standard output on a file goes in blocks
        {
            kit::file_size_limit limit(100);
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
TEST_F(Console, SaysWhatAStalledStandardErrorDropped)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    fill(p[1]);
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
TEST_F(Console, AWriteThatStartsAfterItsBoundIsStillCut)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fill(p[1]); // a write waits for the reader
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

// Standard output and standard error on two pipes are two files, though
// both pipes lie on one device: each report goes to standard error alone.
TEST_F(Console, KeepsTwoPipesApart)
{
    int out[2], err[2];
    ASSERT_EQ(pipe2(out, O_NONBLOCK) + pipe2(err, O_NONBLOCK), 0);
    {
        console_on on(out[1], err[1]);
        put(err_console, "report\n");
        put(out_console, "shown\n"); // gathered: a pipe goes in blocks
        console_flush();
    }
    EXPECT_EQ(drained(err[0]), "report\n");
    EXPECT_EQ(drained(out[0]), "shown\n");
    for (int fd : {out[0], out[1], err[0], err[1]})
        close(fd);
}
