#include "conf.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text.h"

bool is_log_ini(const char* path)
{
    static const char tail[] = "log.ini";
    const std::size_t tail_len = sizeof tail - 1;
    std::size_t n = strlen2(path);
    return n >= tail_len && std::memcmp(path + n - tail_len, tail, tail_len) == 0;
}

int open_conf(const char* path, bool& special)
{
    special = false;
    // O_NONBLOCK: a FIFO with no writer opens at once instead of waiting.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        special = true;
        close(fd);
        return -1;
    }
    return fd;
}

static const char* skip_spaces(const char* p)
{
    while (is_space(*p))
        ++p;
    return p;
}

// Copies the run of non-space characters at p into field; returns the end of
// the run. fits is false, and the field empty, when the run is too long.
static const char* take_word(const char* p, char* field, std::size_t size, bool& fits)
{
    const char* end = p;
    while (*end != '\0' && !is_space(*end))
        ++end;
    std::size_t n = static_cast<std::size_t>(end - p);
    fits = n < size;
    if (fits) {
        std::memcpy(field, p, n);
        field[n] = '\0';
    }
    return end;
}

void split_line(const char* line, conf_fields& f)
{
    f.key[0] = '\0';
    f.kind = '\0';
    f.value[0] = '\0';
    f.key_fits = true;
    f.value_fits = true;

    const char* p = skip_spaces(line);
    if (*p == '\0')
        return;
    p = take_word(p, f.key, sizeof f.key, f.key_fits);
    p = skip_spaces(p);
    if (*p == '\0')
        return;
    f.kind = *p++;
    p = skip_spaces(p);
    if (*p == '\0')
        return;
    take_word(p, f.value, sizeof f.value, f.value_fits);
}

void reader_open(line_reader& r, int fd)
{
    r.fd = fd;
    r.number = 0;
    r.line[0] = '\0';
    r.first = '\0';
    r.pos = 0;
    r.len = 0;
    r.eof = false;
}

// Refills the buffer; false at the end of the file or on a read error.
static bool fill(line_reader& r, bool& failed)
{
    if (r.eof)
        return false;
    for (;;) {
        ssize_t n = read(r.fd, r.buf, sizeof r.buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            r.eof = true;
            failed = n < 0;
            return false;
        }
        r.pos = 0;
        r.len = static_cast<std::size_t>(n);
        return true;
    }
}

line_status next_line(line_reader& r)
{
    // The line is gathered with room for one character past the limit, so
    // that a carriage return ending a full-length line still fits.
    const std::size_t room = sizeof r.line - 1;
    std::size_t n = 0;
    bool over = false;
    bool any = false;
    bool failed = false;

    for (;;) {
        if (r.pos == r.len && !fill(r, failed)) {
            if (failed)
                return line_status::failed;
            if (!any)
                return line_status::end;
            break; // a last line without a line feed
        }
        char c = r.buf[r.pos++];
        if (!any)
            r.first = c;
        any = true;
        if (c == '\n')
            break;
        if (n < room)
            r.line[n++] = c;
        else
            over = true;
    }

    ++r.number;
    if (!over && n > 0 && r.line[n - 1] == '\r')
        --n;
    if (over || n > conf_line_max) {
        r.line[0] = '\0';
        return line_status::too_long;
    }
    r.line[n] = '\0';
    return line_status::ok;
}

// Prints "ligne N ignorée : " on standard output, then what the line passed:
// before, the limit, after ("plus de ", 99, " caractères").
static unsigned n_skipped; // in the walk under way, or the last

static void skipped_line(unsigned line, const char* before, std::size_t limit, const char* after)
{
    ++n_skipped;
    std::printf("ligne %u ignorée : %s%zu%s\n", line, before, limit, after);
}

unsigned lines_skipped() { return n_skipped; }

bool walk_lines(int fd, void (*take)(const conf_fields& f, unsigned line))
{
    static line_reader r;
    static conf_fields f;
    reader_open(r, fd);
    n_skipped = 0;
    for (;;) {
        line_status st = next_line(r);
        if (st == line_status::end)
            return true;
        if (st == line_status::failed) {
            int err = errno;
            std::printf("ligne %u : lecture impossible : %s\n", r.number + 1, std::strerror(err));
            errno = err;
            return false;
        }
        if (r.first == kind_comment)
            continue; // a comment is skipped whole, however long
        if (st == line_status::too_long) {
            skipped_line(r.number, "plus de ", conf_line_max, " caractères");
            continue;
        }
        split_line(r.line, f);
        take(f, r.number);
    }
}

bool take_rule(const conf_fields& f, unsigned line, int n_contents, int n_sources, rule& r)
{
    bool content = f.kind == kind_content;
    if (!content && f.kind != kind_source)
        return false;
    std::size_t key_max = content ? content_key_max : source_key_max;
    if (!f.key_fits || strlen2(f.key) > key_max) {
        skipped_line(line, "clé de plus de ", key_max,
                     content ? " caractères" : " caractères pour une règle d'adresse");
        return false;
    }
    // The prefix is copied here, into a field of the width both programs
    // keep, and only a copy that fit makes the rule held.
    if (!f.value_fits || !copy_text(r.prefix, f.value)) {
        skipped_line(line, "préfixe de plus de ", prefix_max, " caractères");
        return false;
    }
    if ((content ? n_contents : n_sources) >= MAX_RULES) {
        skipped_line(line, "plus de ", static_cast<std::size_t>(MAX_RULES), content ? " règles de contenu" : " règles d'adresse");
        return false;
    }
    copy_field(r.key, f.key);
    r.kind = f.kind;
    return true;
}
