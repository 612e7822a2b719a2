// The cleaner's configuration reader: every prefix of a content or source
// rule, in file order. A prefix is never cut (a cut prefix could name another
// file), so a line past a limit is skipped with a line saying why.
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "cleaner.h"
#include "conf.h"
#include "text.h"

char name_site[MAX_PREFIXES][path_size];
int i_name;

// Rules of each kind taken so far: the listener holds 25 of each.
static int contents;
static int sources;

// One split line: the prefix of a content or source rule is kept.
static void take(const conf_fields& f, unsigned line)
{
    if (f.kind != kind_content && f.kind != kind_source)
        return;
    if (!f.value_fits || strlen2(f.value) >= prefix_size) {
        skipped_line(line, "préfixe de plus de 39 caractères");
        return;
    }
    int& count = f.kind == kind_content ? contents : sources;
    if (count >= MAX_RULES) {
        skipped_line(line, f.kind == kind_content ? "plus de 25 règles de contenu"
                                                  : "plus de 25 règles d'adresse");
        return;
    }
    copy_text(name_site[i_name], path_size, f.value);
    ++i_name;
    ++count;
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
    contents = 0;
    sources = 0;
    walk_lines(fd, take);
    close(fd);
}
