// Which rules a message matches: for each, the message goes to journal, and
// in mode 2 to the display.
#pragma once
#include "listener.h"

extern char repa[prefix_size]; // the prefix of the current match

// Displays and files one message from the sender in ip_orig, by the display
// mode and the rules. The message is the text up to its first NUL, and at
// most msg_max bytes long: the receive buffer holds no more. Returns false
// when a rule's day file did not take it.
bool route(const char* msg);
