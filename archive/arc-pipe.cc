// arc-pipe ROOT: replays the archive as a live stream, half a second behind the clock. Each
// time the clock (read by running date through the shell, over and over) enters a new half
// second, it fetches the frame stamped half a second earlier, rounded down to its half second,
// through gunzip, and writes it to standard output as a flushed stream record: the payload of
// the last file read where the archive has none. Slots missed while busy are not caught up.
// Runs until killed, or until the program reading its output ends.
#include <cstdio>
#include <unistd.h>

#include "archive.h"
#include "cli.h"
#include "frame.h"

static char s[ARC_NAME];   // the clock command, then the decompressor command
static char fn[ARC_NAME];  // the clock reading, then the wanted stamp; 17 bytes are the header
static char dn1[ARC_NAME], dn2[ARC_NAME];
static unsigned char buf2[FR_PAYLOAD];  // never cleared: a missing file repeats the last payload

int main(int argc, char **argv)
{
	if (argc != 2 || !arc_root_ok(argv[1], ARC_ROOT_MAX_PIPE))
		usage("usage: arc-pipe ROOT (ROOT: 1-13 of A-Z a-z 0-9 . _ - / +)");
	const char *root = argv[1];
	int prev = -1;
	for (;;) {
		int slot = -1;
		snprintf(s, sizeof s, "%s", ARC_CLOCK_CMD);
		FILE *p = popen(s, "r");
		if (p) {
			if (!fgets(fn, FR_STAMP + 1, p))
				fn[0] = '\0';
			pclose(p);
			slot = arc_slot(fn);  // -1 unless the reading is 16 digits
		}
		if (slot >= 0 && slot != prev) {
			FILE *g = nullptr;
			if (arc_gunzip_cmd(s, root, fn, dn1, dn2, slot))
				g = popen(s, "r");
			if (g) {
				(void)!fread(buf2, 1, FR_PAYLOAD, g);
				if (fr_write(stdout, fn, buf2) != 0)
					die("write error on standard output:");
				pclose(g);
			}
		}
		usleep(1000);
		if (slot >= 0)
			prev = slot;
	}
}
