#include "sender.h"

#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

bool read_port(const char* text, int& port)
{
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (*p < '0' || *p > '9')
        return false;
    long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > 65535)
            return false; // stops before it could overflow
    }
    if (negative && value != 0)
        return false;
    port = static_cast<int>(value);
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
