// brannic: deletes, for every day-file prefix of the routing configuration,
// the day file of the date that lies a given number of days back, and exits.
// Files of other dates are left alone: one run deletes at most one file per
// prefix. The listener holds no day file open, so it may be running.
//
// Exit status 0 in every case, the usage case and a missing configuration
// included; what was done is told on standard output, a file that exists but
// cannot be deleted on standard error.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "cleaner.h"
#include "conf.h"
#include "day_file.h"
#include "text.h"

static void usage()
{
    std::fputs(" Il faut passer en arguments l'anteriorite du fichier a effacé  et le nom complet"
               " du fichier d'initialisation>  ...\n"
               " le nom du fichier d init doit etre log.ini \n"
               "  exemple : brannic 3 /var/log/my_log/log.ini \n",
               stdout);
}

int main(int argc, char** argv)
{
    static char path[conf_path_size];
    static char date[day_date_size];
    static char prefix[prefix_size];
    static char file[cleaner_day_path_size];

    if (argc != 3) {
        usage();
        return 0;
    }
    // An age with no digits is refused: read as 0 it would delete today's
    // files, the ones the listener is filling.
    int age = 0;
    age_status as = read_age(argv[1], age);
    if (as == age_status::no_digits) {
        usage();
        return 0;
    }
    if (!copy_text(path, argv[2]) || !is_log_ini(path)) {
        usage();
        return 0;
    }
    if (as == age_status::too_large) {
        std::printf("anciennete %s trop grande : aucun fichier effacé\n", argv[1]);
        return 0;
    }
    std::tm day;
    if (!target_day(std::time(nullptr), age, day) || !day_date(date, sizeof date, day)) {
        std::printf("date impossible a calculer pour une anciennete de %d jours : aucun fichier "
                    "effacé\n",
                    age);
        return 0;
    }

    std::printf("date_sans_heure'%s'\n", date);
    std::printf("anciennete fichier = %d jours\n", age);
    std::printf("fichier ini :%s:\n", path);
    bool special = false;
    if (!init(path, &special) && special) {
        std::fflush(stdout);
        std::fprintf(stderr, "brannic: configuration '%s': not a regular file: read as missing\n", path);
    }

    for (int i = 0; i < i_name; ++i) {
        std::printf("***+++*** %s |\t|\n", name_site[i]);
        copy_field(prefix, name_site[i]);
        // The name is rebuilt by the listener's own rule, so nothing but a day
        // file is ever named; unlink never removes a directory.
        if (!day_file_name(file, sizeof file, prefix, day))
            continue;
        std::printf("%s \n", file);
        if (unlink(file) != 0 && errno != ENOENT) {
            // The reason is taken before the flush, which may fail and set
            // errno for itself (standard output on a full disk).
            int err = errno;
            std::fflush(stdout);
            std::fprintf(stderr, "brannic: remove: %s: %s\n", file, std::strerror(err));
        }
        std::printf(" ------------------------------fichier  %s effacé si trouvé \n", file);
    }
    return 0;
}
