// The receive loop: one datagram at a time, its sender noted, routed, and
// the day files it went to written to disk within seconds (journal_sync).
// This is the hot path: fixed buffers, and per message no system call beyond
// the receive and the day-file appends.
#include <arpa/inet.h>
#include <cerrno>
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

ssize_t receive(int fd, char* buf, std::size_t size, struct sockaddr_storage& from)
{
    for (;;) {
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buf, size, 0, reinterpret_cast<struct sockaddr*>(&from), &len);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

void note_sender(const struct sockaddr_storage& from)
{
    // The address text is held whole (45 characters for IPv6), so that
    // source rules and the display see the same text.
    auto* sa = const_cast<struct sockaddr*>(reinterpret_cast<const struct sockaddr*>(&from));
    if (inet_ntop(from.ss_family, get_in_addr(sa), ip_orig, sizeof ip_orig) == nullptr)
        ip_orig[0] = '\0';
}

static long long monotonic_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Has the journal write its appends to disk when their time is up, and
// gives the receive a timeout only while some wait for it. The timeout is
// set and cleared at most twice per sync, whatever the traffic.
static void keep_record(int fd, bool& waking)
{
    bool waiting = journal_sync(monotonic_ms());
    if (waiting == waking)
        return;
    struct timeval tv = {waiting ? sync_wake_s : 0, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0)
        waking = waiting;
}

void serve(int fd)
{
    static char buf[msg_max + 1];
    bool waking = false;
    for (;;) {
        struct sockaddr_storage from;
        ssize_t n = receive(fd, buf, msg_max, from);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return;
            keep_record(fd, waking); // the timeout: no message came
            continue;
        }
        note_sender(from);
        buf[n] = '\0';
        route(buf);
        keep_record(fd, waking);
    }
}
