// net-pipe PORT: the live receiver. Waits on a UDP port for datagram pairs (a 16-byte stamp,
// then the payload) and writes each frame to standard output as one flushed 3617-byte stream
// record, for pipe-view or pipe-dump to read. Runs until killed, or until its reader goes
// away (the default broken-pipe signal ends it).
#include <cstdio>

#include "cli.h"
#include "frame.h"
#include "receive.h"

static unsigned char buf[FR_HEADER];   // the stamp and its NUL
static unsigned char buf2[FR_PAYLOAD]; // every datagram lands here; never cleared

int main(int argc, char **argv)
{
	int port;
	if (argc != 2 || !arg_int(argv[1], &port))
		usage("usage: net-pipe PORT");
	int fd = rx_bind(port);
	if (fd < 0)
		die("cannot bind port %d:", port & 0xffff);
	for (;;) {
		rx_frame(fd, buf, buf2, 0);
		if (fr_write(stdout, buf, buf2) != 0)
			die("write error on standard output:");
	}
}
