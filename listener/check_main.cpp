// ovelsk-check-rules: what the listener would make of a port, its settings
// and a configuration, without listening, so that a change can be checked
// before a restart. It reads them the way the listener does (the same
// code), prints the configuration reader's lines, every rule as the
// listener will hold it, each line that is no rule, and where each prefix's
// day files go; the listener's own start-up check says each prefix whose
// directory cannot be written. ovelsk-check runs it as the service would.
//
//   ovelsk-check-rules PORT [CONFIGURATION]
//
// Exit status: 0 when all is well, 1 when something is not, 2 on a wrong
// command line.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <unistd.h>

#include "conf.h"
#include "journal.h"
#include "listener.h"
#include "settings.h"
#include "text.h"

char myport[port_size];

// The lines that both programs pass over in silence, though they look meant
// as rules: a word alone, a kind with no blank before it (ALARM=alarm_), a
// display letter that sets nothing. Returns how many it said.
static int say_no_rules(const char* path)
{
    bool special = false;
    int fd = open_conf(path, special);
    if (fd < 0)
        return 0;
    static line_reader r;
    static conf_fields f;
    reader_open(r, fd);
    int n = 0;
    for (line_status st; (st = next_line(r)) == line_status::ok || st == line_status::too_long;) {
        if (st == line_status::too_long || r.first == kind_comment)
            continue; // said by the reader already, or a comment
        split_line(r.line, f);
        std::size_t len = std::strcspn(r.line, "\r\n");
        bool rule = f.kind == kind_content || f.kind == kind_source;
        if (f.kind == kind_display && f.value[0] != display_none && f.value[0] != display_all &&
            f.value[0] != display_matched) {
            std::printf("line %u: the display letter is not R, T or S, the mode stays: %.*s\n", r.number,
                        static_cast<int>(len), r.line);
            ++n;
        } else if (!rule && f.kind != kind_display && (f.key[0] != '\0' || !f.key_fits)) {
            std::printf("line %u is no rule (KEY = PREFIX, KEY : PREFIX, with blanks around the kind): %.*s\n",
                        r.number, static_cast<int>(len), r.line);
            ++n;
        }
    }
    close(fd);
    return n;
}

// Each prefix once, with where its day files go.
static void say_rules()
{
    for (int i = 0; i < i_ip; ++i)
        std::printf("source rule: %s : %s\n", ad_ip[i], name_ad_ip[i]);
    for (int i = 0; i < i_name; ++i)
        std::printf("content rule: %s = %s\n", site[i], name_site[i]);
    std::printf("display mode: %d\n", aff);
    for (int k = 0; k < i_ip + i_name; ++k) {
        const char* prefix = k < i_ip ? name_ad_ip[k] : name_site[k - i_ip];
        bool seen = false;
        for (int j = 0; j < k && !seen; ++j)
            seen = std::strcmp(prefix, j < i_ip ? name_ad_ip[j] : name_site[j - i_ip]) == 0;
        char dir[prefix_size];
        prefix_dir(prefix, dir);
        if (!seen)
            std::printf("day files of '%s' in %s\n", prefix, dir);
    }
}

int main(int argc, char** argv)
{
    static char path[conf_path_size];
    if (argc != 2 && argc != 3) {
        std::fputs("usage: ovelsk-check-rules PORT [CONFIGURATION]\n", stderr);
        return 2;
    }
    int problems = 0;
    if (!copy_text(myport, argv[1]) || !port_ok(myport)) {
        std::printf("port '%s': a number from 1 to 65535, or a service name of at most 8 characters\n", argv[1]);
        ++problems;
    } else {
        struct addrinfo* list = nullptr;
        int rv = resolve_port(myport, &list);
        if (rv != 0) {
            std::printf("port '%s': %s\n", myport, gai_strerror(rv));
            ++problems;
        } else {
            freeaddrinfo(list);
        }
    }
    bad_setting bad;
    if (!read_room_settings(bad)) {
        std::printf("%s '%s': %s\n", bad.name, bad.text, bad.meaning);
        ++problems;
    }
    aff = 1;
    if (argc == 3) {
        bool special = false;
        int fd = -1;
        if (!copy_text(path, argv[2]) || !is_log_ini(path)) {
            std::printf("configuration '%s': a path of at most %zu characters ending in log.ini\n", argv[2],
                        conf_path_size - 1);
            ++problems;
        } else if ((fd = open_conf(path, special)) < 0) {
            std::printf("configuration '%s': %s: read as missing, no rule\n", path,
                        special ? "not a regular file" : std::strerror(errno));
            ++problems;
        } else {
            close(fd);
            init(path); // the listener's own lines
            problems += static_cast<int>(lines_skipped()) + say_no_rules(path);
        }
    }
    say_rules();
    std::fflush(stdout);
    problems += journal_check_dirs();
    std::fflush(stderr);
    if (problems == 0)
        std::puts("all is well");
    else
        std::printf("%d thing%s to mend\n", problems, problems > 1 ? "s" : "");
    return problems == 0 ? 0 : 1;
}
