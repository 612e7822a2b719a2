// The listener's configuration reader. Each rule line either fits its table
// whole or is skipped with a line saying why: a cut key or prefix would file
// messages somewhere other than the operator wrote.
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "conf.h"
#include "listener.h"
#include "text.h"

char myport[port_size];
int aff;
char ip_orig[addr_text_size];
char repa[prefix_size];

char site[MAX_RULES][site_size];
char name_site[MAX_RULES][name_size];
int i_name;
char ad_ip[MAX_RULES][ad_ip_size];
char name_ad_ip[MAX_RULES][name_size];
int i_ip;

// Adds one rule to a table pair, or says why the line is skipped.
template <std::size_t KeySize>
static void add_rule(const conf_fields& f, unsigned line, char (*keys)[KeySize],
                     char (*prefixes)[name_size], int& count, const char* too_many,
                     const char* key_too_long)
{
    if (!f.key_fits || strlen2(f.key) >= KeySize) {
        skipped_line(line, key_too_long);
        return;
    }
    if (!f.value_fits || strlen2(f.value) >= prefix_size) {
        skipped_line(line, "préfixe de plus de 24 caractères");
        return;
    }
    if (count >= MAX_RULES) {
        skipped_line(line, too_many);
        return;
    }
    copy_text(keys[count], KeySize, f.key);
    copy_text(prefixes[count], name_size, f.value);
    ++count;
}

static void display_setting(const char* value)
{
    std::puts("il y a un parametre d'affichage");
    switch (value[0]) {
    case conf_kinds[4]:
        aff = 0;
        std::puts("rien n'est affiché");
        break;
    case conf_kinds[5]:
        aff = 1;
        std::puts("tout est affiché");
        break;
    case conf_kinds[6]:
        aff = 2;
        std::puts("seul les selectionnées sont affichés");
        break;
    default:
        break;
    }
}

// One split line: a rule goes to its table, a display setting sets aff.
static void take(const conf_fields& f, unsigned line)
{
    if (f.kind == kind_content)
        add_rule(f, line, site, name_site, i_name, "plus de 25 règles de contenu",
                 "clé de plus de 39 caractères");
    else if (f.kind == kind_source)
        add_rule(f, line, ad_ip, name_ad_ip, i_ip, "plus de 25 règles d'adresse",
                 "clé de plus de 24 caractères pour une règle d'adresse");
    else if (f.kind == kind_display)
        display_setting(f.value);
}

void init(const char* path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::puts("le fichier d initialisation indiqué  n'existe pas");
        return;
    }
    std::puts("il y a un fichier log.ini");
    i_name = 0;
    i_ip = 0;

    walk_lines(fd, take);
    close(fd);
}
