// The harness: datagrams to 127.0.0.1, the kernel's drop counts, and a
// service manager's notify socket.
#include "harness.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kit {
int udp_socket_on(std::uint32_t address, int& port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); // handed over only on purpose
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("cannot bind a UDP socket on port " + std::to_string(port));
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

int free_port()
{
    int port = 0;
    close(udp_socket_on(INADDR_ANY, port));
    return port;
}

void send_to(int port, const std::string& payload)
{
    udp_sender(port).send(payload);
}

udp_sender::udp_sender(int port) : fd(socket(AF_INET, SOCK_DGRAM, 0))
{
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // loopback only, by design
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("cannot reach 127.0.0.1");
}

udp_sender::~udp_sender() { close(fd); }

void udp_sender::send(const std::string& payload)
{
    if (::send(fd, payload.data(), payload.size(), 0) == static_cast<ssize_t>(payload.size()))
        ++sent;
}

long long kernel_drops(int port)
{
    std::istringstream in(read_file("/proc/net/udp"));
    char local[16];
    std::snprintf(local, sizeof local, ":%04X", port);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;)
            f.push_back(w);
        if (f.size() >= 13 && f[1].size() > 5 && f[1].substr(f[1].size() - 5) == local)
            return std::stoll(f[12]);
    }
    return -1;
}

manager::manager(const std::string& n) : name(n)
{
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    if (name.size() > sizeof a.sun_path)
        throw std::runtime_error("notify socket name too long");
    std::memcpy(a.sun_path, name.data(), name.size());
    if (name[0] == '@')
        a.sun_path[0] = '\0';
    if (bind(fd, reinterpret_cast<sockaddr*>(&a),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())) != 0)
        throw std::runtime_error("cannot bind the notify socket " + name);
}

manager::~manager()
{
    close(fd);
    if (name[0] == '/')
        unlink(name.c_str());
}

std::string manager::next(int* handed, milliseconds timeout)
{
    if (handed != nullptr)
        *handed = -1;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1)
        return "";
    char text[512];
    struct iovec iov = {text, sizeof text};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    struct msghdr m = {};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &m, MSG_CMSG_CLOEXEC);
    if (n < 0)
        return "";
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            int got;
            std::memcpy(&got, CMSG_DATA(c), sizeof got);
            if (handed != nullptr)
                *handed = got;
            else
                close(got);
        }
    return std::string(text, static_cast<std::size_t>(n));
}

} // namespace kit
