// The listener's configuration reader. Each rule line either fits its table
// whole or is skipped with a line saying why: a cut key or prefix would file
// messages somewhere other than the operator wrote. Which lines are held is
// decided in common/, by the rule the cleaner applies too.
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "conf.h"
#include "listener.h"
#include "text.h"

int aff;

char site[MAX_RULES][site_size];
char name_site[MAX_RULES][prefix_size];
int i_name;
char ad_ip[MAX_RULES][conf_key_size];
char name_ad_ip[MAX_RULES][prefix_size];
int i_ip;

static void display_setting(const char* value)
{
    std::puts("il y a un parametre d'affichage");
    switch (value[0]) {
    case display_none:
        aff = 0;
        std::puts("rien n'est affiché");
        break;
    case display_all:
        aff = 1;
        std::puts("tout est affiché");
        break;
    case display_matched:
        aff = 2;
        std::puts("seul les selectionnées sont affichés");
        break;
    default:
        break;
    }
}

// One split line: a held rule goes to its table, a display setting sets aff.
static void take_line(const conf_fields& f, unsigned line)
{
    static rule r;
    if (take_rule(f, line, i_name, i_ip, r)) {
        if (r.kind == kind_content) {
            copy_field(site[i_name], r.key);
            copy_field(name_site[i_name], r.prefix);
            ++i_name;
        } else {
            copy_field(ad_ip[i_ip], r.key);
            copy_field(name_ad_ip[i_ip], r.prefix);
            ++i_ip;
        }
    } else if (f.kind == kind_display) {
        display_setting(f.value);
    }
}

void init(const char* path)
{
    bool special = false;
    int fd = open_conf(path, special);
    if (fd < 0) {
        std::puts("le fichier d initialisation indiqué  n'existe pas");
        if (special) {
            std::fflush(stdout);
            std::fprintf(stderr, "listener: configuration '%s': not a regular file: read as missing\n", path);
        }
        return;
    }
    std::puts("il y a un fichier log.ini");
    i_name = 0;
    i_ip = 0;

    walk_lines(fd, take_line);
    close(fd);
}
