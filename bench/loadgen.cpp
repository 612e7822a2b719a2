// loadgen: sends numbered datagrams to 127.0.0.1, and nowhere else.
//
//   loadgen paced PORT RATE COUNT   COUNT datagrams at RATE a second, each at
//                                   its time on an absolute schedule
//   loadgen burst PORT COUNT        COUNT datagrams back to back
//   loadgen steady PORT RATE COUNT  as paced, and says "sent N" after every
//                                   tenth of a second's worth, so that a
//                                   watcher knows what was sent before it
//                                   stopped (the board test's power cut)
//   ... PORT RATE COUNT SIZE        paced or steady, each payload padded
//                                   with dots to SIZE bytes (at most 499)
//
// Each payload is "SEQ" and a nine-digit sequence number. Prints what was sent
// and how long it took: "sent COUNT in SECONDS s".
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

static long long now_ns()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

int main(int argc, char** argv)
{
    bool sized = argc == 6;
    bool steady = (argc == 5 || sized) && std::strcmp(argv[1], "steady") == 0;
    bool paced = steady || ((argc == 5 || sized) && std::strcmp(argv[1], "paced") == 0);
    bool burst = argc == 4 && std::strcmp(argv[1], "burst") == 0;
    if (!paced && !burst) {
        std::fprintf(stderr, "usage: loadgen paced|steady PORT RATE COUNT [SIZE] | loadgen burst PORT "
                             "COUNT\n");
        return 2;
    }
    int port = std::atoi(argv[2]);
    double rate = paced ? std::atof(argv[3]) : 0;
    long count = std::atol(argv[paced ? 4 : 3]);
    int size = sized ? std::atoi(argv[5]) : 0;
    if (port <= 0 || port > 65535 || count < 0 || (paced && rate <= 0) || size < 0 || size > 499) {
        std::fprintf(stderr, "loadgen: bad arguments\n");
        return 2;
    }

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // loopback only, by design
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        std::perror("loadgen: connect");
        return 1;
    }

    char payload[500];
    std::memset(payload, '.', sizeof payload);
    long sent = 0;
    long long start = now_ns();
    double gap = paced ? 1e9 / rate : 0;
    long every = rate >= 10 ? static_cast<long>(rate / 10) : 1;
    for (long i = 0; i < count; ++i) {
        if (paced) {
            long long due = start + static_cast<long long>(i * gap);
            long long wait = due - now_ns();
            if (wait > 200000) {
                struct timespec t = {0, static_cast<long>(wait - 100000)};
                nanosleep(&t, nullptr);
            }
            while (now_ns() < due)
                ;
        }
        int n = std::snprintf(payload, 13, "SEQ%09ld", i);
        if (size > n) {
            payload[n] = '.'; // the dots after it
            n = size;
        }
        if (send(fd, payload, static_cast<size_t>(n), 0) == n)
            ++sent;
        if (steady && (i + 1) % every == 0) {
            std::printf("sent %ld\n", i + 1);
            std::fflush(stdout);
        }
    }
    double seconds = (now_ns() - start) / 1e9;
    std::printf("sent %ld in %.6f s\n", sent, seconds);
    close(fd);
    return 0;
}
