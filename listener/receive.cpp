// The receive loop: one datagram at a time, its sender noted, routed, and
// the day files it went to written to disk within seconds (journal_sync).
// This is the hot path: fixed buffers, and per message no system call beyond
// the receive and the day-file appends.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "listener.h"

char ip_orig[addr_text_size];

// While appends wait for their sync, the receive wakes up this often, so
// that they are written at most a second after their time even when no
// message follows. With nothing waiting, it waits for the next message
// however long.
constexpr time_t sync_wake_s = 1;

void* get_in_addr(struct sockaddr* sa)
{
    if (sa->sa_family == AF_INET)
        return &reinterpret_cast<struct sockaddr_in*>(sa)->sin_addr;
    return &reinterpret_cast<struct sockaddr_in6*>(sa)->sin6_addr;
}

ssize_t receive(int fd, char* buf, std::size_t size, struct sockaddr_storage& from,
                std::uint32_t& dropped)
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
        ssize_t n = recvmsg(fd, &m, 0);
        if (n < 0 && errno == EINTR)
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

static void say_drops(std::uint32_t count)
{
    char text[96];
    int n = std::snprintf(text, sizeof text,
                          "listener: receive queue full: %lu datagrams dropped by the kernel so far\n",
                          static_cast<unsigned long>(count));
    if (n > 0 && static_cast<std::size_t>(n) < sizeof text)
        console_put(err_console, text, static_cast<std::size_t>(n));
}

void note_sender(const struct sockaddr_storage& from)
{
    // The address text is held whole (45 characters for IPv6), so that
    // source rules and the display see the same text.
    auto* sa = const_cast<struct sockaddr*>(reinterpret_cast<const struct sockaddr*>(&from));
    if (inet_ntop(from.ss_family, get_in_addr(sa), ip_orig, sizeof ip_orig) == nullptr)
        ip_orig[0] = '\0';
}

long long monotonic_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void sync_on_time(int fd, bool& timed, long long now_ms)
{
    // The timeout is set and cleared at most twice per sync, whatever the
    // traffic.
    bool waiting = journal_sync(now_ms);
    if (waiting == timed)
        return;
    struct timeval tv = {waiting ? sync_wake_s : 0, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0)
        timed = waiting;
}

void serve(int fd)
{
    static char buf[msg_max + 1];
    bool timed = false; // the receive's timeout is set
    int on = 1;
    bool counting = setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0;
    drop_watch drops;
    std::uint32_t dropped = 0;
    for (;;) {
        struct sockaddr_storage from;
        ssize_t n = receive(fd, buf, msg_max, from, dropped);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return;
            sync_on_time(fd, timed, monotonic_ms()); // the timeout: no message came
            continue;
        }
        long long now_ms = monotonic_ms();
        if (counting && drops_due(drops, dropped, now_ms))
            say_drops(dropped);
        note_sender(from);
        buf[n] = '\0';
        route(buf);
        sync_on_time(fd, timed, now_ms);
    }
}
