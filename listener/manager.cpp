// The service manager's protocol: one datagram on its notify socket for
// each thing it is told, and the descriptors it hands over at start.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "manager.h"
#include "text.h"

// Tells the service manager (NOTIFY_SOCKET, its channel, not configuration)
// one thing, with the descriptor fd attached when it is not -1: one datagram
// on a unix socket named by a path, or by an abstract name written with a
// leading '@'. Never waits: a manager whose socket takes nothing at once is
// not told, and the first failure of the run is said. Outside a service
// manager, nothing is done.
static void notify(const char* text, int fd = -1)
{
    static bool failed; // said once
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@'))
        return;
    struct sockaddr_un to = {};
    to.sun_family = AF_UNIX;
    // A path needs its NUL within sun_path; an abstract name does not.
    std::size_t len = std::strlen(name);
    if (len > sizeof to.sun_path || (name[0] == '/' && len == sizeof to.sun_path)) {
        if (!failed)
            std::fputs("listener: NOTIFY_SOCKET too long: the service manager is not told\n", stderr);
        failed = true;
        return;
    }
    std::memcpy(to.sun_path, name, len);
    if (name[0] == '@')
        to.sun_path[0] = '\0';
    struct iovec iov = {const_cast<char*>(text), std::strlen(text)};
    struct msghdr m = {};
    m.msg_name = &to;
    m.msg_namelen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len);
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof fd)];
    if (fd >= 0) {
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        struct cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof fd);
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if ((s < 0 || sendmsg(s, &m, MSG_DONTWAIT | MSG_NOSIGNAL) < 0) && !failed) {
        failed = true;
        std::perror("listener: notify");
    }
    if (s >= 0)
        close(s);
}

// Whether fd is the socket the listener would have bound itself: a blocking
// datagram socket (a non-blocking one would make the receive spin) bound to
// the family, address and port of the resolver's first entry (a socket of
// another family would lose the senders of this one without a word).
static bool is_own_kind(int fd, const struct addrinfo* first)
{
    int type = 0;
    socklen_t type_len = sizeof type;
    struct sockaddr_storage a = {};
    socklen_t len = sizeof a;
    int flags = fcntl(fd, F_GETFL);
    return first != nullptr && flags >= 0 && (flags & O_NONBLOCK) == 0 &&
           getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_len) == 0 && type == SOCK_DGRAM &&
           getsockname(fd, reinterpret_cast<struct sockaddr*>(&a), &len) == 0 && first->ai_addrlen == len &&
           std::memcmp(first->ai_addr, &a, len) == 0;
}

// A number as systemd writes it in the environment: digits only, at least
// 1 and at most limit.
static bool count_text(const char* text, unsigned long long limit, unsigned long long& value)
{
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    number_text n = read_number(text, limit);
    value = n.value;
    return *n.end == '\0' && !n.over && n.value >= 1;
}

int take_kept_socket(const struct addrinfo* list, bool& stored)
{
    stored = false;
    unsigned long long pid = 0, n = 0;
    constexpr int first_fd = 3; // SD_LISTEN_FDS_START
    if (!count_text(std::getenv("LISTEN_FDS"), 64, n))
        return -1;
    if (!count_text(std::getenv("LISTEN_PID"), 1u << 30, pid) || pid != static_cast<unsigned long long>(getpid())) {
        // Handed to the process that started this one: not ours to take,
        // nor to hold all run.
        for (int fd = first_fd; fd < first_fd + static_cast<int>(n); ++fd)
            close(fd);
        return -1;
    }
    int taken = -1;
    bool dropped = false;
    for (int fd = first_fd; fd < first_fd + static_cast<int>(n); ++fd) {
        if (taken < 0 && is_own_kind(fd, list)) {
            taken = fd;
            fcntl(fd, F_SETFD, FD_CLOEXEC);
            continue;
        }
        close(fd);
        dropped = true;
    }
    if (dropped)
        notify("FDSTOREREMOVE=1\nFDNAME=udp");
    stored = taken >= 0 && !dropped;
    return taken;
}

void say_ready(int fd, bool stored)
{
    notify(stored ? "READY=1" : "READY=1\nFDSTORE=1\nFDNAME=udp\nFDPOLL=0", stored ? -1 : fd);
}
