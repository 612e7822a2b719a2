// The receive loop: one datagram at a time, its sender noted, routed, and
// the day files it went to written to disk within seconds (journal_sync).
// This is the hot path: fixed buffers, and per message no system call beyond
// the receive and the day-file appends.
//
// A stop (SIGTERM, SIGINT, SIGHUP) is a part of the listener's life: the
// message in hand is filed under every rule it matches, then what the socket
// had queued is received without waiting and filed too, the day files are
// synced, and the listener ends by the signal that asked it to, as it would
// have without a handler.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "clock.h"
#include "console.h"
#include "journal.h"
#include "receive.h"
#include "route.h"

volatile sig_atomic_t stop_signal;

ssize_t receive(int fd, char* buf, std::size_t size, struct sockaddr_storage& from,
                std::uint32_t& dropped, int flags)
{
    // The kernel's count of what it dropped comes with each datagram, once
    // SO_RXQ_OVFL is set: no system call more to know it.
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(std::uint32_t))];
    for (;;) {
        struct iovec iov = {buf, size};
        struct msghdr m = {};
        m.msg_name = &from;
        m.msg_namelen = sizeof from;
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        ssize_t n = recvmsg(fd, &m, flags);
        // A signal interrupts a wait; only a stop ends it.
        if (n < 0 && errno == EINTR && (stop_signal == 0 || (flags & MSG_DONTWAIT) != 0))
            continue;
        if (n >= 0)
            for (struct cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
                    std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
        return n;
    }
}

bool drops_due(drop_watch& w, std::uint32_t count, long long now_ms)
{
    bool quiet = now_ms - w.last_ms >= drops_quiet_ms;
    bool grew = count != w.seen;
    w.last_ms = now_ms;
    w.seen = count;
    if (count == w.said)
        return false;
    // While it grows, once a minute; then once more with the total, by the
    // first datagram after a quiet second. That one may find more dropped
    // than the datagram before it did (a flood's last datagrams dropped):
    // the growth is over all the same, and the total is said.
    if (quiet || (grew && now_ms - w.said_ms >= drops_every_ms)) {
        w.said = count;
        w.said_ms = now_ms;
        return true;
    }
    return false;
}

bool drops_settled(drop_watch& w, std::uint32_t count, long long now_ms)
{
    w.seen = count;
    if (count == w.said)
        return false;
    w.said = count;
    w.said_ms = now_ms;
    return true;
}

static void say_drops(std::uint32_t count)
{
    console_report("listener: receive queue full: %lu datagrams dropped by the kernel so far\n",
                   static_cast<unsigned long>(count));
}

bool kernel_drops(int fd, std::uint32_t& count)
{
    std::uint32_t mem[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof mem;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, mem, &len) != 0 ||
        len < (SK_MEMINFO_DROPS + 1) * sizeof mem[0])
        return false;
    count = mem[SK_MEMINFO_DROPS];
    return true;
}

long long clock_step(clock_watch& w, long long wall_s, long long mono_ms)
{
    long long offset = wall_s - mono_ms / 1000;
    if (!w.set) {
        w.set = true;
        w.offset = offset;
        return 0;
    }
    long long step = offset - w.offset;
    if (step < clock_step_s && step > -clock_step_s)
        return 0;
    w.offset = offset;
    return step;
}

static void say_step(long long step)
{
    long long s = step < 0 ? -step : step;
    console_report("listener: the clock stepped %s by %lld s (%lld d %02lld:%02lld:%02lld): "
                   "the lines filed before were dated by the clock as it was\n",
                   step < 0 ? "back" : "forward", s, s / 86400, s / 3600 % 24, s / 60 % 60, s % 60);
}

// While appends wait for their sync, the receive wakes up this often, so
// that they are written at most a second after their time even when no
// message follows. With nothing waiting, it waits for the next message
// however long.
constexpr time_t sync_wake_s = 1;

void sync_on_time(int fd, bool& timed, long long now_ms, bool more)
{
    // The timeout is set and cleared at most twice per sync, whatever the
    // traffic.
    bool waiting = journal_sync(now_ms) || more;
    struct timeval tv = {waiting ? sync_wake_s : 0, 0};
    if (waiting != timed && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0)
        timed = waiting;
}

// Takes the receive's timeout off fd.
static void clear_timeout(int fd)
{
    struct timeval none = {0, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
}

// The socket the stop handler wakes.
static int stop_socket = -1;

// Notes the stop, and makes sure the receive does not wait for it: one
// interrupted returns at once (no SA_RESTART), and one about to start waits
// a millisecond at most. Nothing else is done in the handler.
static void on_stop(int sig)
{
    int err = errno;
    if (stop_signal == 0)
        stop_signal = sig;
    struct timeval tv = {0, 1000};
    setsockopt(stop_socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    errno = err;
}

void catch_stops(int fd)
{
    stop_socket = fd;
    struct sigaction sa = {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&sa.sa_mask, sig);
    sa.sa_flags = 0; // no SA_RESTART: a receive waiting returns
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction old;
        // One ignored when the listener started (nohup's SIGHUP) stays so.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &sa, nullptr);
    }
}

namespace {

// What the loop keeps between datagrams.
struct loop_state {
    bool counting = false; // the kernel's drop count comes with each datagram
    drop_watch drops;
    clock_watch clock;
    std::uint32_t dropped = 0; // the socket's count, with the last datagram
    std::uint32_t base = 0;    // its count when this run took it: a kept socket's
                               // drops of earlier runs were said by them
    bool fresh = false; // a datagram came since the drops were last settled
};

} // namespace

// Routes one datagram of n bytes, received at now_ms: its drop count and the
// clock looked at first, so that what they say comes before its lines.
// Returns whether every rule's day file took it.
static bool file_datagram(loop_state& st, char* buf, ssize_t n, const struct sockaddr_storage& from,
                          long long now_ms)
{
    if (st.counting && drops_due(st.drops, st.dropped - st.base, now_ms))
        say_drops(st.dropped - st.base);
    st.fresh = true;
    if (long long step = clock_step(st.clock, std::time(nullptr), now_ms))
        say_step(step);
    note_sender(from);
    buf[n] = '\0';
    return route(buf);
}

// Says the kernel's drop count if it grew since it was last said: after a
// quiet second, and at the stop.
static void settle_drops(int fd, loop_state& st, long long now_ms)
{
    std::uint32_t count = 0;
    if (st.counting && st.fresh && kernel_drops(fd, count) && drops_settled(st.drops, count - st.base, now_ms))
        say_drops(count - st.base);
    st.fresh = false;
}

static const char* signal_name(int sig)
{
    return sig == SIGTERM ? "SIGTERM" : sig == SIGINT ? "SIGINT" : sig == SIGHUP ? "SIGHUP" : "signal";
}

// The stop: every datagram queued is received without waiting and filed,
// for stop_drain_ms at most, so that a flood that keeps the queue full
// cannot hold the listener; then the day files are synced, what could not
// be filed is counted by prefix, and what the console gathered is written
// if it takes it at once.
static int finish(int fd, loop_state& st, char* buf)
{
    int sig = stop_signal;
    long long until = monotonic_ms() + stop_drain_ms;
    unsigned long taken = 0, unfiled = 0;
    bool left = false;
    for (;;) {
        struct sockaddr_storage from;
        ssize_t n = receive(fd, buf, msg_max, from, st.dropped, MSG_DONTWAIT);
        if (n < 0)
            break; // the queue is empty, or cannot be read
        long long now_ms = monotonic_ms();
        if (file_datagram(st, buf, n, from, now_ms))
            ++taken;
        else
            ++unfiled;
        if (now_ms >= until) {
            char peek;
            left = recv(fd, &peek, 1, MSG_DONTWAIT | MSG_PEEK) >= 0;
            break;
        }
    }
    journal_sync_now();
    settle_drops(fd, st, monotonic_ms());
    journal_say_unfiled();
    // A socket that outlives the listener is handed on as it was found.
    clear_timeout(fd);
    char not_filed[64] = "";
    if (unfiled > 0)
        std::snprintf(not_filed, sizeof not_filed, ", %lu not filed (said above)", unfiled);
    char still[96] = "";
    if (left)
        std::snprintf(still, sizeof still, "; those still coming after %lld seconds were left in the queue",
                      stop_drain_ms / 1000);
    console_report("listener: %s: %lu queued messages filed before stopping%s%s\n", signal_name(sig), taken,
                   not_filed, still);
    console_flush();
    return sig;
}

int serve(int fd, std::uint32_t dropped_before)
{
    static char buf[msg_max + 1];
    loop_state st;
    // A socket kept from an earlier run may still hold its receive timeout.
    clear_timeout(fd);
    bool timed = false; // the receive's timeout is set
    int on = 1;
    st.counting = setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0;
    st.base = st.dropped = dropped_before;
    // Where both clocks stand at start: a step before the first datagram is
    // said with it.
    clock_step(st.clock, std::time(nullptr), monotonic_ms());
    for (;;) {
        if (stop_signal != 0)
            return finish(fd, st, buf);
        struct sockaddr_storage from;
        ssize_t n = receive(fd, buf, msg_max, from, st.dropped, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue; // a stop
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return 0;
            // The timeout: no message came for a second.
            long long now_ms = monotonic_ms();
            settle_drops(fd, st, now_ms);
            sync_on_time(fd, timed, now_ms);
            continue;
        }
        long long now_ms = monotonic_ms();
        file_datagram(st, buf, n, from, now_ms);
        // After traffic, the kernel's drop count is looked at once the quiet
        // second comes, whether or not an append waits: a flood that matched
        // nothing must be said too.
        sync_on_time(fd, timed, now_ms, st.counting && st.fresh);
    }
}
