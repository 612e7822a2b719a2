// The routing configuration as both the listener and the cleaner read it:
// the file-name rule, a line reader over fixed storage, and the split of a
// line into key, kind and value.
#pragma once
#include <cstddef>

// Longest configuration line, in characters, not counting its line end
// (a line feed, or a carriage return and a line feed).
constexpr std::size_t conf_line_max = 99;
// The configuration path both programs take: at most 119 characters.
constexpr std::size_t conf_path_size = 120;
// Widths of the parsing fields, in bytes with the NUL.
constexpr std::size_t conf_key_size = 40;    // key: at most 39 characters
constexpr std::size_t conf_value_size = 200; // value: at most 199 characters

// The limits of a rule, which the listener and the cleaner share: the
// listener files only under the rules it holds, and the cleaner must clean
// exactly their prefixes.
constexpr int MAX_RULES = 25;                // rules of each kind
constexpr int MAX_PREFIXES = 2 * MAX_RULES;  // content and source rules together
constexpr std::size_t content_key_max = conf_key_size - 1; // key of a content rule: the whole field
constexpr std::size_t source_key_max = 24;   // key of a source rule
constexpr std::size_t prefix_size = 25;      // day-file prefix, with its NUL
constexpr std::size_t prefix_max = prefix_size - 1;

// The kind table: content rule, source rule, comment marker, display
// setting, then the display letters of modes 0, 1 and 2.
constexpr char conf_kinds[] = "=:'*RTS";
constexpr char kind_content = conf_kinds[0];
constexpr char kind_source = conf_kinds[1];
constexpr char kind_comment = conf_kinds[2];
constexpr char kind_display = conf_kinds[3];
constexpr char display_none = conf_kinds[4];    // R: mode 0
constexpr char display_all = conf_kinds[5];     // T: mode 1
constexpr char display_matched = conf_kinds[6]; // S: mode 2

// The file-name rule: a configuration path is accepted only when its last
// seven bytes are "log.ini".
bool is_log_ini(const char* path);

// Opens a configuration file for reading. Only a regular file is read: a
// FIFO, a device or a directory at the path would hang the reader or feed it
// without end, so it is refused (special is set) without a wait. Returns the
// descriptor, or -1 (errno set when the file could not be opened).
int open_conf(const char* path, bool& special);

// One line split like " %s %c %s": key, one kind character, value. Fields the
// line does not reach stay empty. A word too long for its field is not cut:
// the field stays empty and its flag says the word did not fit.
struct conf_fields {
    char key[conf_key_size];
    char kind;
    char value[conf_value_size];
    bool key_fits;
    bool value_fits;
};
void split_line(const char* line, conf_fields& f);

// Reads a configuration file line by line from a file descriptor, with no
// allocation. A line longer than conf_line_max is reported as too long and
// consumed whole, so that its rest is never read as a line of its own.
enum class line_status { ok, too_long, end, failed };

struct line_reader {
    int fd;
    unsigned number;                // number of the line last returned, from 1
    char line[conf_line_max + 2];   // the line last returned, NUL-terminated
    char first;                     // its first character, even when too long
    char buf[4096];
    std::size_t pos;
    std::size_t len;
    bool eof;
};

void reader_open(line_reader& r, int fd);
line_status next_line(line_reader& r);

// Walks a configuration file as both readers do: every line is read once;
// comment lines are skipped silently, whatever their length; any other line
// over the limit is skipped, and a read failure ends the walk, each with a
// line on standard output; every other line is split and handed to take with
// its line number. False, with errno set, when a read failed.
bool walk_lines(int fd, void (*take)(const conf_fields& f, unsigned line));
// How many lines the last walk skipped with a line saying why (take_rule's
// among them).
unsigned lines_skipped();


// A rule both programs hold: its kind (kind_content or kind_source), its key
// and its day-file prefix, each within its limit.
struct rule {
    char kind;
    char key[conf_key_size];
    char prefix[prefix_size];
};

// Decides whether a split line is a rule that both programs hold, given how
// many rules of each kind are held already. A line of another kind is no
// rule and is passed over silently; a rule past a limit (key width for its
// kind, prefix width, 25 of its kind) is skipped with a line saying why.
// True, and r filled, when the rule is held.
bool take_rule(const conf_fields& f, unsigned line, int n_contents, int n_sources, rule& r);
