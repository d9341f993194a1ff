// The receive steps of net-pipe and net-arc: one bound UDP socket, one receive buffer.
#pragma once

// Creates an IPv4 datagram socket bound to the low 16 bits of port on all local addresses,
// with no socket options. Returns the descriptor, or -1 with errno set.
int rx_bind(int port);

// Receives one frame: datagrams into buf2 (at most 3600 bytes, never cleared) until one of
// exactly 16 bytes arrives (with digits set, one whose 16 bytes are all digits); its bytes
// go to buf with a NUL at byte 16; then the next datagram, whatever its length, into buf2.
void rx_frame(int fd, unsigned char *buf, unsigned char *buf2, int digits);
