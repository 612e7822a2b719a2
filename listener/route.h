// Which rules a message matches: for each, the message goes to journal, and
// in mode 2 to the display.
#pragma once
#include <sys/socket.h>

#include "listener.h"

extern char repa[prefix_size];       // the prefix of the current match
extern char ip_orig[addr_text_size]; // the sender's address text of this message

// Where the address bytes of a sender address lie.
void* get_in_addr(struct sockaddr* sa);
// Puts the sender's address text into ip_orig, by which source rules match.
void note_sender(const struct sockaddr_storage& from);
// Forgets the sender noted last (for the tests, which set ip_orig by hand).
void forget_sender();

// Displays and files one message from the sender in ip_orig, by the display
// mode and the rules. The message is the text up to its first NUL, and at
// most msg_max bytes long: the receive buffer holds no more. Returns false
// when a rule's day file did not take it.
bool route(const char* msg);
