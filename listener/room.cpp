// The floor of free space and the day-file bound. Each file system the day
// files go to is known by a directory on it; what the listener appends there
// is counted in blocks, so that between two readings the free space is
// known without asking the kernel.
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "room.h"
#include "text.h"

int floor_percent = floor_percent_default;
long long day_max_bytes;

static room rooms[MAX_PREFIXES];
static int n_rooms;

void room_reset()
{
    for (auto& r : rooms)
        r = room{};
    n_rooms = 0;
}

void prefix_dir(const char* prefix, char (&dir)[prefix_size])
{
    const char* slash = std::strrchr(prefix, '/');
    std::size_t n = slash == nullptr ? 0 : static_cast<std::size_t>(slash - prefix) + 1;
    if (n == 0)
        std::memcpy(dir, ".", 2);
    else {
        std::memcpy(dir, prefix, n); // a prefix fits its field, so its part does
        dir[n] = '\0';
    }
}

// Reads the free space of r as an unprivileged user sees it (f_bavail:
// without the blocks reserved for root).
static void read_room(room& r, std::time_t now)
{
    struct statvfs v;
    r.read_at = now;
    r.appended = 0;
    r.known = statvfs(r.dir, &v) == 0;
    if (!r.known)
        return;
    r.block = v.f_frsize > 0 ? static_cast<long long>(v.f_frsize) : 1;
    r.total = static_cast<long long>(v.f_blocks) * r.block;
    r.free = static_cast<long long>(v.f_bavail) * r.block;
}

int room_of(const char* prefix, std::time_t now)
{
    char dir[prefix_size];
    prefix_dir(prefix, dir);
    struct stat st;
    if (stat(dir, &st) != 0)
        return -1;
    for (int i = 0; i < n_rooms; ++i)
        if (rooms[i].dev == st.st_dev)
            return i;
    if (n_rooms == MAX_PREFIXES)
        return -1; // cannot be: one prefix each at most
    room& r = rooms[n_rooms];
    r = room{};
    r.dev = st.st_dev;
    copy_field(r.dir, dir);
    read_room(r, now);
    return n_rooms++;
}

long long room_needed(int at, long long size, std::size_t len)
{
    long long b = at < 0 ? 1 : rooms[at].block;
    long long n = static_cast<long long>(len);
    if (size < 0)
        return (n + b - 1) / b * b + b;
    return ((size + n + b - 1) / b - (size + b - 1) / b) * b;
}

bool room_for(int at, long long need, std::time_t now)
{
    if (floor_percent == 0 || at < 0)
        return true;
    room& r = rooms[at];
    auto enough = [&r, need] { return r.free - r.appended - need >= r.floor(); };
    // Short of room: read again, once a second at most, to see what was
    // freed meanwhile.
    if (recheck_due(now, r.read_at) || (r.known && !enough() && now != r.read_at))
        read_room(r, now);
    return !r.known || enough(); // not known: the append says what fails
}

void room_taken(int at, long long need)
{
    if (at >= 0)
        rooms[at].appended += need;
}

void room_why(int at, char* out, std::size_t size)
{
    const room& r = rooms[at];
    long long left = r.free - r.appended;
    std::snprintf(out, size,
                  "not filed: %lld KiB free of %lld KiB, below the floor of %lld KiB (%d %%) kept "
                  "free for the rest of the system",
                  (left > 0 ? left : 0) / 1024, r.total / 1024, r.floor() / 1024, floor_percent);
}
