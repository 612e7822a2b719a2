// ovelsk: listens for short text messages as UDP datagrams on one port, shows
// them on the console and files them into day files by the rules of a
// routing configuration.
//
// Start-up reads the arguments and the configuration, then binds the first
// address the resolver offers for the port. The receive loop never ends by
// itself: the listener stops on a receive failure (status 1) or a signal.
// Exit statuses: 0 after the usage lines, 1 when the address cannot be
// resolved or receiving fails, 2 when no address could be bound.
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "conf.h"
#include "listener.h"
#include "text.h"

char myport[port_size];

static void usage()
{
    std::fputs(" Il faut passer en arguments le numero de port  a ecouter et le nom complet"
               " du fichier d'initialisation>  ...\n"
               " exemple : ovelsk 7923 \n"
               " ou : ovelsk 7923 /home/pi/my_c/log.ini \n",
               stdout);
}

// Whether the port can be given to the resolver. It reads a port as a
// number when the whole text is one for strtoul (blanks, a sign, digits, or
// nothing at all), and quietly wraps it to 16 bits: " 70000" and "+70000"
// would listen on 4464, and "" or "0" on a random port no sender knows. A
// number must be a port from 1 to 65535; any other text is a service name,
// for the resolver to judge.
static bool port_ok(const char* port)
{
    number_text n = read_number(port, port_max);
    bool number = (n.digits && *n.end == '\0') || *port == '\0';
    return !number || (!n.negative && !n.over && n.value >= 1);
}

// Binds the first entry of the resolver's list that takes a socket and a
// bind. Returns the socket, or -1 with every failure reported.
static int bind_first(const struct addrinfo* list)
{
    for (const struct addrinfo* p = list; p != nullptr; p = p->ai_next) {
        int fd = socket(p->ai_family, p->ai_socktype, p->ai_protocol);
        if (fd < 0) {
            std::perror("listener: socket");
            continue;
        }
        if (bind(fd, p->ai_addr, p->ai_addrlen) != 0) {
            int err = errno;
            close(fd);
            errno = err;
            std::perror("listener: bind");
            continue;
        }
        return fd;
    }
    return -1;
}

// Asks for a receive queue of 4 MiB, so that a burst from many devices
// waits in the kernel instead of being dropped (the default holds about 256
// small datagrams). A privileged process may pass net.core.rmem_max; any
// other gets the cap, and that is enough said.
static void widen_queue(int fd)
{
    int size = queue_bytes;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

// Tells the service manager that the listener is bound and ready, when it
// started the listener as a notify service (NOTIFY_SOCKET, its channel, not
// configuration): one datagram on a unix socket named by a path, or by an
// abstract name written with a leading '@'. Outside one, nothing is done.
static void notify_ready()
{
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@'))
        return;
    struct sockaddr_un to = {};
    to.sun_family = AF_UNIX;
    std::size_t len = std::strlen(name);
    if (len >= sizeof to.sun_path) {
        std::fputs("listener: NOTIFY_SOCKET too long: the service manager is not told\n", stderr);
        return;
    }
    std::memcpy(to.sun_path, name, len);
    if (name[0] == '@')
        to.sun_path[0] = '\0';
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    static const char ready[] = "READY=1";
    auto to_len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len);
    if (fd < 0 || sendto(fd, ready, sizeof ready - 1, MSG_NOSIGNAL,
                         reinterpret_cast<struct sockaddr*>(&to), to_len) < 0)
        std::perror("listener: notify");
    if (fd >= 0)
        close(fd);
}

int main(int argc, char** argv)
{
    static char path[conf_path_size];

    // A console whose reader went away must not end the listener: its
    // writes fail with EPIPE instead, and the filing goes on.
    std::signal(SIGPIPE, SIG_IGN);

    // The start-up lines too go out one by one when stdbuf -oL or -o0 asked
    // for it, on a static build as on the others.
    static char out_buf[BUFSIZ];
    if (stdbuf_lines())
        std::setvbuf(stdout, out_buf, _IOLBF, sizeof out_buf);

    if (argc != 2 && argc != 3) {
        usage();
        return 0;
    }
    if (!copy_text(myport, argv[1]) || !port_ok(myport)) {
        usage();
        return 0;
    }
    aff = 1;
    if (argc == 3) {
        std::puts(" il y a un  fichier d'initialisation précisé");
        if (!copy_text(path, argv[2]) || !is_log_ini(path)) {
            usage();
            return 0;
        }
        init(path);
    }
    std::printf("caractéristique affichage : %d \n", aff);

    // Whatever start-up says on standard error comes after what it printed.
    std::fflush(stdout);

    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE;
    struct addrinfo* list = nullptr;
    int rv = getaddrinfo(nullptr, myport, &hints, &list);
    if (rv != 0) {
        std::fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(rv));
        return 1;
    }
    int fd = bind_first(list);
    freeaddrinfo(list); // not needed past the bind, whatever its outcome
    if (fd < 0) {
        std::fputs("listener: failed to bind socket\n", stderr);
        return 2;
    }
    widen_queue(fd);
    std::printf("Attente reception port udp %s.\n", myport);
    std::fflush(stdout);
    notify_ready();
    // From here the console never holds up the receive loop.
    console_open();
    serve(fd);
    std::perror("recvfrom");
    return 1;
}
