/* A helper that a stand-in game server runs, linked statically: no preloaded library reaches
 * it, so only a meter outside the process can count what it moves.
 *   static_helper_stand_in BYTES
 * exchanges exactly BYTES bytes over UDP with the peer that ZENTRA_STAND_IN_PEER names, and
 * exits with status 0 (3 on failure). */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

#include "peer_link.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: static_helper_stand_in BYTES\n");
    return 2;
  }
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) peer_link_die("socket");
  connect_to_peer(fd);
  exchange_with_peer(fd, atoll(argv[1]));
  return 0;
}
