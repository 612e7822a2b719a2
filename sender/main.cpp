// pelmok: sends one command text as one UDP datagram to a host and port,
// broadcast allowed, and exits. Nothing waits for an answer.
//
// The payload is the command text byte for byte: no NUL, no newline added.
// Exit status 0 when the datagram was sent, 1 on any failure.
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sender.h"

int main(int argc, char** argv)
{
    static char command[command_size];

    if (argc != 4) {
        std::fprintf(stderr, "usage: %s destination port 'chaine de commande'\n", argv[0]);
        return 1;
    }

    // The host is looked up before the port is read: a run with a bad host
    // and a bad port reports only the host. A destination of digits alone is
    // refused: the lookup would take "7923" for the address 0.0.30.243, and
    // with the arguments swapped send somewhere no one meant.
    struct hostent* he = all_digits(argv[1]) ? nullptr : gethostbyname(argv[1]);
    if (he == nullptr || he->h_addrtype != AF_INET || he->h_length != 4 ||
        he->h_addr_list[0] == nullptr) {
        std::fprintf(stderr, "unknown host %s\n", argv[1]);
        return 1;
    }
    struct sockaddr_in target = {};
    target.sin_family = AF_INET;
    std::memcpy(&target.sin_addr, he->h_addr_list[0], 4);

    int port = 0;
    if (!read_port(argv[2], port)) {
        std::fprintf(stderr, "invalid port %s\n", argv[2]);
        return 1;
    }
    target.sin_port = htons(static_cast<uint16_t>(port));

    // Cutting a long text would send another command and report success.
    std::size_t len = std::strlen(argv[3]);
    if (len >= sizeof command) {
        std::fprintf(stderr, "command text too long: %zu bytes, at most %zu; nothing sent\n", len,
                     sizeof command - 1);
        return 1;
    }
    std::memcpy(command, argv[3], len + 1);

    int fd = open_socket();
    if (fd < 0)
        return 1;
    if (sendto(fd, command, len, 0, reinterpret_cast<struct sockaddr*>(&target), sizeof target) < 0) {
        std::perror("sendto");
        close(fd);
        return 1;
    }
    close(fd);
    return 0;
}
