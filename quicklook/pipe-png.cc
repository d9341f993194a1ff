// pipe-png [-w WIDTH] [-r LO:HI | -a] [-b] [-p PALETTE] [-t TITLE] [-m FROM,TO,F_LO,F_HI]... OUT.png:
// the quicklook. Reads stream records from standard input and, at its end, writes one PNG:
// channel A above channel B, each a dynamic spectrum with time along x (from the stamps, so gaps
// show as gaps) and frequency along y, with axes, a colour bar, a title, and each -m's span and
// band marked as a box on both panels. Many frames to a column show the largest level of the
// column's time; memory depends on the picture, not on the input.
//
// The picture is drawn by the quicklook module (draw.h), in memory. Stamps go through the
// stream's running time: one far from it (a stamp of 2099 in a day's stream) is skipped and
// said, and never stretches the time axis. The file is written under a temporary name beside
// OUT, synced and renamed when complete.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <string>

#include "cli.h"
#include "draw.h"
#include "frame.h"
#include "outfile.h"
#include "palette.h"
#include "streamtime.h"

static const char USAGE[] =
	"usage: pipe-png [-w WIDTH] [-r LO:HI | -a] [-b] [-p PALETTE] [-t TITLE] [-m FROM,TO,F_LO,F_HI]... OUT.png";
static const char HELP[] =
	"Reads stream records from standard input and draws them as a labelled dynamic spectrum.\n"
	"  -w WIDTH    picture width in pixels (default 1600, at least 400)\n"
	"  -r LO:HI    levels LO to HI on the colour scale (default 40:140)\n"
	"  -a          levels from the data: its 1st to 99.5th percentile\n"
	"  -b          subtract each frequency's median level; show the difference\n"
	"  -p PALETTE  viewer (default) or viridis\n"
	"  -t TITLE    text before the time range in the title (UTF-8, no control characters)\n"
	"  -m FROM,TO,F_LO,F_HI\n"
	"              mark the frames stamped FROM to TO (16-digit stamps) between F_LO and F_HI MHz\n"
	"              as a box on both channels; up to 32 marks\n";

static unsigned char hdr[FR_HEADER], buf2[FR_PAYLOAD];

// The options, checked: the picture's, and where it goes.
struct Opts {
	QlOpts q;
	const char *out = nullptr;
};

static Opts options(int argc, char **argv)
{
	Opts o;
	bool range = false;
	opterr = 0;
	for (int c; (c = getopt(argc, argv, "w:r:abp:t:m:")) != -1;) {
		char *end;
		if (c == 'w' && arg_int(optarg, &o.q.width) && o.q.width >= 400 && o.q.width <= QL_MAX_WIDTH)
			continue;
		if (c == 'r') {
			o.q.lo = strtod(optarg, &end);
			if (*end == ':' && end != optarg) {
				const char *h = end + 1;
				o.q.hi = strtod(h, &end);
				if (!*end && end != h && std::isfinite(o.q.lo) && std::isfinite(o.q.hi) && o.q.hi > o.q.lo) {
					range = true;
					continue;
				}
			}
		}
		if (c == 'a') {
			o.q.automatic = true;
			continue;
		}
		if (c == 'b') {
			o.q.background = true;
			continue;
		}
		if (c == 'p' && (o.q.pal = vw_palette(optarg)))
			continue;
		if (c == 't' && ql_text_ok(optarg)) {
			o.q.title = optarg;
			continue;
		}
		if (c == 'm') {
			QlMark m;
			if (!ql_mark_parse(optarg, &m))
				usage_why(USAGE, "-m %s: not FROM,TO,F_LO,F_HI (stamps of real times, FROM first; MHz, F_LO first)", optarg);
			if (o.q.marks.size() == QL_MAX_MARKS)
				usage_why(USAGE, "more than %d marks", (int)QL_MAX_MARKS);
			o.q.marks.push_back(m);
			continue;
		}
		usage(USAGE);
	}
	if (optind != argc - 1 || (range && o.q.automatic))
		usage(USAGE);
	o.q.automatic = o.q.automatic || (o.q.background && !range);  // -b alone: levels from the data
	o.out = argv[optind];
	return o;
}

static void write_png(const std::string &png, OutFile *of)
{
	FILE *f = fopen(of->tmp.c_str(), "wbx");
	bool ok = f && fwrite(png.data(), 1, png.size(), f) == png.size();
	if (f && fclose(f) != 0)
		ok = false;
	if (!ok || of_commit(of) != 0) {
		of_abort(of);
		die("cannot write %s:", of->path.c_str());
	}
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Opts o = options(argc, argv);
	OutFile of;  // made now, so that an OUT that cannot be written fails before any input
	if (of_begin(&of, o.out) != 0)
		die("cannot write %s:", o.out);

	QlDraw pic(o.q);
	StreamTime clock;
	fr_input(stdin);
	for (int st; (st = fr_read(stdin, hdr, buf2)) != FR_END;) {
		if (st == FR_ERROR) {
			of_abort(&of);
			die("read error on standard input:");
		}
		long long t;
		StVerdict v = clock.take(hdr, &t);
		if (v == ST_ACCEPT || v == ST_LATE)
			pic.add(t, buf2);
	}
	clock.finish();
	if (pic.frames() == 0) {
		of_abort(&of);
		die("no frames: no picture written");
	}

	std::string png, why = pic.png(&png);
	if (!why.empty()) {
		of_abort(&of);
		die("%s", why.c_str());
	}
	write_png(png, &of);
	return 0;
}
