// The daily retention: the day files of the configured prefixes older than
// the age, found by listing each prefix's directory once and reading each
// name by the day-file name rule both programs share, so that nothing but a
// configured prefix's day file is ever deleted.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "cleaner.h"
#include "day_file.h"
#include "text.h"

// The fate of a day file of a configured prefix dated file_day, today being
// today and the age age (days since 1970-01-01).
static fate fate_of(long long file_day, long long today, long long age)
{
    if (file_day < kit_first_day)
        return fate::before_kit;
    if (file_day > today)
        return fate::after_today;
    return file_day <= today - age ? fate::deleted : fate::kept;
}

namespace {

// Where the day files of a prefix lie: its text up to its last '/' (the
// working directory when it has none), and the file part after it.
struct place {
    char dir[prefix_size];  // as written, with its last '/'; empty: "."
    const char* file;       // the file part, in name_site
    bool known = false;     // the directory could be looked at
    dev_t dev = 0;
    ino_t ino = 0;
};

place places[MAX_PREFIXES];

void locate(place& p, const char* prefix)
{
    const char* slash = std::strrchr(prefix, '/');
    std::size_t n = slash == nullptr ? 0 : static_cast<std::size_t>(slash - prefix) + 1;
    std::memcpy(p.dir, prefix, n);
    p.dir[n] = '\0';
    p.file = prefix + n;
    struct stat st;
    p.known = stat(n == 0 ? "." : p.dir, &st) == 0 && S_ISDIR(st.st_mode);
    p.dev = st.st_dev;
    p.ino = st.st_ino;
}

bool same_dir(const place& a, const place& b) { return a.known && b.known && a.dev == b.dev && a.ino == b.ino; }

// The first prefix, in the directory of places[at], whose file part is that
// of name (its first stem_len bytes); -1 when none is.
int configured(int at, const char* name, std::size_t stem_len)
{
    for (int i = 0; i < i_name; ++i)
        if (same_dir(places[i], places[at]) && strlen2(places[i].file) == stem_len &&
            std::memcmp(places[i].file, name, stem_len) == 0)
            return i;
    return -1;
}

// The date of each prefix's newest day file that is not dated after today
// nor before the kit (those are kept anyway), or -1.
long long newest[MAX_PREFIXES];

void find_newest(DIR* d, int at, long long today)
{
    for (struct dirent* e; (e = readdir(d)) != nullptr;) {
        std::size_t stem_len = 0;
        long long day = 0;
        if (read_day_file_name(e->d_name, stem_len, day) != day_name::dated || day > today ||
            day < kit_first_day)
            continue;
        int i = configured(at, e->d_name, stem_len);
        if (i >= 0 && day > newest[i])
            newest[i] = day;
    }
    rewinddir(d);
}

void note_left_out(retention_totals& t, const char* path, long long day)
{
    if (t.left_out++ == 0 || day < t.oldest_day) {
        t.oldest_day = day;
        copy_text(t.oldest, path);
    }
}

// Applies the retention to the directory of places[at], every prefix in it;
// with keep_newest, never to a prefix's newest day file.
void retain_dir(int at, long long today, long long age, bool keep_newest, retention_totals& t)
{
    const char* dir = places[at].dir[0] == '\0' ? "." : places[at].dir;
    DIR* d = opendir(dir);
    if (d == nullptr) {
        if (errno != ENOENT) { // a directory missing holds nothing to delete
            std::fprintf(stderr, "brannic-retention: %s: %s\n", dir, std::strerror(errno));
            ++t.failed;
        }
        return;
    }
    static char path[sizeof t.oldest];
    if (keep_newest)
        find_newest(d, at, today);
    for (struct dirent* e; (e = readdir(d)) != nullptr;) {
        std::size_t stem_len = 0;
        long long day = 0;
        day_name shape = read_day_file_name(e->d_name, stem_len, day);
        if (shape == day_name::other)
            continue;
        int n = std::snprintf(path, sizeof path, "%s%s", places[at].dir, e->d_name);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof path)
            continue; // cannot be: a directory of a prefix and a file name fit
        // A name that is no date sorts after every date, for the oldest.
        int prefix = configured(at, e->d_name, stem_len);
        fate f = prefix < 0                   ? fate::other_prefix
                 : shape == day_name::no_date ? fate::no_date
                                              : fate_of(day, today, age);
        if (f == fate::deleted && keep_newest && day == newest[prefix]) {
            std::printf("gardé %s : le plus récent de son préfixe, l'horloge n'étant pas vérifiée "
                        "depuis le démarrage\n",
                        path);
            ++t.kept_newest;
            f = fate::kept;
        }
        if (f == fate::kept) {
            ++t.kept;
            struct stat st;
            if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
                t.kept_bytes += st.st_size;
        } else if (f != fate::deleted) {
            note_left_out(t, path, shape == day_name::dated ? day : LLONG_MAX);
        } else if (unlinkat(dirfd(d), e->d_name, 0) == 0 || errno == ENOENT) {
            ++t.deleted;
            std::printf("effacé %s\n", path);
        } else {
            int err = errno;
            std::fflush(stdout);
            std::fprintf(stderr, "brannic-retention: remove: %s: %s\n", path, std::strerror(err));
            ++t.failed;
        }
    }
    closedir(d);
}

} // namespace

bool retain(std::time_t now, long long age, bool keep_newest, retention_totals& t)
{
    std::tm local;
    if (localtime_r(&now, &local) == nullptr)
        return false;
    long long today = days_from_date(local.tm_year + 1900LL, local.tm_mon + 1, local.tm_mday);
    for (int i = 0; i < i_name; ++i) {
        locate(places[i], name_site[i]);
        newest[i] = -1;
    }
    for (int i = 0; i < i_name; ++i) {
        bool listed = false; // by an earlier prefix of the same directory
        for (int j = 0; j < i && !listed; ++j)
            listed = same_dir(places[j], places[i]) ||
                     (!places[i].known && std::strcmp(places[j].dir, places[i].dir) == 0);
        if (!listed)
            retain_dir(i, today, age, keep_newest, t);
    }
    // The room of each file system, once.
    for (int i = 0; i < i_name; ++i) {
        bool seen = !places[i].known;
        for (int j = 0; j < i && !seen; ++j)
            seen = places[j].known && places[j].dev == places[i].dev;
        struct statvfs v;
        const char* dir = places[i].dir[0] == '\0' ? "." : places[i].dir;
        if (seen || statvfs(dir, &v) != 0)
            continue;
        record_room& r = t.rooms[t.n_rooms++];
        r.dir = dir;
        r.free = static_cast<long long>(v.f_bavail) * static_cast<long long>(v.f_frsize);
        r.total = static_cast<long long>(v.f_blocks) * static_cast<long long>(v.f_frsize);
    }
    return true;
}
