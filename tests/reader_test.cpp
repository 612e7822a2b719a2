// The listener's configuration reader, driven in-process: the tables and
// the display mode it builds from each kind of line, and what it says of a
// file it cannot read.
#include <gtest/gtest.h>

#include "fresh_state.h"

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "harness.h"
#include "listener.h"

static const bool fresh = kit::keep_fresh();

using rules = std::vector<std::pair<std::string, std::string>>;

namespace {

struct read_result {
    std::string out;
    int mode;
    rules content;
    rules source;
};

read_result read_config(const std::string& text)
{
    kit::temp_dir dir;
    kit::write_file(dir.file("log.ini"), text);
    aff = 1;
    i_name = i_ip = 0;
    testing::internal::CaptureStdout();
    init(dir.file("log.ini").c_str());
    read_result r;
    r.out = testing::internal::GetCapturedStdout();
    r.mode = aff;
    for (int i = 0; i < i_name; ++i)
        r.content.emplace_back(site[i], name_site[i]);
    for (int i = 0; i < i_ip; ++i)
        r.source.emplace_back(ad_ip[i], name_ad_ip[i]);
    return r;
}

const std::string opened = "il y a un fichier log.ini\n";
const std::string display = "il y a un parametre d'affichage\n";

} // namespace

TEST(ListenerReader, BuildsTablesAndModeFromTheLines)
{
    std::string l100(100, 'x');
    struct { const char* name; std::string text, out; int mode; rules content, source; } cases[] = {
        {"rules and comment",
         "' a comment = c_\nALARM = /var/log/my_log/alarm_\n192.168.1. : lan_\n"
         "affichage * S\n",
         opened + display + "seul les selectionnées sont affichés\n", 2,
         {{"ALARM", "/var/log/my_log/alarm_"}}, {{"192.168.1.", "lan_"}}},
        {"CRLF lines, no final line end", "A = a_\r\nB : b_\r\naffichage * R",
         opened + display + "rien n'est affiché\n", 0, {{"A", "a_"}}, {{"B", "b_"}}},
        {"blank before the apostrophe is no comment", " 'x = y_\n", opened, 1,
         {{"'x", "y_"}}, {}},
        {"kind glued to the key is ignored", "ALARM=/x_\n* T\nALARM =/y_\n", opened, 1,
         {{"ALARM", "/y_"}}, {}},
        {"empty prefix, extra words", "ALARM =\nPUMP = p_ extra\n", opened, 1,
         {{"ALARM", ""}, {"PUMP", "p_"}}, {}},
        {"unknown letter, then the last setting wins",
         "a * x\nb * T\nc * Selection\n",
         opened + display + display + "tout est affiché\n" + display +
             "seul les selectionnées sont affichés\n",
         2, {}, {}},
        {"every limit exactly reached",
         std::string(39, 'k') + " = " + std::string(24, 'p') + "\n" + std::string(24, 's') +
             " : q_\n" + "C = c_ " + std::string(92, 'w') + "\r\n",
         opened, 1,
         {{std::string(39, 'k'), std::string(24, 'p')}, {"C", "c_"}},
         {{std::string(24, 's'), "q_"}}},
        // What does not fit is skipped whole with a line saying why, and the
        // lines around it are read as usual.
        {"each limit passed",
         "A = a_\n" + l100 + " = z_\n" + std::string(40, 'k') + " = k_\n" +
             std::string(25, 's') + " : s_\n" + "P = " + std::string(25, 'p') + "\n" +
             "B : b_\n" + std::string(100, ' ') + "\r\n'" + std::string(150, 'c') + "\n",
         opened + "ligne 2 ignorée : plus de 99 caractères\n" +
             "ligne 3 ignorée : clé de plus de 39 caractères\n" +
             "ligne 4 ignorée : clé de plus de 24 caractères pour une règle d'adresse\n" +
             "ligne 5 ignorée : préfixe de plus de 24 caractères\n" +
             "ligne 7 ignorée : plus de 99 caractères\n",
         1, {{"A", "a_"}}, {{"B", "b_"}}},
    };
    for (auto& c : cases) {
        read_result r = read_config(c.text);
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.mode, c.mode) << c.name;
        EXPECT_EQ(r.content, c.content) << c.name;
        EXPECT_EQ(r.source, c.source) << c.name;
    }
}

TEST(ListenerReader, SkipsTheTwentySixthRuleOfEachKind)
{
    read_result r = read_config(kit::rule_lines(0, 26, '=') + kit::rule_lines(0, 26, ':'));
    EXPECT_EQ(r.out, opened + "ligne 26 ignorée : plus de 25 règles de contenu\n" +
                         "ligne 52 ignorée : plus de 25 règles d'adresse\n");
    ASSERT_EQ(r.content.size(), 25u);
    ASSERT_EQ(r.source.size(), 25u);
    EXPECT_EQ(r.content[24].first, "k24");
    EXPECT_EQ(r.source[24].second, "p24_");
}

// A configuration that cannot be opened leaves the tables and the mode as
// they were; one that opens and cannot be read says so and holds no rule.
TEST(ListenerReader, SaysAFileItCannotOpenOrRead)
{
    kit::temp_dir dir;
    ASSERT_EQ(mkdir(dir.file("log.ini").c_str(), 0755), 0);
    // A regular file whose first read fails: this process's memory at 0.
    ASSERT_EQ(symlink("/proc/self/mem", dir.file("mem-log.ini").c_str()), 0);
    const std::string missing = "le fichier d initialisation indiqué  n'existe pas\n";
    struct { std::string path, said, err; int rules; } cases[] = {
        {"/nonexistent/dir/log.ini", missing, "", 3},
        {dir.file("log.ini"), missing,
         "listener: configuration '" + dir.file("log.ini") + "': not a regular file: read as missing\n", 3},
        {dir.file("mem-log.ini"), opened + "ligne 1 : lecture impossible : Input/output error\n", "", 0},
    };
    for (auto& c : cases) {
        aff = 1;
        i_name = 3;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        init(c.path.c_str());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.said);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(aff, 1);
        EXPECT_EQ(i_name, c.rules);
    }
}
