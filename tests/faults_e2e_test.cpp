// The listener under faults: a full disk, a special file where a day file
// should be, garbage and a flood. Each time it keeps running and loses
// nothing it could have filed. (A day file a crash left is repaired in
// record_test, and after real power cuts in the board test.)
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

using namespace kit;

// A full disk (the floor of free space set to none, as it can be): the line
// that only partly fits is taken back, so the day file only ever holds whole
// lines; the failure is said when it starts and when it ends, and other
// prefixes are filed all along.
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
    write_file(dir.file("full/filler"), std::string(64 << 10, 'f')); // as much as it takes
    listener l(dir.path, {"log.ini"}, tz, start_options({"OVELSK_FLOOR_PERCENT=0"}));
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

// A FIFO, a link to a device, or a link to another file where a day file
// should be: reported once and skipped, never waited on, never followed
// (the other file is left as it is, though its end looks like a crash's),
// and the other prefixes are filed. A link to a directory higher in the
// prefix is followed.
TEST(FaultsE2E, SpecialFilesAtADayFilePathAreSkippedWithoutBlocking)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "affichage * S\nX = fifo_\nX = null_\nX = link_\nX = in/ok_\n");
    std::string d = today();
    ASSERT_EQ(mkfifo(dir.file("fifo_" + d + ".log").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/null", dir.file("null_" + d + ".log").c_str()), 0);
    const std::string other = "kept\n" + std::string(3000, '\0');
    write_file(dir.file("other"), other);
    ASSERT_EQ(symlink("other", dir.file("link_" + d + ".log").c_str()), 0);
    ASSERT_EQ(mkdir(dir.file("real").c_str(), 0755), 0);
    ASSERT_EQ(symlink("real", dir.file("in").c_str()), 0);
    listener l(dir.path, {"log.ini"}, tz);
    send_to(l.port, "X 1");
    send_to(l.port, "X 2");
    EXPECT_EQ(masked(wait_file(dir.file("real/ok_" + d + ".log"), 2 * logged_size("X 1"))),
              logged("X 1") + logged("X 2"));
    std::string report = "listener: journal: fifo_" + d + ".log: not a regular file\n" +
                         "listener: journal: null_" + d + ".log: not a regular file\n" +
                         "listener: journal: link_" + d + ".log: not a regular file\n";
    EXPECT_TRUE(l.p.wait_err(report));
    EXPECT_EQ(l.p.err_text, report);
    EXPECT_EQ(read_file(dir.file("other")), other);
}

TEST(FaultsE2E, GarbageThenANormalMessage)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "affichage * T\nALARM = al_\n");
    listener l(dir.path, {"log.ini"}, tz);
    udp_sender s(l.port);
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
    EXPECT_EQ(kernel_drops(l.port), 0);
}

// 100,000 datagrams as fast as loopback takes them: every one the kernel
// delivered is filed as one whole line; what it dropped, it counted.
TEST(FaultsE2E, FloodEveryDeliveredDatagramIsOneWholeLine)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "affichage * R\nF = fl_\n");
    listener l(dir.path, {"log.ini"}, tz);
    const int count = 100000;
    udp_sender s(l.port);
    for (int i = 0; i < count; ++i)
        s.send(numbered('F', i));
    std::string file = dir.file("fl_" + today() + ".log");
    const std::size_t line_size = logged_size(numbered('F', 0));
    std::string text;
    long long dropped = 0;
    for (int i = 0; i < 600; ++i) { // up to a minute, for slow builds
        dropped = kernel_drops(l.port);
        text = read_file(file);
        if (text.size() >= (s.sent - dropped) * line_size)
            break;
        usleep(100000);
    }
    ASSERT_GE(dropped, 0);
    EXPECT_EQ(s.sent, count);
    EXPECT_EQ(text.size(), (s.sent - dropped) * line_size);
    // Each line: " dd/mm/yyyy hh:mm:ss  ***  F00000  \n", numbered in order.
    std::size_t bad = 0;
    int last = -1;
    for (std::size_t at = 0; at + line_size <= text.size(); at += line_size) {
        bool whole = shaped(text, at, " 99/99/9999 99:99:99  ***  F99999  \n");
        int seq = whole ? std::stoi(text.substr(at + 28, 5)) : -1;
        bad += !whole || seq <= last;
        last = seq;
    }
    EXPECT_EQ(bad, 0u); // neither torn nor out of order
    std::printf("flood: %ld sent, %lld dropped by the kernel, %zu filed\n", s.sent, dropped,
                text.size() / line_size);
    // Still running: the next message is filed.
    send_to(l.port, "F end");
    EXPECT_NE(wait_file(file, text.size() + 35).find("***  F end  \n"), std::string::npos);
}

// A configuration path that names no regular file (a FIFO no one writes, a
// link to a device that never ends, a directory) is read as missing by each
// of the three readers, said, and never waited on.
TEST(FaultsE2E, AConfigurationThatIsNoFileIsReadAsMissing)
{
    temp_dir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo-log.ini").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/zero", dir.file("zero-log.ini").c_str()), 0);
    ASSERT_EQ(mkdir(dir.file("dir-log.ini").c_str(), 0755), 0);
    for (const char* name : {"fifo-log.ini", "zero-log.ini", "dir-log.ini"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        listener l(dir.path, {path}, tz, console_kind::pipe);
        EXPECT_EQ(l.p.out_text, " il y a un  fichier d'initialisation précisé\n"
                                "le fichier d initialisation indiqué  n'existe pas\n"
                                "caractéristique affichage : 1 \n"
                                "Attente reception port udp " + std::to_string(l.port) + ".\n");
        EXPECT_TRUE(l.p.wait_err("listener: configuration '" + path + "': not a regular file: read as missing\n"));
        std::string out, err;
        EXPECT_EQ(run("brannic", {"3", path}, dir.path, &out, &err, tz), 0);
        EXPECT_NE(out.find("pas de fichier ini\n"), std::string::npos) << out;
        EXPECT_EQ(err, "brannic: configuration '" + path + "': not a regular file: read as missing\n");
        EXPECT_EQ(run("brannic-retention", {"30", path}, dir.path, &out, &err, tz), 1);
        EXPECT_EQ(err, "brannic-retention: " + path + ": not a regular file; nothing deleted\n");
    }
}
