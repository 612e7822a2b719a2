// The service manager's protocol (systemd's): the socket it kept from the
// last run, taken back at start, and the word that the listener is ready,
// with its socket given to be kept. Outside a service manager both do
// nothing, and the listener binds its own socket as it always did.
#pragma once
#include <netdb.h>

// The socket the manager hands over (LISTEN_PID, LISTEN_FDS, from its store
// of the last run's socket), when it is the one the listener would have
// bound itself: a blocking datagram socket bound to the resolver's first
// entry for the port. The datagrams that came while no listener ran wait in
// its queue. Any other handed descriptor is closed, and dropped from the
// store (where it is kept under the name udp); descriptors handed to
// another process are closed. Returns -1 when none is taken: the listener
// then binds its own. stored says whether the socket taken is still in the
// store: dropping the others by their name drops it too.
int take_kept_socket(const struct addrinfo* list, bool& stored);

// Says the listener is ready, and gives the manager fd to keep when it is
// not in the store already.
void say_ready(int fd, bool stored);
