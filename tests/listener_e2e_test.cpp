// The listener as a real process: console lines, exit statuses and day files,
// byte for byte, with datagrams sent to 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <cstddef>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "harness.h"

using namespace kit;

namespace {

const std::string usage =
    " Il faut passer en arguments le numero de port  a ecouter et le nom complet du fichier "
    "d'initialisation>  ...\n"
    " exemple : ovelsk 7923 \n"
    " ou : ovelsk 7923 /home/pi/my_c/log.ini \n";
const std::string given = " il y a un  fichier d'initialisation précisé\n";

std::string started(int port, int mode)
{
    return "caractéristique affichage : " + std::to_string(mode) + " \nAttente reception port udp " +
           std::to_string(port) + ".\n";
}

} // namespace

TEST(ListenerE2E, RefusesBadArgumentsWithTheUsageLines)
{
    temp_dir dir;
    // The value refused is named on standard error.
    auto port = [](const std::string& p) {
        return "listener: port '" + p + "': a number from 1 to 65535, or a service name of at most 8 characters\n";
    };
    auto unknown = [](const std::string& p) {
        return "getaddrinfo: Servname not supported for ai_socktype\nlistener: port '" + p +
               "': neither a number from 1 to 65535 nor a service name the system knows\n";
    };
    auto conf = [](const std::string& c) {
        return "listener: configuration '" + c + "': a path of at most 119 characters ending in log.ini\n";
    };
    // The settings of the room the record takes, from the environment.
    const std::string day_max = "OVELSK_DAY_MAX_MIB", floor = "OVELSK_FLOOR_PERCENT";
    auto setting = [&](const std::string& name, const std::string& v) {
        return "listener: " + name + " '" + v + "': " +
               (name == day_max ? "the bound of a day file, a number of MiB up to 1048576; 0 or empty: none"
                                : "the share of each file system kept free, a whole percentage from 0 to 50") +
               "\n";
    };
    const std::string long_path = "/" + std::string(111, 'd') + "/log.ini"; // 120 characters
    struct { std::vector<std::string> args; std::string out, err; int status = 0;
             std::vector<std::string> env = {}; } cases[] = {
        {{}, usage, ""},
        {{"7923", "a/log.ini", "extra"}, usage, ""},
        {{"123456789"}, usage, port("123456789")}, // nine characters: never cut to a port of eight
        {{"70000"}, usage, port("70000")},   // not a port: the resolver would wrap it to 4464
        {{"65536"}, usage, port("65536")},   // the first number past the last port
        {{" 70000"}, usage, port(" 70000")}, // nor in any other form the resolver reads as a number
        {{"+70000"}, usage, port("+70000")},
        {{"-1"}, usage, port("-1")},
        {{""}, usage, port("")},             // the resolver reads "" and 0 as a random port
        {{"0"}, usage, port("0")},
        {{"-0"}, usage, port("-0")},
        {{"7923", "/etc/log.INI"}, given + usage, conf("/etc/log.INI")},
        {{"7923", "log.in"}, given + usage, conf("log.in")},
        {{"7923", long_path}, given + usage, conf(long_path)},
        // A port no resolver knows.
        {{"nosuchsv"}, "caractéristique affichage : 1 \n", unknown("nosuchsv"), 1},
        {{"7923abc"}, "caractéristique affichage : 1 \n", unknown("7923abc"), 1}, // a misspelt number
        {{"2O130"}, "caractéristique affichage : 1 \n", unknown("2O130"), 1},
        {{"7923"}, usage, setting(day_max, "64x"), 0, {day_max + "=64x"}},
        {{"7923"}, usage, setting(day_max, " 64"), 0, {day_max + "= 64"}},
        {{"7923"}, usage, setting(day_max, "1048577"), 0, {day_max + "=1048577"}},
        {{"7923"}, usage, setting(floor, "51"), 0, {floor + "=51"}},
        {{"7923"}, usage, setting(floor, "-1"), 0, {floor + "=-1"}},
        {{"7923"}, usage, setting(floor, "5%"), 0, {floor + "=5%"}},
    };
    for (auto& c : cases) {
        std::string out, err;
        EXPECT_EQ(run("ovelsk", c.args, dir.path, &out, &err, tz, start_options(c.env)), c.status) << c.err;
        EXPECT_EQ(out, c.out) << c.err;
        EXPECT_EQ(err, c.err);
    }

    // The accepted side of each limit. A fixed port may be held by another
    // program here: then the listener tried it and says so, which is no
    // refusal either.
    std::string p = std::to_string(free_port());
    std::string missing = "le fichier d initialisation indiqué  n'existe pas\n";
    struct { std::vector<std::string> args; std::string out; std::vector<std::string> env = {}; } accepted[] = {
        {{"00007923"}, "caractéristique affichage : 1 \n"},
        {{"65535"}, "caractéristique affichage : 1 \n"},
        {{p, "/" + std::string(110, 'd') + "/log.ini"}, // 119 characters
         given + missing + "caractéristique affichage : 1 \n"},
        {{p}, "caractéristique affichage : 1 \n", {day_max + "=1048576", floor + "=50"}},
        {{p}, "caractéristique affichage : 1 \n", {day_max + "=", floor + "=0"}},
    };
    for (auto& c : accepted) {
        proc l = start("ovelsk", c.args, dir.path, tz, start_options(c.env));
        std::string ready = "Attente reception port udp " + c.args[0] + ".\n";
        if (l.wait_out(ready)) {
            EXPECT_EQ(l.out_text, c.out + ready);
            continue;
        }
        EXPECT_EQ(l.wait_exit(), 2) << c.args[0];
        EXPECT_NE(l.err_text.find("listener: failed to bind socket\n"), std::string::npos);
        EXPECT_EQ(l.out_text, c.out);
    }
}

// With the port alone, or a configuration that is missing, every message is
// shown and nothing is filed.
TEST(ListenerE2E, WithNoRulesShowsEveryMessageAndFilesNothing)
{
    temp_dir dir;
    const std::string missing = given + "le fichier d initialisation indiqué  n'existe pas\n";
    for (std::vector<std::string> config : {std::vector<std::string>{}, {dir.file("absent/log.ini")}}) {
        listener l(dir.path, config);
        EXPECT_EQ(l.p.out_text, (config.empty() ? "" : missing) + started(l.port, 1));
        send_to(l.port, "PUMP 3 ALARM");
        send_to(l.port, "");
        send_to(l.port, std::string("before\0after", 12));
        send_to(l.port, std::string(600, 'x'));
        send_to(l.port, "last");
        ASSERT_TRUE(l.p.wait_out("| last\"\n")) << l.p.out_text;
        EXPECT_EQ(l.shown(), shown_line("PUMP 3 ALARM") + shown_line("") + shown_line("before") +
                                 shown_line(std::string(499, 'x')) + shown_line("last"));
    }
    EXPECT_EQ(system(("test -z \"$(ls " + dir.path + ")\"").c_str()), 0);
}

TEST(ListenerE2E, SelectedModeShowsAndFilesOncePerMatchingRule)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "' routing for the test\r\n"
                                    "affichage * S\r\n"
                                    "127.0.0. : ip_\r\n"
                                    "ALARM = al_\r\n"
                                    "PUMP = al_\r\n"
                                    "alarm = lower_");
    listener l(dir.path, {dir.file("log.ini")});
    EXPECT_EQ(l.p.out_text, given + "il y a un fichier log.ini\nil y a un parametre d'affichage\n"
                                    "seul les selectionnées sont affichés\n" +
                                started(l.port, 2));
    send_to(l.port, "PUMP ALARM 3");      // source, ALARM and PUMP: three times
    send_to(l.port, "");                  // the source rule only
    send_to(l.port, std::string("x\0ALARM", 7)); // the text stops at the NUL
    send_to(l.port, "line1\nALARM");     // one display line, two lines filed
    send_to(l.port, "pump alarm 3");      // case counts
    // A host that would retitle the terminal, clear it and forge a line
    // from another sender: all shown escaped, in one line; filed as sent.
    const std::string forged = "OK\x1b]0;owned\x07\x1b[2J\rFAKE\nH:00:00:00|from:10.0.0.9 | "
                               "FORGED\" ALARM";
    send_to(l.port, forged);
    const std::string forged_shown = "OK\\x1b]0;owned\\x07\\x1b[2J\\x0dFAKE\\x0aH:00:00:00"
                                     "|from:10.0.0.9 | FORGED\" ALARM";
    EXPECT_TRUE(l.wait_shown(shown_line("PUMP ALARM 3") + shown_line("PUMP ALARM 3") +
                             shown_line("PUMP ALARM 3") + shown_line("") + shown_line("x") +
                             shown_line("line1\\x0aALARM") + shown_line("line1\\x0aALARM") +
                             shown_line("pump alarm 3") + shown_line("pump alarm 3") +
                             masked(shown_line(forged_shown) + shown_line(forged_shown))))
        << l.shown();
    std::string d = today();
    EXPECT_EQ(masked(read_file(dir.file("ip_" + d + ".log"))),
              logged("PUMP ALARM 3") + logged("") + logged("x") + logged("line1\nALARM") +
                  logged("pump alarm 3") + masked(logged(forged)));
    EXPECT_EQ(masked(read_file(dir.file("al_" + d + ".log"))),
              logged("PUMP ALARM 3") + logged("PUMP ALARM 3") + logged("line1\nALARM") +
                  masked(logged(forged)));
    EXPECT_EQ(masked(read_file(dir.file("lower_" + d + ".log"))), logged("pump alarm 3"));
    // The stamp holds today's local date.
    EXPECT_NE(read_file(dir.file("al_" + d + ".log"))
                  .find(" " + local_text("%d/%m/%Y", time(nullptr), tz) + " "),
              std::string::npos);
}

// Names and stamps are in local time. At every moment one of these two zones,
// on either side of the date line, is on another date than UTC.
TEST(ListenerE2E, DayFileAndStampAreInTheLocalZone)
{
    for (std::string zone : {"Etc/GMT-14", "Etc/GMT+12"}) {
        temp_dir dir;
        write_file(dir.file("log.ini"), "affichage * S\nZ = z_\n");
        listener l(dir.path, {"log.ini"}, zone);
        long long t0 = time(nullptr);
        send_to(l.port, "Z");
        ASSERT_TRUE(l.wait_shown(shown_line("Z"))) << zone;
        long long t1 = time(nullptr);
        // Around a midnight the message may be filed on either side of it.
        std::string text;
        for (long long t : {t0, t1}) {
            text = read_file(dir.file("z_" + local_text("%Y_%m_%d", t, zone) + ".log"));
            if (!text.empty()) {
                EXPECT_EQ(text.substr(0, 11), " " + local_text("%d/%m/%Y", t, zone)) << zone;
                break;
            }
        }
        EXPECT_EQ(masked(text), logged("Z")) << zone;
    }
}

TEST(ListenerE2E, QuietModeShowsNothingButFiles)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "ALARM = al_\naffichage * R\n");
    listener l(dir.path, {dir.file("log.ini")});
    send_to(l.port, "nothing to file");
    send_to(l.port, "ALARM 1");
    std::string file = dir.file("al_" + today() + ".log");
    EXPECT_EQ(masked(wait_file(file, logged_size("ALARM 1"))), logged("ALARM 1"));
    // Quiet past the receive timeout set while the append waits for its
    // sync: a timeout is no receive failure, and the listener goes on.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(waitpid(l.p.pid, nullptr, WNOHANG), 0);
    send_to(l.port, "ALARM 2");
    EXPECT_EQ(masked(wait_file(file, 2 * logged_size("ALARM 1"))), logged("ALARM 1") + logged("ALARM 2"));
    l.p.read_for(milliseconds(200)); // gather whatever the console got
    EXPECT_EQ(l.shown(), "");
}

TEST(ListenerE2E, PortHeldByAnotherProgramEndsWithStatusTwo)
{
    temp_dir dir;
    int port = 0;
    int held = udp_socket_on(INADDR_ANY, port);

    std::string out, err;
    EXPECT_EQ(run("ovelsk", {std::to_string(port)}, dir.path, &out, &err), 2);
    EXPECT_EQ(out, "caractéristique affichage : 1 \n");
    // One report per address the resolver offered (IPv4, then IPv6 when the
    // system has it), then the verdict.
    const std::string held_by = "listener: bind: Address already in use\n";
    const std::string verdict = "listener: failed to bind socket\n";
    EXPECT_TRUE(err == held_by + verdict || err == held_by + held_by + verdict) << err;
    // Both streams on one pipe, as under nohup or 2>&1: the start-up lines
    // come first, though standard output is written in blocks there.
    proc joined = start("ovelsk", {std::to_string(port)}, dir.path, "Europe/Paris",
                        console_kind::joined);
    EXPECT_EQ(joined.wait_exit(), 2);
    EXPECT_EQ(joined.out_text, out + err);
    close(held);
}

// A directory the listener cannot write in is said at start, each prefix
// once. A failure is said when it starts and when it ends, not for every
// message; source rules are tried before content rules, whatever the file
// order. A directory made, or taken away and made again, is filled by the
// next message.
TEST(ListenerE2E, UnwritableDayFileIsReportedAndTheListenerGoesOn)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "affichage * S\nA = nodir/a_\nB = b_\n127.0.0.1 : nodir/s_\n"
                                    "C = nodir/a_\n");
    listener l(dir.path, {dir.file("log.ini")});
    const std::string at_start = "listener: journal: nodir/s_: directory not writable: No such file or directory\n"
                                 "listener: journal: nodir/a_: directory not writable: No such file or directory\n";
    EXPECT_TRUE(l.p.wait_err(at_start));
    l.p.err_text.erase(0, at_start.size());
    send_to(l.port, "A B first");
    send_to(l.port, "A second");
    send_to(l.port, "B third");
    ASSERT_TRUE(l.p.wait_out("| B third\"\n")) << l.p.out_text;
    std::string d = today();
    auto report = [&](const std::string& p) {
        return "listener: journal: nodir/" + p + d + ".log: No such file or directory\n";
    };
    EXPECT_TRUE(l.p.wait_err(report("s_") + report("a_")));
    EXPECT_EQ(l.p.err_text, report("s_") + report("a_"));
    // "B third" is shown for the source rule before it is filed under B.
    EXPECT_EQ(masked(wait_file(dir.file("b_" + d + ".log"), logged_size("A B first") + logged_size("B third"))),
              logged("A B first") + logged("B third"));
    // The directory made later is filled by the next message.
    ASSERT_EQ(mkdir(dir.file("nodir").c_str(), 0755), 0);
    send_to(l.port, "A fourth");
    EXPECT_EQ(masked(wait_file(dir.file("nodir/a_" + d + ".log"), logged_size("A fourth"))), logged("A fourth"));
    std::string again = "listener: journal: nodir/s_" + d + ".log: filing again after 3 messages "
                        "not filed\nlistener: journal: nodir/a_" + d +
                        ".log: filing again after 2 messages not filed\n";
    EXPECT_TRUE(l.p.wait_err(again));
    EXPECT_EQ(l.p.err_text, report("s_") + report("a_") + again);
    // Taken away while in use, it is a failure again, and made again, filed.
    ASSERT_EQ(system(("rm -r " + dir.file("nodir")).c_str()), 0);
    send_to(l.port, "A fifth");
    EXPECT_TRUE(l.p.wait_err(again + report("s_") + report("a_")));
    ASSERT_EQ(mkdir(dir.file("nodir").c_str(), 0755), 0);
    send_to(l.port, "A sixth");
    EXPECT_EQ(masked(wait_file(dir.file("nodir/a_" + d + ".log"), logged_size("A sixth"))),
              logged("A sixth"));
}

// The listener asks for a 4 MiB receive queue so that a burst waits in the
// kernel; an unprivileged process gets at most net.core.rmem_max.
TEST(ListenerE2E, AsksForALargeReceiveQueue)
{
    temp_dir dir;
    listener l(dir.path, {});
    std::string out = output_of("ss -ulmn 'sport = :" + std::to_string(l.port) + "'");
    std::size_t at = out.find("rb");
    ASSERT_NE(at, std::string::npos) << out;
    long long rb = std::stoll(out.substr(at + 2));
    long long asked = KIT_QUEUE_BYTES; // what the sysctl file allows
    long long cap = std::stoll(read_file("/proc/sys/net/core/rmem_max"));
    // The kernel counts twice what it is asked for, to cover its bookkeeping.
    long long want = 2 * (geteuid() == 0 ? asked : std::min(asked, cap));
    EXPECT_GE(rb, want) << out;
}

// A flood past the receive queue, while the listener is stopped: every
// datagram queued came before the drops, and none after them, so the count
// that comes with each says nothing. The kernel's total is said all the
// same, by the end of the quiet second after the queue is filed.
TEST(ListenerE2E, SaysWhatTheKernelDroppedAfterTheFlood)
{
    if (emulated()) // the board test checks it under the board's own kernel
        GTEST_SKIP() << "qemu-user does not pass the kernel's drop count (SO_RXQ_OVFL)";
    // The flood filed, and the flood matching no rule: with no append
    // waiting for its sync, the receive still wakes within the second.
    for (const char* rules : {"affichage * R\nf = f_\n", "affichage * R\ng = g_\n"}) {
        SCOPED_TRACE(rules);
        temp_dir dir;
        write_file(dir.file("log.ini"), rules);
        listener l(dir.path, {dir.file("log.ini")});
        long long total = 0;
        {
            paused pause(l.p.pid);
            udp_sender flood(l.port);
            std::string payload(100, 'f');
            for (int i = 0; i < 400000 && (i % 1000 != 0 || kernel_drops(l.port) < 1000); ++i)
                flood.send(payload);
            total = kernel_drops(l.port);
            ASSERT_GE(total, 1000);
        }
        const std::string said =
            "listener: receive queue full: " + std::to_string(total) + " datagrams dropped by the kernel so far\n";
        EXPECT_TRUE(l.p.wait_err(said, milliseconds(30000)));
        EXPECT_EQ(l.p.err_text, said);
        EXPECT_EQ(kernel_drops(l.port), total);
    }
}

// The check before a restart reads a port, the settings and a configuration
// as the listener does, and says each thing to mend: lines skipped, lines
// that are no rule, a display letter that sets nothing, a port no resolver
// knows, a directory that cannot be written. Status 0 when all is well.
TEST(ListenerE2E, TheCheckSaysWhatTheListenerWouldMakeOfItsSettings)
{
    temp_dir dir;
    ASSERT_EQ(mkdir(dir.file("in").c_str(), 0755), 0);
    write_file(dir.file("good-log.ini"), "' the packaged kind\naffichage * S\nALARM = alarm_\n10.0. : in/lan_\n");
    write_file(dir.file("bad-log.ini"), "affichage * x\nALARM=al_\nhello\nALARM = " + std::string(30, 'p') +
                                            "\nPUMP = gone/p_\n");
    const std::string opened = "il y a un fichier log.ini\n";
    struct { std::vector<std::string> args, env; std::string out, err; int status; } cases[] = {
        {{"7923", "good-log.ini"}, {},
         opened + "il y a un parametre d'affichage\nseul les selectionnées sont affichés\n"
                  "source rule: 10.0. : in/lan_\ncontent rule: ALARM = alarm_\ndisplay mode: 2\n"
                  "day files of 'in/lan_' in in/\nday files of 'alarm_' in .\nall is well\n",
         "", 0},
        {{"7923abc", "bad-log.ini"}, {"OVELSK_FLOOR_PERCENT=60"},
         "port '7923abc': Servname not supported for ai_socktype\n"
         "OVELSK_FLOOR_PERCENT '60': the share of each file system kept free, a whole percentage from 0 to 50\n" +
             opened + "il y a un parametre d'affichage\nligne 4 ignorée : préfixe de plus de 24 caractères\n"
                      "line 1: the display letter is not R, T or S, the mode stays: affichage * x\n"
                      "line 2 is no rule (KEY = PREFIX, KEY : PREFIX, with blanks around the kind): ALARM=al_\n"
                      "line 3 is no rule (KEY = PREFIX, KEY : PREFIX, with blanks around the kind): hello\n"
                      "content rule: PUMP = gone/p_\ndisplay mode: 1\nday files of 'gone/p_' in gone/\n"
                      "7 things to mend\n",
         "listener: journal: gone/p_: directory not writable: No such file or directory\n", 1},
        {{"7923", "none-log.ini"}, {},
         "configuration 'none-log.ini': No such file or directory: read as missing, no rule\ndisplay mode: 1\n"
         "1 thing to mend\n",
         "", 1},
        {{}, {}, "", "usage: ovelsk-check-rules PORT [CONFIGURATION]\n", 2},
    };
    for (auto& c : cases) {
        std::string out, err;
        EXPECT_EQ(run("ovelsk-check-rules", c.args, dir.path, &out, &err, tz, start_options(c.env)), c.status)
            << out;
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(err, c.err);
    }
}
