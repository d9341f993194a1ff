// net-arc PORT ROOT: the archiver. Receives datagram pairs as net-pipe does and stores each
// frame's payload as ROOT/YYYYMMDD/YYYYMMDDHHM/YYYYMMDDHHMMSScc.gz, creating the day and
// ten-minute directories with mkdir as they are first needed and compressing with gzip, both
// through the shell. A frame is stored before the next is received; a repeated stamp replaces
// its file. Only stamps of 16 digits are taken, so nothing from the network reaches a shell
// command or leads out of ROOT. A directory removed between its check and the compressor's
// write (arc-pack removes a period's directory once it is packed and empty, arc-prune whole
// days) fails the compressor: the directories are then made again and the frame written again,
// a few times at most. Runs until killed.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "archive.h"
#include "cli.h"
#include "frame.h"
#include "receive.h"

static unsigned char buf[FR_HEADER];
static unsigned char buf2[FR_PAYLOAD];
static char fn[ARC_NAME], dn1[ARC_NAME], dn2[ARC_NAME];
static char s[ARC_NAME];   // path being tested, then the compressor command
static char ss[ARC_NAME];  // directory creation command

enum : int { TRIES = 3 };  // writes of one frame whose directory went away meanwhile

// Stores the frame in buf2 under the stamp fn: makes the day and ten-minute directories if they
// are missing, then runs the compressor.
static void store(const char *root)
{
	// Without its root (made by hand, never removed by the archive's programs) a frame is lost.
	int tries = access(root, F_OK) == 0 ? TRIES : 1;
	for (int t = 0; t < tries; t++) {
		for (int level = 0; level < 2; level++)  // the day, then the ten-minute period
			if (arc_dir_cmd(s, ss, root, dn1, dn2, level) && access(s, F_OK) != 0)
				(void)!system(ss);
		if (!arc_gzip_cmd(s, root, dn1, dn2, fn))
			return;
		FILE *p = popen(s, "w");
		if (!p)
			return;  // this frame is lost; the next may fare better
		(void)!fwrite(buf2, FR_PAYLOAD, 1, p);
		int status = pclose(p);
		// Written, or failed with its directory in place: nothing to do again.
		if (status == 0 || !arc_dir_cmd(s, ss, root, dn1, dn2, 1) || access(s, F_OK) == 0)
			return;
	}
}

int main(int argc, char **argv)
{
	int port;
	if (argc != 3 || !arg_int(argv[1], &port) || !arc_root_ok(argv[2], ARC_ROOT_MAX_ARC))
		usage("usage: net-arc PORT ROOT (ROOT: 1-15 of A-Z a-z 0-9 . _ - / +)");
	const char *root = argv[2];
	// A compressor shell that cannot open its file exits without reading; that frame is lost,
	// and the archiver must live on. It writes nothing to standard output.
	signal(SIGPIPE, SIG_IGN);
	int fd = rx_bind(port);
	if (fd < 0)
		die("cannot bind port %d:", port & 0xffff);
	for (;;) {
		rx_frame(fd, buf, buf2, 1);
		arc_names((const char *)buf, fn, dn1, dn2);
		store(root);
	}
}
