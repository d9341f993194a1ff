// Late frames racing arc-pack at length (the short form is a test in tests/pack_race_test.cc):
// net-arc stores frames sent over loopback UDP a few at a time into closed periods in turn,
// while arc-pack packs the archive again and again; then every frame sent is looked for. One
// row per run: frames sent, found, dropped by the socket, lost (sent, not dropped, not found),
// and the arc-pack runs meanwhile (those that failed: a pack abandoned, the loose files kept).
// usage: pack_race_bench [--quick] [RUNS [FRAMES]]   (3 runs of 2,000 frames; --quick: 1 of 300)
//   Each run but the last packs with no settling time (ARC_PACK_SETTLE=0: any whole frame file
//   at once), racing the writers hardest; the last with arc-pack's own (5 s).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kit.h"
#include "pack_race.h"

int main(int argc, char **argv)
{
	bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
	int at = quick ? 2 : 1;
	int runs = argc > at ? atoi(argv[at]) : quick ? 1 : 3;
	int frames = argc > at + 1 ? atoi(argv[at + 1]) : quick ? 300 : 2000;
	printf("late frames racing arc-pack: %d runs of %d frames (5 a send, 12 periods in turn)\n", runs, frames);
	printf("%4s %7s %7s %7s %7s %5s %9s %7s\n", "run", "settle", "sent", "found", "dropped", "lost", "arc-pack", "failed");
	long lost = 0;
	for (int r = 0; r < runs; r++) {
		RaceRun c;
		c.periods = 12;
		c.per_round = 5;
		c.rounds = frames / c.per_round;
		c.settle = r + 1 < runs || runs == 1 ? "0" : "5";
		TempDir d;
		RaceFigures f = race(d.path, c);
		long l = (long)f.lost.size();
		lost += l;
		printf("%4d %6ss %7ld %7ld %7ld %5ld %9ld %7ld\n", r + 1, c.settle.c_str(), f.sent, f.present, f.drops, l, f.runs,
		       f.failed_runs);
		if (!f.problems.empty())
			printf("     %s", f.problems.c_str());
		if (f.failed_runs)  // what the first failed runs said
			printf("     arc-pack said: %s\n", f.pack_errors.substr(0, 600).c_str());
		fflush(stdout);
	}
	printf("lost in all: %ld\n", lost);
	return lost != 0;
}
