// The cleaner's configuration reader: every prefix of a content or source
// rule, in file order. A prefix is never cut (a cut prefix could name another
// file), so a line past a limit is skipped with a line saying why.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "cleaner.h"
#include "conf.h"
#include "text.h"

char name_site[MAX_PREFIXES][path_size];
int i_name;

static void skipped(unsigned line, const char* why)
{
    std::printf("ligne %u ignorée : %s\n", line, why);
}

void init(const char* path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::puts("pas de fichier ini");
        return;
    }
    std::puts("il y a un fichier l.ini");
    i_name = 0;
    int contents = 0; // the listener holds 25 rules of each kind
    int sources = 0;

    static line_reader r;
    static conf_fields f;
    reader_open(r, fd);
    for (;;) {
        line_status st = next_line(r);
        if (st == line_status::end)
            break;
        if (st == line_status::failed) {
            std::printf("ligne %u : lecture impossible : %s\n", r.number + 1, std::strerror(errno));
            break;
        }
        if (st == line_status::too_long) {
            skipped(r.number, "plus de 99 caractères");
            continue;
        }
        if (r.line[0] == kind_comment)
            continue;
        split_line(r.line, f);
        if (f.kind != kind_content && f.kind != kind_source)
            continue;
        if (!f.value_fits || strlen2(f.value) >= prefix_size) {
            skipped(r.number, "préfixe de plus de 39 caractères");
            continue;
        }
        int& count = f.kind == kind_content ? contents : sources;
        if (count >= MAX_RULES) {
            skipped(r.number, f.kind == kind_content ? "plus de 25 règles de contenu"
                                                     : "plus de 25 règles d'adresse");
            continue;
        }
        copy_text(name_site[i_name], path_size, f.value);
        ++i_name;
        ++count;
    }
    close(fd);
}
