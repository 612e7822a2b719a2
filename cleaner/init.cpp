// The cleaner's configuration reader: the prefix of every rule the listener
// holds, in file order. Which lines are held is decided in common/, by the
// rule the listener applies too, so the cleaner cleans exactly the prefixes
// the listener files to: a line the listener skips neither adds a prefix nor
// uses up one of the 25 places of its kind.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "cleaner.h"
#include "conf.h"
#include "text.h"

char name_site[MAX_PREFIXES][prefix_size];
int i_name;

// Rules of each kind taken so far: the listener holds 25 of each.
static int n_contents;
static int n_sources;

// One split line: the prefix of a held rule is kept.
static void keep_prefix(const conf_fields& f, unsigned line)
{
    static rule r;
    if (!take_rule(f, line, n_contents, n_sources, r))
        return;
    copy_field(name_site[i_name], r.prefix);
    ++i_name;
    ++(r.kind == kind_content ? n_contents : n_sources);
}

bool init(const char* path, bool* special)
{
    bool not_regular = false;
    int fd = open_conf(path, not_regular);
    if (special != nullptr)
        *special = not_regular;
    if (fd < 0) {
        int err = errno;
        std::puts("pas de fichier ini");
        errno = err;
        return false;
    }
    std::puts("il y a un fichier l.ini");
    i_name = 0;
    n_contents = 0;
    n_sources = 0;
    bool whole = walk_lines(fd, keep_prefix);
    int err = errno;
    close(fd);
    errno = err;
    return whole;
}
