// The rules the listener and the cleaner share: file-name rule, line split,
// line reader and day-file name.
#include <gtest/gtest.h>

#include "fresh_state.h"

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "conf.h"
#include "day_file.h"
#include "text.h"

static const bool fresh = kit::keep_fresh();

TEST(FileNameRule, AcceptsOnlyPathsEndingInLogIni)
{
    struct { const char* path; bool ok; } cases[] = {
        {"/etc/log.ini", true},   {"log.ini", true},        {"mylog.ini", true},
        {"catalog.ini", true},    {"/etc/log.INI", false},  {"log.in", false},
        {"", false},              {"og.ini", false},        {"/etc/log.ini/", false},
        {"log.ini.bak", false},
    };
    for (auto& c : cases)
        EXPECT_EQ(is_log_ini(c.path), c.ok) << c.path;
}

TEST(CopyText, RefusesWhatDoesNotFitAndCutsNothing)
{
    char field[5];
    EXPECT_TRUE(copy_text(field, "abcd"));
    EXPECT_STREQ(field, "abcd");
    EXPECT_FALSE(copy_text(field, "abcde"));
    EXPECT_STREQ(field, "");
}

TEST(SplitLine, ReadsKeyKindAndValueLikeTheScanPattern)
{
    const std::string k39(39, 'k');
    struct { std::string line, key; char kind; std::string value;
             bool key_fits = true; bool value_fits = true; } cases[] = {
        {"ALARM = /var/log/my_log/alarm_", "ALARM", '=', "/var/log/my_log/alarm_"},
        {"192.168.1. : /var/log/my_log/lan_", "192.168.1.", ':', "/var/log/my_log/lan_"},
        {"ALARM =/var/log/my_log/alarm_", "ALARM", '=', "/var/log/my_log/alarm_"},
        {"ALARM=/var/log/my_log/alarm_", "ALARM=/var/log/my_log/alarm_", '\0', ""},
        {"ALARM =", "ALARM", '=', ""},
        {"ALARM = /x_ extra words", "ALARM", '=', "/x_"},
        {"*T", "*T", '\0', ""},
        {"* T", "*", 'T', ""},
        {"affichage * Selection", "affichage", '*', "Selection"},
        {"\t ALARM\t=\t/x_\r", "ALARM", '=', "/x_"},
        {" 'not a comment = /c_", "'not", 'a', "comment"},
        {"", "", '\0', ""},
        {"   \r", "", '\0', ""},
        {"single", "single", '\0', ""},
        // A word too long for its field leaves it empty, and says so.
        {k39 + " = p_", k39, '=', "p_"},
        {k39 + "k = p_", "", '=', "p_", false},
        {"k = " + std::string(200, 'v'), "k", '=', "", true, false},
    };
    for (auto& c : cases) {
        conf_fields f;
        split_line(c.line.c_str(), f);
        EXPECT_STREQ(f.key, c.key.c_str()) << c.line;
        EXPECT_EQ(f.kind, c.kind) << c.line;
        EXPECT_STREQ(f.value, c.value.c_str()) << c.line;
        EXPECT_EQ(f.key_fits, c.key_fits) << c.line;
        EXPECT_EQ(f.value_fits, c.value_fits) << c.line;
    }
}

// Writes text to a file and reads it back line by line.
static std::vector<std::pair<line_status, std::string>> read_lines(const std::string& text)
{
    char path[] = "/tmp/kit-lines-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    lseek(fd, 0, SEEK_SET);
    static line_reader r;
    reader_open(r, fd);
    std::vector<std::pair<line_status, std::string>> lines;
    for (line_status st; (st = next_line(r)) != line_status::end;) {
        lines.emplace_back(st, r.line);
        EXPECT_EQ(r.number, lines.size());
    }
    close(fd);
    unlink(path);
    return lines;
}

TEST(LineReader, ReadsEveryLineOnceWhateverItsEnd)
{
    using L = std::vector<std::pair<line_status, std::string>>;
    const auto ok = line_status::ok;
    const auto long_ = line_status::too_long;
    std::string l99(99, 'a'), l100(100, 'b');
    struct { std::string text; L lines; } cases[] = {
        {"a\nb\n", {{ok, "a"}, {ok, "b"}}},
        {"a\nb", {{ok, "a"}, {ok, "b"}}},
        {"a\r\nb\r\n", {{ok, "a"}, {ok, "b"}}},
        {"a\r\nb\r", {{ok, "a"}, {ok, "b"}}},
        {"\n\n", {{ok, ""}, {ok, ""}}},
        {"", {}},
        {l99 + "\n", {{ok, l99}}},
        {l99 + "\r\n", {{ok, l99}}},
        {l99, {{ok, l99}}},
        // A line over the limit is one skipped line: its rest never comes
        // back as a line of its own.
        {l100 + "\nnext\n", {{long_, ""}, {ok, "next"}}},
        {l100 + "\r\nnext", {{long_, ""}, {ok, "next"}}},
        {std::string(10000, 'c') + "\nnext\n", {{long_, ""}, {ok, "next"}}},
        {l100, {{long_, ""}}},
    };
    for (auto& c : cases)
        EXPECT_EQ(read_lines(c.text), c.lines) << c.text.substr(0, 20);
}

// Breaks a time down in a zone, as the programs do with TZ set.
static std::tm local(long long when, const char* tz)
{
    setenv("TZ", tz, 1);
    tzset();
    time_t t = static_cast<time_t>(when);
    std::tm tm;
    localtime_r(&t, &tm);
    return tm;
}

TEST(DayFileName, IsPrefixThenLocalDateThenLog)
{
    struct { long long when; const char* tz; const char* prefix; const char* name; } cases[] = {
        {1796637000, "Europe/Paris", "/var/log/my_log/pump_", "/var/log/my_log/pump_2026_12_07.log"},
        {1796637000, "Europe/Paris", "", "2026_12_07.log"},
        // 23:00 UTC is already the next day in Paris in winter.
        {1796684400, "UTC", "x_", "x_2026_12_07.log"},
        {1796684400, "Europe/Paris", "x_", "x_2026_12_08.log"},
        {1796684399, "Europe/Paris", "x_", "x_2026_12_07.log"},
        // Across the daylight-saving changes of 2026 (29 March, 25 October).
        {1774745999, "Europe/Paris", "d_", "d_2026_03_29.log"}, // 01:59:59 CET
        {1774746000, "Europe/Paris", "d_", "d_2026_03_29.log"}, // 03:00:00 CEST
        {1774821599, "Europe/Paris", "d_", "d_2026_03_29.log"}, // 23:59:59 CEST
        {1777413600, "Europe/Paris", "d_", "d_2026_04_29.log"}, // 00:00 CEST
        {1792886400, "Europe/Paris", "d_", "d_2026_10_25.log"}, // 02:00 CEST, before the clocks go back
        {1792969199, "Europe/Paris", "d_", "d_2026_10_25.log"}, // 23:59:59 CET
        {1792969200, "Europe/Paris", "d_", "d_2026_10_26.log"},
        // After 19 January 2038 03:14:07 UTC, where a 32-bit clock ends.
        {2147483648LL, "UTC", "y_", "y_2038_01_19.log"},
        {4102444800LL, "UTC", "y_", "y_2100_01_01.log"},
    };
    for (auto& c : cases) {
        char out[64];
        EXPECT_TRUE(day_file_name(out, sizeof out, c.prefix, local(c.when, c.tz))) << c.name;
        EXPECT_STREQ(out, c.name);
    }
    // What does not fit is refused, never cut.
    std::tm when = local(1796637000, "UTC");
    char out[20];
    EXPECT_TRUE(day_file_name(out, sizeof out, "abcd_", when)); // 19 characters
    EXPECT_FALSE(day_file_name(out, sizeof out, "abcde_", when));
    EXPECT_STREQ(out, "");
    when.tm_year = 10000 - 1900; // a five-digit year does not fit the date
    EXPECT_FALSE(day_date(out, day_date_size, when));
}

// A day file's name read back by the rule that makes it: only a real date
// of the calendar is a date.
TEST(DayFileName, IsReadBackIntoItsPrefixAndDate)
{
    const long long d2026_12_07 = days_from_date(2026, 12, 7);
    struct { const char* name; day_name shape; std::size_t stem; long long days; } cases[] = {
        {"alarm_2026_12_07.log", day_name::dated, 6, d2026_12_07},
        {"2026_12_07.log", day_name::dated, 0, d2026_12_07},
        {"x_2024_02_29.log", day_name::dated, 2, days_from_date(2024, 2, 29)},
        {"x_1970_01_01.log", day_name::dated, 2, 0},
        {"x_2026_02_29.log", day_name::no_date, 0, 0},
        {"x_2026_04_31.log", day_name::no_date, 0, 0},
        {"x_2026_13_01.log", day_name::no_date, 0, 0},
        {"x_2026_00_10.log", day_name::no_date, 0, 0},
        {"x_9999_99_99.log", day_name::no_date, 0, 0},
        {"x_2026_1_07.log", day_name::other, 0, 0},
        {"x_2026-12-07.log", day_name::other, 0, 0},
        {"x_2026_12_07.log.bak", day_name::other, 0, 0},
        {"x_2026_12_07.txt", day_name::other, 0, 0},
        {"log.ini", day_name::other, 0, 0},
    };
    for (auto& c : cases) {
        std::size_t stem = 0;
        long long days = 0;
        EXPECT_EQ(read_day_file_name(c.name, stem, days), c.shape) << c.name;
        if (c.shape == day_name::dated) {
            EXPECT_EQ(stem, c.stem) << c.name;
            EXPECT_EQ(days, c.days) << c.name;
        }
    }
    // And back: the date of a name is the date it was made of.
    long long y = 0;
    int m = 0, d = 0;
    date_from_days(d2026_12_07, y, m, d);
    EXPECT_EQ(y * 10000 + m * 100 + d, 20261207);
}
