// pipe-dump N: reads stream records from standard input and prints one line per frame: the
// time of day HHMMSScc, channel A then channel B of points N..N+3, and the frequency value of
// point N. Ends with status 0 at the end of its input.
#include <cstdio>

#include "cli.h"
#include "frame.h"

// One spare byte past the header stays NUL, so the stamp prints as a string whatever the
// header's last byte holds.
static unsigned char buf1[FR_HEADER + 1];
static unsigned char buf2[FR_PAYLOAD];

int main(int argc, char **argv)
{
	int n;
	if (argc != 2 || !arg_int(argv[1], &n) || n < 0 || n > FR_POINTS - 4)
		usage("usage: pipe-dump N (N from 0 to 896)");
	double f = fr_freq(n);
	fr_input(stdin);
	for (;;) {
		int st = fr_read(stdin, buf1, buf2);
		if (st == FR_END)
			break;
		if (st == FR_ERROR)
			die("read error on standard input:");
		printf("%s %5d %5d %5d %5d / %5d %5d %5d %5d / %10.6lf\n", (char *)buf1 + 8,
		       fr_chan_a(buf2, n), fr_chan_a(buf2, n + 1), fr_chan_a(buf2, n + 2), fr_chan_a(buf2, n + 3),
		       fr_chan_b(buf2, n), fr_chan_b(buf2, n + 1), fr_chan_b(buf2, n + 2), fr_chan_b(buf2, n + 3), f);
		if (ferror(stdout))
			die("write error on standard output:");
	}
	if (fflush(stdout) != 0)
		die("write error on standard output:");
	return 0;
}
