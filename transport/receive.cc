#include "receive.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "frame.h"

int rx_bind(int port)
{
	// Close-on-exec so that children of the archiver never hold the port.
	int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	struct sockaddr_in a;
	memset(&a, 0, sizeof a);
	a.sin_family = AF_INET;
	a.sin_port = htons((unsigned short)(port & 0xffff));
	a.sin_addr.s_addr = htonl(INADDR_ANY);
	if (bind(fd, (struct sockaddr *)&a, sizeof a) < 0) {
		int err = errno;
		close(fd);
		errno = err;
		return -1;
	}
	return fd;
}

void rx_frame(int fd, unsigned char *buf, unsigned char *buf2, int digits)
{
	for (;;) {
		ssize_t n = recv(fd, buf2, FR_PAYLOAD, 0);
		if (n == FR_STAMP && (!digits || fr_stamp_ok(buf2)))
			break;
	}
	memcpy(buf, buf2, FR_STAMP);
	buf[FR_STAMP] = '\0';
	(void)!recv(fd, buf2, FR_PAYLOAD, 0);
}
