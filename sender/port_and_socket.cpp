#include "sender.h"
#include "text.h"

#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

bool read_port(const char* text, int& port)
{
    number_text n = read_number(text, port_max);
    if (!n.digits || n.over || (n.negative && n.value != 0))
        return false;
    port = static_cast<int>(n.value);
    return true;
}

bool all_digits(const char* text)
{
    const char* p = text;
    while (*p >= '0' && *p <= '9')
        ++p;
    return p > text && *p == '\0';
}

int open_socket()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::perror("socket");
        return -1;
    }
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        std::perror("setsockopt");
        close(fd);
        return -1;
    }
    return fd;
}
