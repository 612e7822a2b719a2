// The sender's checked pieces: reading the port and opening the socket.
#pragma once
#include <cstddef>

constexpr std::size_t command_size = 100; // command text: at most 99 bytes

// Reads a port like "%d" (leading blanks, a sign, digits; what follows is
// ignored: 7923abc is 7923). False when no number can be read or the number
// is not a port (0 to 65535).
bool read_port(const char* text, int& port);

// True for a text of one or more digits and nothing else.
bool all_digits(const char* text);

// An IPv4 datagram socket with broadcast enabled. Returns -1 after reporting
// the failing call through perror.
int open_socket();
