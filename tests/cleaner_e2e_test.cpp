// The cleaner as a real process, over day files made by the test and dated
// relative to today.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "harness.h"

using namespace kit;

namespace {

const std::string usage =
    " Il faut passer en arguments l'anteriorite du fichier a effacé  et le nom complet du "
    "fichier d'initialisation>  ...\n"
    " le nom du fichier d init doit etre log.ini \n"
    "  exemple : brannic 3 /var/log/my_log/log.ini \n";

std::string header(const std::string& date, int age, const std::string& ini)
{
    return "date_sans_heure'" + date + "'\nanciennete fichier = " + std::to_string(age) +
           " jours\nfichier ini :" + ini + ":\n";
}

std::string handled(const std::string& prefix, const std::string& date)
{
    std::string file = prefix + date + ".log";
    return "***+++*** " + prefix + " |\t|\n" + file + " \n" +
           " ------------------------------fichier  " + file + " effacé si trouvé \n";
}

// A program's standard output on /dev/full: every write to it fails.
start_options out_on_full_disk()
{
    start_options o;
    o.wrapper = {"sh", "-c", "exec \"$@\" >/dev/full", "sh"};
    return o;
}

// Every file below dir, as paths relative to it.
std::string listing(const temp_dir& dir)
{
    return output_of("cd " + dir.path + " && find . -type f | LC_ALL=C sort");
}

} // namespace

TEST(CleanerE2E, DeletesExactlyTheFilesOfTheTargetDate)
{
    temp_dir dir;
    mkdir(dir.file("sub").c_str(), 0755);
    write_file(dir.file("log.ini"), "' routing\n"
                                    "affichage * S\n"
                                    "ALARM = a_\n"
                                    "PUMP = sub/p_\n"
                                    "127.0.0.1 : a_\n" // the same prefix again
                                    "EMPTY =\n");
    std::string d3 = days_ago(3, tz), d2 = days_ago(2, tz), d4 = days_ago(4, tz);
    for (auto& f : {"a_" + d3, "a_" + d2, "a_" + d4, "sub/p_" + d3, "sub/p_" + d2, d3, d2,
                    "other_" + d3, "a_" + d3 + "x"})
        write_file(dir.file(f + ".log"), "line\n");

    std::string out, err;
    EXPECT_EQ(run("brannic", {"3", "log.ini"}, dir.path, &out, &err, tz), 0);
    std::string expected = header(d3, 3, "log.ini") + "il y a un fichier l.ini\n" +
                           handled("a_", d3) + handled("sub/p_", d3) + handled("a_", d3) +
                           handled("", d3);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(err, "");
    std::vector<std::string> left = {"./" + d2 + ".log",  "./a_" + d2 + ".log",
                                     "./a_" + d3 + "x.log", "./a_" + d4 + ".log",
                                     "./log.ini",           "./other_" + d3 + ".log",
                                     "./sub/p_" + d2 + ".log"};
    std::sort(left.begin(), left.end());
    std::string kept;
    for (auto& f : left)
        kept += f + "\n";
    EXPECT_EQ(listing(dir), kept);

    // A second run finds nothing left to delete and fails nothing.
    std::string before = listing(dir);
    EXPECT_EQ(run("brannic", {"3", "log.ini"}, dir.path, &out, &err, tz), 0);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(err, "");
    EXPECT_EQ(listing(dir), before);
}

// What would delete the wrong files, or none can be known, deletes nothing.
TEST(CleanerE2E, RefusesWhatWouldDeleteTheWrongFiles)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "A = a_\n");
    write_file(dir.file("a_" + today() + ".log"), "live\n");
    write_file(dir.file("a_" + days_ago(3, tz) + ".log"), "old\n");
    std::string long_path = "./" + std::string(110, 'd') + "/log.ini"; // 120 characters
    struct { std::vector<std::string> args; std::string out; } cases[] = {
        {{}, usage},
        {{"3"}, usage},
        {{"3", "log.ini", "x"}, usage},
        {{"abc", "log.ini"}, usage}, // read as 0 it would delete today's live file
        {{"", "log.ini"}, usage},
        {{"3", "log.INI"}, usage},
        {{"3", long_path}, usage},
        {{"4294967299", "log.ini"}, "anciennete 4294967299 trop grande : aucun fichier effacé\n"},
        {{"2000000000", "log.ini"},
         "date impossible a calculer pour une anciennete de 2000000000 jours : aucun fichier "
         "effacé\n"},
        {{"400000", "log.ini"}, // the year 931: no day file has a three-digit year
         "date impossible a calculer pour une anciennete de 400000 jours : aucun fichier effacé\n"},
        {{"1", "absent/log.ini"}, header(days_ago(1, tz), 1, "absent/log.ini") + "pas de fichier ini\n"},
    };
    std::string before = listing(dir);
    for (auto& c : cases) {
        std::string out, err;
        EXPECT_EQ(run("brannic", c.args, dir.path, &out, &err, tz), 0);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(err, "");
    }
    EXPECT_EQ(listing(dir), before);
}

TEST(CleanerE2E, ReportsAFileItCannotDeleteAndGoesOn)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "A = a_\nB = b_\n");
    std::string d = days_ago(1, tz);
    mkdir(dir.file("a_" + d + ".log").c_str(), 0755); // a directory is never removed
    write_file(dir.file("b_" + d + ".log"), "x\n");
    std::string out, err;
    EXPECT_EQ(run("brannic", {"1", "log.ini"}, dir.path, &out, &err, tz), 0);
    EXPECT_EQ(out, header(d, 1, "log.ini") + "il y a un fichier l.ini\n" + handled("a_", d) +
                       handled("b_", d));
    EXPECT_EQ(err, "brannic: remove: a_" + d + ".log: Is a directory\n");
    EXPECT_TRUE(exists(dir.file("a_" + d + ".log")));
    EXPECT_FALSE(exists(dir.file("b_" + d + ".log")));

    // The reason is the delete's, whatever writing standard output did.
    EXPECT_EQ(run("brannic", {"1", "log.ini"}, dir.path, &out, &err, tz, out_on_full_disk()), 0);
    EXPECT_EQ(err, "brannic: remove: a_" + d + ".log: Is a directory\n");
}

// The listener holds no day file open: after the cleaner deleted today's file,
// the next message creates it again.
TEST(CleanerE2E, TheListenerKeepsFilingAfterTodaysFileIsDeleted)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "affichage * S\nALARM = al_\n");
    listener l(dir.path, {"log.ini"}, tz);
    send_to(l.port, "ALARM one");
    ASSERT_TRUE(l.wait_shown(shown_line("ALARM one")));
    std::string file = dir.file("al_" + today() + ".log");
    ASSERT_TRUE(exists(file));

    ASSERT_EQ(run("brannic", {"0", "log.ini"}, dir.path, nullptr, nullptr, tz), 0);
    EXPECT_FALSE(exists(file));

    send_to(l.port, "ALARM two");
    ASSERT_TRUE(l.wait_shown(shown_line("ALARM one") + shown_line("ALARM two")));
    EXPECT_EQ(masked(read_file(file)), logged("ALARM two"));
    EXPECT_EQ(l.p.err_text, ""); // a file gone is no failure
}

// The daily run, as the service runs it: every date past the age deleted at
// once, one line each, then the summary; a 1970 file left out and named.
// What it refuses, or cannot do, fails it and says why on standard error.
TEST(CleanerE2E, TheDailyRunDeletesEveryDatePastTheAgeAndFailsWhereItCannot)
{
    temp_dir dir;
    write_file(dir.file("log.ini"), "A = a_\n");
    for (int n : {31, 90, 29, 0})
        write_file(dir.file("a_" + days_ago(n, tz) + ".log"), "line\n");
    write_file(dir.file("a_1970_01_01.log"), "line\n");
    std::string out, err;
    EXPECT_EQ(run("brannic-retention", {"30", "log.ini"}, dir.path, &out, &err, tz), 0);
    // The deleted files come in the directory's order.
    std::string d31 = "effacé a_" + days_ago(31, tz) + ".log\n", d90 = "effacé a_" + days_ago(90, tz) + ".log\n";
    std::string summary = "bilan : 2 effacés (datés du " + days_ago(30, tz) +
                          " ou d'avant), 2 gardés, 1 laissé de côté, le plus ancien : a_1970_01_01.log\n";
    std::string head = "il y a un fichier l.ini\n";
    // Then the room: the two files kept, and the file system they lie on
    // as df shows it (its free space moves with what others write).
    std::size_t room_at = out.find("place : ");
    ASSERT_NE(room_at, std::string::npos) << out;
    std::string room = out.substr(room_at);
    out.erase(room_at);
    EXPECT_TRUE(out == head + d31 + d90 + summary || out == head + d90 + d31 + summary) << out;
    EXPECT_EQ(err, "");
    long long kept = -1, free_kib = -1, total = -1, share = -1;
    char end = 0;
    EXPECT_EQ(std::sscanf(room.c_str(), "place : %lld Kio gardés ; . : %lld Kio libres sur %lld Kio (%lld %%)%c",
                          &kept, &free_kib, &total, &share, &end), 5)
        << room;
    struct statvfs v;
    ASSERT_EQ(statvfs(dir.path.c_str(), &v), 0);
    EXPECT_EQ(kept, 1); // 10 bytes
    EXPECT_EQ(total, static_cast<long long>(v.f_blocks * v.f_frsize / 1024));
    EXPECT_LT(std::llabs(free_kib - static_cast<long long>(v.f_bavail * v.f_frsize / 1024)), 100 << 10);
    EXPECT_EQ(share, total > 0 ? free_kib * 100 / total : 0);
    EXPECT_EQ(end, '\n');

    std::string before = listing(dir);
    const std::string nothing = "; nothing deleted\n";
    const std::string age = "brannic-retention: BRANNIC_AGE '";
    const std::string age_limit = "': a number of days from 1 to 36500 is needed" + nothing;
    struct refusal { std::vector<std::string> args; int status; std::string err; };
    std::vector<refusal> refused = {
        {{"30"}, 2, "usage: brannic-retention AGE CONFIGURATION\n"},
        {{"30", "log.INI"}, 2, "brannic-retention: OVELSK_CONF 'log.INI': a path of at most 119 "
                               "characters ending in log.ini is needed" + nothing},
        {{"30", "absent/log.ini"}, 1, "brannic-retention: absent/log.ini: No such file or directory" + nothing},
    };
    // Today's files (the live one), what is no number or too large, and
    // typos that brannic would read as their leading digits.
    for (const char* a : {"0", "abc", "36501", "3O", "3 0", "1e3", "30.9", " 30", "+30"})
        refused.push_back({{a, "log.ini"}, 2, age + a + age_limit});
    for (auto& c : refused) {
        EXPECT_EQ(run("brannic-retention", c.args, dir.path, &out, &err, tz), c.status) << c.err;
        EXPECT_EQ(err, c.err);
    }
    EXPECT_EQ(listing(dir), before);

    // A directory named like a day file past the age cannot be deleted.
    std::string d40 = "a_" + days_ago(40, tz) + ".log";
    mkdir(dir.file(d40).c_str(), 0755);
    EXPECT_EQ(run("brannic-retention", {"30", "log.ini"}, dir.path, &out, &err, tz), 1);
    EXPECT_EQ(err, "brannic-retention: remove: " + d40 + ": Is a directory\n");
    // The reason is the delete's, whatever the standard output's own
    // failure (a full disk under the journal) sets meanwhile.
    EXPECT_EQ(run("brannic-retention", {"30", "log.ini"}, dir.path, &out, &err, tz, out_on_full_disk()), 1);
    EXPECT_EQ(err, "brannic-retention: remove: " + d40 + ": Is a directory\n");
}

// Under the service, the daily run checks its clock by the last run's. The
// first run of a boot keeps each prefix's newest day file and says so; a
// wall clock that ran ahead of the boot clock since the last run of the
// same boot deletes only what the boot clock's time allows, says both, and
// fails.
TEST(CleanerE2E, TheDailyRunDeletesByAClockItCouldCheck)
{
    temp_dir dir;
    ASSERT_EQ(mkdir(dir.file("state").c_str(), 0755), 0);
    write_file(dir.file("log.ini"), "A = a_\nB = b_\n");
    auto planted = [&](const char* prefix, std::initializer_list<int> ages) {
        for (int n : ages)
            write_file(dir.file(prefix + days_ago(n, tz) + ".log"), "line\n");
    };
    start_options o({"STATE_DIRECTORY=" + dir.file("state"), "BRANNIC_BOOT=0123456789abcdef0123456789abcdef"});
    const std::string last_run = dir.file("state/last-run");
    std::string out, err;

    // The first run of the boot: b_ has nothing newer than the age.
    planted("a_", {0, 31});
    planted("b_", {40, 31});
    EXPECT_EQ(run("brannic-retention", {"30", "log.ini"}, dir.path, &out, &err, tz, o), 0) << err;
    EXPECT_NE(out.find("gardé b_" + days_ago(31, tz) +
                       ".log : le plus récent de son préfixe, l'horloge n'étant pas vérifiée depuis le démarrage\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(listing(dir), "./a_" + today() + ".log\n./b_" + days_ago(31, tz) +
                                ".log\n./log.ini\n./state/last-run\n");
    EXPECT_EQ(err, "");
    // The next run of the same boot checks the clock: b_'s last file goes.
    EXPECT_EQ(run("brannic-retention", {"30", "log.ini"}, dir.path, &out, &err, tz, o), 0) << err;
    EXPECT_FALSE(exists(dir.file("b_" + days_ago(31, tz) + ".log")));

    // The last run, by the boot clock a minute ago, read two days earlier:
    // the clock ran ahead. Deleted as two days ago, and said.
    struct timespec boot;
    clock_gettime(CLOCK_BOOTTIME, &boot);
    long long then = time(nullptr) - 2 * 86400;
    write_file(last_run, std::to_string(then) + " " + std::to_string(boot.tv_sec - 60) +
                             " 0123456789abcdef0123456789abcdef\n");
    planted("a_", {31, 32});
    EXPECT_EQ(run("brannic-retention", {"30", "log.ini"}, dir.path, &out, &err, tz, o), 1);
    EXPECT_TRUE(exists(dir.file("a_" + days_ago(31, tz) + ".log")));
    EXPECT_FALSE(exists(dir.file("a_" + days_ago(32, tz) + ".log")));
    EXPECT_EQ(err.find("brannic-retention: the clock reads "), 0u) << err;
    EXPECT_NE(err.find(" ahead of the boot clock since the last run ("), std::string::npos) << err;
    EXPECT_NE(err.find("; set the clock right\n"), std::string::npos) << err;
    // What the next run goes by is the boot clock's time, not the clock's.
    long long kept = std::atoll(read_file(last_run).c_str());
    EXPECT_GE(kept, then + 60);
    EXPECT_LT(kept, then + 600);

    // Kept clocks that cannot be written fail the run, once it did its job.
    ASSERT_EQ(unlink(last_run.c_str()), 0);
    ASSERT_EQ(mkdir(last_run.c_str(), 0755), 0);
    EXPECT_EQ(run("brannic-retention", {"30", "log.ini"}, dir.path, &out, &err, tz, o), 1);
    EXPECT_EQ(err, "brannic-retention: " + last_run + ": Is a directory: the next run cannot check the clock\n");
}
