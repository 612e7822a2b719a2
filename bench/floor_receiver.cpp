// floor_receiver: the least a receiver does for each routed message, to
// measure the listener against: receive; format the stamp and the day-file
// name from the clock with the time zone read once; open with O_APPEND, one
// write, close. No display, no rules. The socket keeps the default queue
// unless a queue size is given (to tell the queue's effect from the code's).
//
//   floor_receiver PORT PREFIX [QUEUE_BYTES]
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: floor_receiver PORT PREFIX [QUEUE_BYTES]\n");
        return 2;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("floor_receiver: bind");
        return 2;
    }
    if (argc == 4) {
        int size = std::atoi(argv[3]);
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    tzset();
    static char buf[500];
    static char path[128];
    static char line[600];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf - 1, 0);
        if (n < 0)
            return 1;
        buf[n] = '\0';
        time_t now = time(nullptr);
        struct tm tm;
        localtime_r(&now, &tm);
        char date[16], stamp[32];
        strftime(date, sizeof date, "%Y_%m_%d", &tm);
        strftime(stamp, sizeof stamp, "%d/%m/%Y %H:%M:%S", &tm);
        snprintf(path, sizeof path, "%s%s.log", argv[2], date);
        int len = snprintf(line, sizeof line, " %s  ***  %s  \n", stamp, buf);
        int out = open(path, O_WRONLY | O_APPEND | O_CREAT, 0666);
        if (out >= 0) {
            if (write(out, line, static_cast<size_t>(len)) != len)
                std::perror("floor_receiver: write");
            close(out);
        }
    }
}
