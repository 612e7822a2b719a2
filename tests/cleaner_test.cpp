// The cleaner's age, target date and reader, in-process.
#include <gtest/gtest.h>

#include "fresh_state.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "cleaner.h"
#include "day_file.h"
#include "harness.h"
#include "run_clock.h"

static const bool fresh = kit::keep_fresh();

TEST(ReadAge, TakesLeadingDigitsAndRefusesTheRest)
{
    struct { const char* text; age_status st; int age; } cases[] = {
        {"3", age_status::ok, 3},
        {" +3days", age_status::ok, 3},
        {"-2", age_status::ok, -2},
        {"0", age_status::ok, 0},
        {"2147483647", age_status::ok, 2147483647},
        {"-2147483648", age_status::ok, -2147483647 - 1},
        {"abc", age_status::no_digits, 0},
        {"", age_status::no_digits, 0},
        {"-", age_status::no_digits, 0},
        {"2147483648", age_status::too_large, 0},
        {"4294967299", age_status::too_large, 0}, // not 3
        {"-2147483649", age_status::too_large, 0},
        {"99999999999999999999999999", age_status::too_large, 0},
    };
    for (auto& c : cases) {
        int age = -99;
        EXPECT_EQ(read_age(c.text, age), c.st) << c.text;
        if (c.st == age_status::ok) {
            EXPECT_EQ(age, c.age) << c.text;
        }
    }
}

// The clock a daily run deletes by, judged by the last run's.
TEST(JudgeClock, TrustsTheWallClockOnlyAsFarAsTheBootClockAllows)
{
    const long long w = 1796637000, b = 100000; // the last run's wall and boot clocks
    struct { const char* name; const char* boot; long long wall, boot_s; clock_verdict want; } cases[] = {
        {"a day later by both", "x", w + 86400, b + 86400, {w + 86400, false, false}},
        {"ahead by the slack", "x", w + 86400 + 60, b + 86400, {w + 86400 + 60, false, false}},
        {"ahead past the slack", "x", w + 86400 + 61, b + 86400, {w + 86400, true, false}},
        {"forty days ahead", "x", w + 41 * 86400, b + 86400, {w + 86400, true, false}},
        {"behind", "x", w + 3600, b + 86400, {w + 3600, false, false}},
        {"another boot", "y", w + 40 * 86400, 30, {w + 40 * 86400, false, true}},
        {"a boot clock gone back", "x", w + 40 * 86400, b - 1, {w + 40 * 86400, false, true}},
    };
    run_clock last;
    last.set = true;
    last.wall_s = w;
    last.boot_s = b;
    std::strcpy(last.boot, "x");
    for (auto& c : cases) {
        run_clock now = last;
        now.wall_s = c.wall;
        now.boot_s = c.boot_s;
        std::strcpy(now.boot, c.boot);
        clock_verdict v = judge_clock(last, now);
        EXPECT_EQ(v.use_s, c.want.use_s) << c.name;
        EXPECT_EQ(v.ahead, c.want.ahead) << c.name;
        EXPECT_EQ(v.new_boot, c.want.new_boot) << c.name;
    }
    EXPECT_TRUE(judge_clock(run_clock{}, last).new_boot); // no last run
}

static std::string target(long long now, long long age, const char* tz)
{
    kit::use_tz(tz);
    std::tm day;
    char date[day_date_size];
    if (!target_day(static_cast<time_t>(now), age, day) || !day_date(date, sizeof date, day))
        return "none";
    return date;
}

TEST(TargetDay, IsTheCalendarDateThatManyDaysBack)
{
    struct { long long now; long long age; const char* date; } cases[] = {
        {1796893200, 3, "2026_12_07"},  // 10 December 2026 10:00 CET
        {1796893200, 0, "2026_12_10"},
        {1796893200, -2, "2026_12_12"},
        {1796893200, 10, "2026_11_30"},
        {1796893200, 365, "2025_12_10"},
        {1835478000, 1, "2028_02_29"},  // 1 March 2028 00:00 CET: a leap day back
        {1835478000, 366, "2027_03_01"},
        // The clocks went back on 25 October 2026: that day has 25 hours.
        // At 23:30 that evening one day back is the 24th, not the 25th again.
        {1792967400, 1, "2026_10_24"},
        {1792967400, 0, "2026_10_25"},
        // The clocks went forward on 29 March 2026: that day has 23 hours.
        // Just after the next midnight one day back is the 29th, not the 28th.
        {1774823400, 1, "2026_03_29"},  // 30 March 00:30 CEST
        {1774823400, 2, "2026_03_28"},
        // After 19 January 2038, where a 32-bit clock ends.
        {2147483648LL + 86400 * 30, 3, "2038_02_15"},
        // Too far to name a four-digit year: nothing to delete.
        {1796893200, 2000000000, "none"},
        {1796893200, -2147483647 - 1, "none"},
        // A day file's year has four digits: 1000 to 9999, and no other.
        {1796893200, 400000, "none"},   // the year 931
        {1796893200, 800000, "none"},   // the year -164
        {1796893200, 375082, "1000_01_01"},
        {1796893200, 375083, "none"},
        {1796893200, -2912099, "9999_12_31"},
        {1796893200, -2912100, "none"},
    };
    for (auto& c : cases)
        EXPECT_EQ(target(c.now, c.age, "Europe/Paris"), c.date) << c.now << " - " << c.age;
}

namespace {

std::vector<std::string> read_prefixes(const std::string& text, std::string& out)
{
    kit::temp_dir dir;
    kit::write_file(dir.file("log.ini"), text);
    testing::internal::CaptureStdout();
    init(dir.file("log.ini").c_str());
    out = testing::internal::GetCapturedStdout();
    return std::vector<std::string>(name_site, name_site + i_name);
}

} // namespace

TEST(CleanerReader, GathersEveryPrefixTheListenerCanWrite)
{
    const std::string opened = "il y a un fichier l.ini\n";
    using P = std::vector<std::string>;
    auto prefixes = [](int from, int to) {
        P p;
        for (int i = from; i < to; ++i)
            p.push_back("p" + std::to_string(i) + "_");
        return p;
    };
    P fifty = prefixes(0, 50);
    P past = prefixes(0, 25);
    past.insert(past.begin(), std::string(24, 'p'));
    past.push_back("c_");
    std::string long30 = " = " + std::string(30, 'j') + "\n";
    struct { const char* name; std::string text; std::string out; P prefixes; } cases[] = {
        {"both kinds in file order, the rest ignored",
         "' c = comment_\nA = a_\r\n10.0.0.1 : lan_\naffichage * S\nB = a_\nC =\nnot a rule\n",
         opened, {"a_", "lan_", "a_", ""}},
        {"25 rules of each kind, 50 prefixes", kit::rule_lines(0, 25, '=') + kit::rule_lines(25, 50, ':'),
         opened, fifty},
        // The listener's limits, line for line: what it skips is skipped here
        // with the same words.
        {"past the limits",
         "A = " + std::string(24, 'p') + "\nB = " + std::string(25, 'q') + "\n" +
             std::string(100, 'x') + "\n" + kit::rule_lines(0, 26, ':') + "C = c_\n'" +
             std::string(150, 'c') + "\n",
         opened + "ligne 2 ignorée : préfixe de plus de 24 caractères\n" +
             "ligne 3 ignorée : plus de 99 caractères\n" +
             "ligne 29 ignorée : plus de 25 règles d'adresse\n",
         past},
        // A line the listener skips does not use up a place of its kind.
        {"a source key the listener refuses, then 25 source rules",
         "127.0.0.1" + std::string(21, 'x') + " : j/never_\n" + kit::rule_lines(0, 25, ':'),
         opened + "ligne 1 ignorée : clé de plus de 24 caractères pour une règle d'adresse\n",
         prefixes(0, 25)},
        {"three prefixes of 30 characters, then 25 content rules",
         "A" + long30 + "B" + long30 + "C" + long30 + kit::rule_lines(0, 25, '='),
         opened + "ligne 1 ignorée : préfixe de plus de 24 caractères\n" +
             "ligne 2 ignorée : préfixe de plus de 24 caractères\n" +
             "ligne 3 ignorée : préfixe de plus de 24 caractères\n",
         prefixes(0, 25)},
    };
    for (auto& c : cases) {
        std::string out;
        EXPECT_EQ(read_prefixes(c.text, out), c.prefixes) << c.name;
        EXPECT_EQ(out, c.out) << c.name;
    }
}

// The daily retention over planted files: what it deletes, keeps and leaves
// out, on the day after the clocks went forward (30 March 2026 00:30 CEST,
// the day before had 23 hours), with an age of 2 days.
class Retention : public kit::in_temp_dir {};

TEST_F(Retention, DeletesOnlyTheConfiguredPrefixesDaysPastTheAge)
{
    ASSERT_EQ(mkdir("sub", 0755), 0);
    // ./a_ is a_ written otherwise: its directory is listed once.
    kit::write_file("log.ini", "A = a_\nB = sub/b_\nC = ./a_\nD = nodir/d_\n");
    struct { const char* name; bool gone; } files[] = {
        {"a_2026_03_28.log", true},   // exactly the age back
        {"a_2026_01_01.log", true},   // the kit's first day
        {"sub/b_2026_03_01.log", true}, // a prefix in another directory
        {"a_2026_03_29.log", false},  // the short day, one day back
        {"a_2026_03_30.log", false},  // today
        // Left out, each named like a day file:
        {"a_2026_03_31.log", false},  // after today
        {"a_2025_12_31.log", false},  // before the kit existed
        {"a_1970_01_01.log", false},  // a clock not yet set: the oldest
        {"a_2026_02_29.log", false},  // no date
        {"sub/a_2026_03_01.log", false}, // a_ is configured here, not in sub/
        {"b_2026_03_01.log", false},  // b_ is configured in sub/, not here
        {"gone_2026_03_01.log", false}, // a prefix no longer configured
        {"2026_03_01.log", false},
        {"a_2026_03_01.txt", false},  // not named like a day file: not counted
    };
    for (auto& f : files)
        kit::write_file(f.name, "x\n");
    kit::use_tz("Europe/Paris");
    testing::internal::CaptureStdout();
    ASSERT_TRUE(init("log.ini"));
    retention_totals t;
    ASSERT_TRUE(retain(1774823400, 2, false, t));
    std::string out = testing::internal::GetCapturedStdout();
    for (auto& f : files)
        EXPECT_EQ(!kit::exists(f.name), f.gone) << f.name;
    EXPECT_EQ(t.deleted, 3u);
    EXPECT_EQ(t.kept, 2u);
    EXPECT_EQ(t.left_out, 8u);
    EXPECT_EQ(t.failed, 0u);
    EXPECT_STREQ(t.oldest, "a_1970_01_01.log");
    std::vector<std::string> said;
    for (std::size_t at = out.find("effacé "); at != std::string::npos; at = out.find("effacé ", at + 1))
        said.push_back(out.substr(at, out.find('\n', at) - at));
    std::sort(said.begin(), said.end());
    EXPECT_EQ(said, (std::vector<std::string>{"effacé a_2026_01_01.log", "effacé a_2026_03_28.log",
                                              "effacé sub/b_2026_03_01.log"}));

    // A second run finds nothing more to delete.
    retention_totals again;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(retain(1774823400, 2, false, again));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(again.deleted, 0u);
    EXPECT_EQ(again.left_out, 8u);

    // A run that keeps each prefix's newest: a_ has today's; sub/b_ keeps
    // its newest, though past the age, and says so (one dated after today
    // is left out anyway, and no newest); ./a_ is a_.
    for (const char* f : {"a_2026_03_27.log", "sub/b_2026_02_01.log", "sub/b_2026_03_02.log", "sub/b_2026_04_15.log"})
        kit::write_file(f, "x\n");
    retention_totals newest;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(retain(1774823400, 2, true, newest));
    out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(kit::exists("a_2026_03_27.log"));
    EXPECT_FALSE(kit::exists("sub/b_2026_02_01.log"));
    EXPECT_TRUE(kit::exists("sub/b_2026_03_02.log"));
    EXPECT_EQ(newest.deleted, 2u);
    EXPECT_EQ(newest.kept_newest, 1u);
    EXPECT_EQ(newest.kept, 3u);
    EXPECT_NE(out.find("gardé sub/b_2026_03_02.log : le plus récent"), std::string::npos) << out;
}
