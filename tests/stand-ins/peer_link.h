/* The stand-ins' side of the peer (peer.c): where it is, and the two ways of moving bytes
 * with it. Every byte on its internet sockets is payload that the stand-in asked for; orders
 * go over the peer's control socket, which no internet traffic meter sees. */
#ifndef ZENTRA_STAND_IN_PEER_LINK_H
#define ZENTRA_STAND_IN_PEER_LINK_H

#include <netinet/in.h>

/* Datagram size of the lock-step exchange: a request of this size carries the size of its
 * answer in its first two bytes (big-endian); a shorter request gets no answer. */
enum { PEER_DATAGRAM = 1200 };

/* The peer's address from ZENTRA_STAND_IN_PEER ("127.0.0.1:PORT"); exits with status 3 when
 * it is missing or malformed. */
struct sockaddr_in peer_address(void);

/* Connects `fd` (an internet socket of any type) to the peer; exits with status 3 on failure. */
void connect_to_peer(int fd);

/* Exactly `bytes` bytes, requests and answers together, over the connected datagram socket
 * `fd`, one request at a time, so that no buffer on the way can fill; exits with status 3
 * when an answer is missing or short. */
void exchange_with_peer(int fd, long long bytes);

/* Has the peer send `bytes` bytes, then end its side, on the connected stream socket `fd`,
 * through the control socket ZENTRA_STAND_IN_PEER_CONTROL; returns once the peer took the
 * order, or exits with status 3. */
void order_from_peer(int fd, long long bytes);

/* Prints "<who>: <what>: <errno's text>" on standard error and exits with status 3. */
void peer_link_die(const char *what);

#endif
