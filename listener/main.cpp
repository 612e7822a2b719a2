// ovelsk: listens for short text messages as UDP datagrams on one port, shows
// them on the console and files them into day files by the rules of a
// routing configuration.
//
// Start-up reads the arguments, the settings of the room the record may take
// and the configuration, then binds the first address the resolver offers
// for the port, or takes the socket of the last run that a service manager
// kept for it (manager.h). The receive loop never ends by
// itself: the listener stops on a receive failure (status 1) or a signal,
// which it ends by once what was queued is filed.
// Exit statuses: 0 after the usage lines, 1 when the address cannot be
// resolved or receiving fails, 2 when no address could be bound.
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "conf.h"
#include "console.h"
#include "journal.h"
#include "listener.h"
#include "manager.h"
#include "receive.h"
#include "settings.h"
#include "text.h"

char myport[port_size];

// The socket receive queue asked for, in bytes: the figure of the sysctl
// file that lets an unprivileged listener have it (packaging/60-ovelsk.conf).
constexpr int queue_bytes = KIT_QUEUE_BYTES;

static void usage()
{
    std::fputs(" Il faut passer en arguments le numero de port  a ecouter et le nom complet"
               " du fichier d'initialisation>  ...\n"
               " exemple : ovelsk 7923 \n"
               " ou : ovelsk 7923 /home/pi/my_c/log.ini \n",
               stdout);
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
    // A value refused is named on standard error, after the usage lines:
    // under the service its setting is seen nowhere else.
    if (!copy_text(myport, argv[1]) || !port_ok(myport)) {
        usage();
        std::fflush(stdout);
        std::fprintf(stderr, "listener: port '%s': a number from 1 to 65535, or a service name of at "
                             "most 8 characters\n",
                     argv[1]);
        return 0;
    }
    // A day file at most this many MiB (none by default), and this share of
    // each file system left free; a setting refused is named like a port.
    bad_setting bad;
    if (!read_room_settings(bad)) {
        usage();
        std::fflush(stdout);
        std::fprintf(stderr, "listener: %s '%s': %s\n", bad.name, bad.text, bad.meaning);
        return 0;
    }
    aff = 1;
    if (argc == 3) {
        std::puts(" il y a un  fichier d'initialisation précisé");
        if (!copy_text(path, argv[2]) || !is_log_ini(path)) {
            usage();
            std::fflush(stdout);
            std::fprintf(stderr, "listener: configuration '%s': a path of at most %zu characters ending "
                                 "in log.ini\n",
                         argv[2], conf_path_size - 1);
            return 0;
        }
        init(path);
    }
    std::printf("caractéristique affichage : %d \n", aff);

    // Whatever start-up says on standard error comes after what it printed.
    std::fflush(stdout);
    journal_check_dirs();

    struct addrinfo* list = nullptr;
    int rv = resolve_port(myport, &list);
    if (rv != 0) {
        std::fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(rv));
        // A name no resolver knows, a misspelt number among them ("7923abc"),
        // can never be bound: said by the value, so that the service shows it.
        if (rv == EAI_SERVICE || rv == EAI_NONAME)
            std::fprintf(stderr, "listener: port '%s': neither a number from 1 to 65535 nor a service "
                                 "name the system knows\n",
                         myport);
        return 1;
    }
    bool stored = false;
    int fd = take_kept_socket(list, stored);
    // A kept socket's drops so far were said by the runs before.
    std::uint32_t dropped_before = 0;
    if (fd >= 0 && !kernel_drops(fd, dropped_before))
        dropped_before = 0;
    if (fd < 0)
        fd = bind_first(list);
    freeaddrinfo(list); // not needed past the bind, whatever its outcome
    if (fd < 0) {
        std::fputs("listener: failed to bind socket\n", stderr);
        return 2;
    }
    // From the bind on, a stop files what the socket holds before the
    // listener ends.
    catch_stops(fd);
    widen_queue(fd);
    std::printf("Attente reception port udp %s.\n", myport);
    std::fflush(stdout);
    // Ready; and a socket the service manager does not hold yet is given to
    // it to keep, so that it outlives this run: the datagrams that come while
    // the listener restarts or is upgraded wait in its queue for the next.
    say_ready(fd, stored);
    // From here the console never holds up the receive loop.
    console_open();
    int sig = serve(fd, dropped_before);
    if (sig == 0) {
        std::perror("recvfrom");
        return 1;
    }
    // Ended by the signal that asked for it, as without a handler: the
    // exit status, and what the service manager or a shell sees, are the
    // signal's.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
    return 128 + sig;
}
