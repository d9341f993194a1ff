// frame-send: a stand-in for the receiver outside the system. Sends datagram pairs (a 16-byte
// stamp, then a 3600-byte payload) to HOST:PORT, by default one frame per half second with
// stamps of the local clock at half-second instants, for ever. Spectra look like the sky does
// to such a receiver and are the same for the same seed: a noise floor that differs between
// the channels, a few steady narrow carriers, and now and then a burst drifting in frequency.
// Given -k, -E or -e it draws a richer sky instead, for the burst detector's tests and
// benchmarks: solar bursts of each kind with their shapes across the band, carriers that come
// and go, broadband spikes, gain steps and a slow daily swing of the floor, with the truth
// (what was put in the sky, and when) written to a file.
//
// usage: frame-send [-c COUNT] [-i MILLISECONDS] [-r PER_SECOND] [-s SEED] [-N SEED] [-a SECONDS]
//                   [-T STAMP] [-k KINDS] [-E PER_HOUR] [-e FILE] (-o | HOST PORT)
//   -c  frames to send, then exit (0, the default: no end)
//   -i  interval between frames in milliseconds (500; 0 sends at full speed); stamps always
//       advance by half a second per frame from the first half-second instant
//   -r  frames per second instead of -i
//   -s  seed of the simulated sky (1)
//   -N  the noise's own seed: the same sky as -s gives (bursts, carriers, their times) under
//       other noise, as two stations see one sky
//   -a  stamps this many seconds ahead of the clock (behind, if negative), as a drifting
//       receiver clock would give them
//   -o  write stream records on standard output instead (at full speed unless -i or -r)
//   -T  the first frame's stamp, instead of the clock's
//   -k  the richer sky's contents, a comma-separated list of III (fast-drift bursts), II
//       (slow-drift bursts), CONT (broadband continua), NARROW (the narrow drifting bursts),
//       SWITCH (carriers switching on and off), SPIKE (broadband spikes of a frame or two),
//       GAIN (steps of the whole band), CHIRP (a sounder's line rising across the band at a
//       steady rate) and FADE (a broadcasting band of carriers fading in and out, for ten
//       minutes to an hour); KIND@SECONDS puts one at that time from the start instead of at
//       random (all of them, by default)
//   -E  bursts per hour at random (6)
//   -e  write the truth to FILE, one line per burst and nuisance: kind, start and end stamps,
//       lowest and highest frequency (MHz), peak level above the floor (dB), drift (MHz/s),
//       and the band's width at any one time (MHz)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include "cli.h"
#include "frame.h"

static const char USAGE[] = "usage: frame-send [-c COUNT] [-i MILLISECONDS] [-r PER_SECOND] [-s SEED] [-N SEED] [-a SECONDS] "
			    "[-T STAMP] [-k KINDS] [-E PER_HOUR] [-e FILE] (-o | HOST PORT)";
static const char HELP[] =
	"Sends frames of a simulated sky to HOST:PORT as a receiver does (a stamp datagram, then a\n"
	"payload datagram), or writes them as stream records with -o.\n"
	"  -c COUNT         frames to send, then exit (0, the default: no end)\n"
	"  -i MILLISECONDS  interval between frames (500; 0 at full speed)\n"
	"  -r PER_SECOND    frames per second instead of -i\n"
	"  -s SEED          seed of the simulated sky (1)\n"
	"  -N SEED          the noise's own seed: the sky of -s under other noise\n"
	"  -a SECONDS       stamps this many seconds ahead of the clock (behind, if negative)\n"
	"  -o               stream records on standard output (at full speed unless -i or -r)\n"
	"  -T STAMP         the first frame's stamp, instead of the clock's\n"
	"  -k KINDS         the richer sky: III,II,CONT,NARROW,SWITCH,SPIKE,GAIN,CHIRP,FADE; KIND@SECONDS\n"
	"                   at that time\n"
	"  -E PER_HOUR      bursts per hour at random in the richer sky (6)\n"
	"  -e FILE          the richer sky's truth, one line per burst and nuisance, to FILE\n";

struct Carrier { int point; int channels; double level; };  // channels: bit 0 A, bit 1 B
static const Carrier carriers[] = {
	{137, 3, 92.0}, {402, 1, 104.0}, {403, 1, 98.0}, {655, 2, 88.0}, {780, 3, 110.0},
};

// The richer sky's contents. Shapes are in dB above the floor; times in seconds from the first frame.
enum { K_III, K_II, K_CONT, K_NARROW, K_SWITCH, K_SPIKE, K_GAIN, K_CHIRP, K_FADE, K_KINDS };
static const char *const kind_names[K_KINDS] = {"III", "II", "CONT", "NARROW", "SWITCH", "SPIKE", "GAIN", "CHIRP", "FADE"};
static const double kind_weights[K_KINDS] = {5, 1.5, 1.5, 2, 0, 0, 0, 0, 0};  // of the random bursts

// Shortwave broadcasting bands within the instrument's, MHz: where FADE puts its carriers.
static const double broadcast[][2] = {{13.57, 13.87}, {15.10, 15.80}, {17.48, 17.90}, {21.45, 21.85}, {25.67, 26.10}};

struct Shape {
	int kind;
	double t0, t1, f1, f2, drift, peak, width, rise, fall;
	bool harmonic;
};

struct Switcher { int point; double level, until; bool on; };

// The sky, plain or richer: one generator, its random numbers, and what is in it now.
struct Sky {
	uint64_t rng = 1;
	uint64_t noise_rng = 0;  // -N: the noise's own generator, so that the rest is the seed's alone
	bool rich = false, random[K_KINDS] = {};
	double planned_at[32];
	int planned_kind[32], nplanned = 0;
	double per_hour = 6;
	FILE *truth = nullptr;
	long long first = 0;  // the first frame's time, hundredths since 1970
	Shape live[8];        // the richer sky's bursts, drawn under the carriers
	int nlive = 0;
	double gain = 0;
	Switcher sw[3] = {{250, 80, 0, false}, {520, 95, 0, false}, {861, 75, 0, false}};
	// The plain sky's one burst at a time, drawn over everything, carriers too, for 4 s.
	Shape over = {K_NARROW, -1e9, -1e9 + 4, 0, 0, 0, 0, 0, 0, 0, false};
};

// What to send, where, and when; the frame being sent.
struct Send {
	int count = 0, interval = 500, rate = 0, seed = 1, ahead = 0, noise_seed = -1;
	bool to_stdout = false, paced = false;
	const char *truth_file = nullptr, *first_stamp = nullptr;
	const char *host = nullptr, *port = nullptr;
	long long step = 0;     // nanoseconds between frames, 0 at full speed
	struct timespec t0;     // the half-second instant of the first frame
	int fd = -1;
	struct sockaddr_storage to;
	socklen_t tolen = 0;
	Sky sky;
	unsigned char buf[FR_HEADER] = {}, buf2[FR_PAYLOAD] = {};
};

static double uniform(Sky &sky)  // xorshift64*, in [0, 1)
{
	uint64_t &rng = sky.rng;
	rng ^= rng >> 12;
	rng ^= rng << 25;
	rng ^= rng >> 27;
	return (double)((rng * 0x2545F4914F6CDD1DULL) >> 11) / 9007199254740992.0;
}

static double noise(Sky &sky)  // roughly normal, standard deviation 1
{
	if (!sky.noise_rng)
		return (uniform(sky) + uniform(sky) + uniform(sky) + uniform(sky) - 2.0) * 1.732;
	std::swap(sky.rng, sky.noise_rng);
	double v = (uniform(sky) + uniform(sky) + uniform(sky) + uniform(sky) - 2.0) * 1.732;
	std::swap(sky.rng, sky.noise_rng);
	return v;
}

static double band_lo() { return fr_freq(0); }
static double band_hi() { return fr_freq(FR_POINTS - 1); }
static double between(Sky &sky, double a, double b) { return a + (b - a) * uniform(sky); }

static void truth(const Sky &sky, const char *kind, double t0, double t1, double f1, double f2,
		  double peak, double drift, double width)
{
	if (!sky.truth)
		return;
	char a[17], b[17];
	fr_time_stamp(sky.first + llround(t0 * 100), a);
	fr_time_stamp(sky.first + llround(t1 * 100), b);
	fprintf(sky.truth, "%s %s %s %.3f %.3f %.1f %.3f %.3f\n", kind, a, b, f1, f2, peak, drift, width);
}

// A narrow burst drifting in frequency, in points, from time t for 4 s: the plain sky's bursts,
// and NARROW in the richer one.
static Shape narrow(Sky &sky, double t)
{
	Shape sh = {K_NARROW, t, t + 4, 0, 0, 0, 0, 0, 0, 0, false};
	sh.f1 = 50 + uniform(sky) * 800;
	sh.drift = (uniform(sky) - 0.5) * 120.0;
	sh.peak = 25 + uniform(sky) * 30;
	sh.width = 3 + (int)(uniform(sky) * 6);
	return sh;
}

// Puts a burst, spike or gain step of this kind into the sky at time t, its truth written.
static void spawn(Sky &sky, int kind, double t)
{
	if (kind == K_GAIN) {
		double step = between(sky, 2, 6) * (uniform(sky) < 0.5 ? -1 : 1);
		sky.gain += step;
		truth(sky, "GAIN", t, t, band_lo(), band_hi(), step, 0, band_hi() - band_lo());
		return;
	}
	if (sky.nlive == 8)
		return;
	Shape sh = {kind, t, t, 0, 0, 0, 0, 0, 0, 0, false};
	double lo = band_lo(), hi = band_hi();
	if (kind == K_III) {
		double d = between(sky, 3, 20);
		sh.f2 = between(sky, 25, hi);
		sh.f1 = between(sky, lo, sh.f2 - 5);
		sh.drift = -d;
		sh.rise = between(sky, 0.5, 1.0);
		sh.fall = between(sky, 1.5, 3.0);
		sh.peak = between(sky, 3, 25);
		sh.t1 = t + (sh.f2 - sh.f1) / d + sh.rise + sh.fall;
		sh.width = fmin(sh.f2 - sh.f1, d * (sh.rise + sh.fall));
		truth(sky, "III", sh.t0, sh.t1, sh.f1, sh.f2, sh.peak, sh.drift, sh.width);
	} else if (kind == K_II) {
		double d = between(sky, 0.05, 0.5), w = between(sky, 2, 5), dur = between(sky, 120, 600);
		dur = fmin(dur, 0.9 * (hi - lo - w) / d);
		sh.f2 = between(sky, lo + w / 2 + d * dur, hi - w / 2);  // the band's centre at the start
		sh.f1 = sh.f2 - d * dur;                                  // and at the end
		sh.drift = -d;
		sh.width = w;
		sh.rise = 1, sh.fall = 2;
		sh.peak = between(sky, 3, 20);
		sh.harmonic = 2 * (sh.f2 + w / 2) <= hi && uniform(sky) < 0.5;
		sh.t1 = t + dur;
		truth(sky, "II", sh.t0, sh.t1, sh.f1 - w / 2, sh.harmonic ? 2 * (sh.f2 + w / 2) : sh.f2 + w / 2,
		      sh.peak, sh.drift, w);
	} else if (kind == K_CONT) {
		double w = between(sky, 8, 20), fc = between(sky, lo + w / 2, hi - w / 2);
		sh.f1 = fc - w / 2, sh.f2 = fc + w / 2, sh.width = w;
		sh.rise = 2, sh.fall = 3;
		sh.peak = between(sky, 3, 15);
		sh.t1 = t + between(sky, 120, 900);
		truth(sky, "CONT", sh.t0, sh.t1, sh.f1, sh.f2, sh.peak, 0, w);
	} else if (kind == K_NARROW) {
		sh = narrow(sky, t);
		double a = sh.f1 - sh.width, b = sh.f1 + sh.width + sh.drift * 4;
		truth(sky, "NARROW", sh.t0, sh.t1, fr_freq((int)fmax(0, fmin(a, b))),
		      fr_freq((int)fmin(FR_POINTS - 1, fmax(a, b))), sh.peak, sh.drift * FR_FREQ_STEP,
		      2 * sh.width * FR_FREQ_STEP);
	} else if (kind == K_CHIRP) {
		sh.drift = between(sky, 0.08, 0.3);  // rising, as sounders sweep
		sh.width = 2.5;                      // a strong one, widened by the receiver's response
		sh.peak = between(sky, 10, 25);
		sh.f1 = between(sky, lo, lo + 5);
		sh.f2 = hi;
		sh.t1 = t + (sh.f2 - sh.f1) / sh.drift;
		truth(sky, "CHIRP", sh.t0, sh.t1, sh.f1, sh.f2, sh.peak, sh.drift, sh.width);
	} else if (kind == K_FADE) {
		const double *b = broadcast[(int)(uniform(sky) * 5) % 5];
		sh.f1 = b[0], sh.f2 = b[1], sh.width = b[1] - b[0];
		sh.peak = between(sky, 15, 30);
		sh.t1 = t + between(sky, 600, 3600);
		truth(sky, "FADE", sh.t0, sh.t1, sh.f1, sh.f2, sh.peak, 0, sh.width);
	} else if (kind == K_SPIKE) {
		sh.peak = between(sky, 5, 30);
		sh.t1 = t + (uniform(sky) < 0.5 ? 0 : 0.5);
		truth(sky, "SPIKE", sh.t0, sh.t1, lo, hi, sh.peak, 0, hi - lo);
	}
	sky.live[sky.nlive++] = sh;
}

static double ramp(const Shape &sh, double t)
{
	return fmax(0, fmin(1, fmin((t - sh.t0) / sh.rise, (sh.t1 - t) / sh.fall)));
}

// dB that shape sh adds at point p, frequency f, time t.
static double shape_at(const Shape &sh, int p, double f, double t)
{
	switch (sh.kind) {
	case K_III: {
		if (f < sh.f1 || f > sh.f2)
			return 0;
		double tau = t - (sh.t0 + (sh.f2 - f) / -sh.drift);
		if (tau < 0 || tau > sh.rise + sh.fall)
			return 0;
		return sh.peak * (tau < sh.rise ? tau / sh.rise : 1 - (tau - sh.rise) / sh.fall);
	}
	case K_II: {
		double fc = sh.f2 + sh.drift * (t - sh.t0), env = ramp(sh, t);
		double lv = sh.peak * env * (0.85 + 0.15 * sin((t - sh.t0) / 7.0));
		if (fabs(f - fc) <= sh.width / 2)
			return lv;
		return sh.harmonic && fabs(f - 2 * fc) <= sh.width ? 0.7 * lv : 0;
	}
	case K_CONT: {
		double x = (f - (sh.f1 + sh.f2) / 2) / (sh.width / 2);
		return fabs(x) <= 1 ? sh.peak * (1 - 0.6 * x * x) * ramp(sh, t) : 0;
	}
	case K_NARROW: {
		double centre = sh.f1 + sh.drift * (t - sh.t0);
		return fabs(p - centre) < sh.width ? sh.peak * (1.0 - fabs(p - centre) / sh.width) : 0;
	}
	case K_SPIKE:
		return t <= sh.t1 ? sh.peak * (1 + 0.1 * (f - 27.5) / 13.7) : 0;
	case K_CHIRP:
		return t <= sh.t1 && fabs(f - (sh.f1 + sh.drift * (t - sh.t0))) <= sh.width / 2 ? sh.peak : 0;
	case K_FADE: {
		// A carrier every other point, each fading by 25 dB with a period of its own (2 to 20 s).
		if (f < sh.f1 || f > sh.f2 || p % 2 || t > sh.t1)
			return 0;
		double period = 2 + (p * 7919 % 181) / 10.0, v = sh.peak - 25 * (0.5 + 0.5 * sin(2 * M_PI * t / period + p));
		return fmax(0, v);
	}
	}
	return 0;
}

// What comes and goes at time t: in the plain sky a narrow burst every 15 s or so; in the
// richer one the bursts planned and at random, spikes, gain steps and switching carriers.
static void events(Sky &sky, double t)
{
	if (!sky.rich) {
		if (t - sky.over.t0 > 5.0 && uniform(sky) < 0.03)
			sky.over = narrow(sky, t);
		return;
	}
	for (int i = 0; i < sky.nplanned; i++)
		if (sky.planned_at[i] <= t && sky.planned_at[i] > t - 0.5)
			spawn(sky, sky.planned_kind[i], t);
	double total = 0;
	for (int i = 0; i < K_KINDS; i++)
		total += sky.random[i] ? kind_weights[i] : 0;
	if (total > 0 && uniform(sky) < sky.per_hour / 7200.0) {
		double pick = uniform(sky) * total;
		for (int i = 0; i < K_KINDS; i++)
			if (sky.random[i] && kind_weights[i] > 0 && (pick -= kind_weights[i]) < 0) {
				spawn(sky, i, t);
				break;
			}
	}
	if (sky.random[K_SPIKE] && uniform(sky) < 30 / 7200.0)
		spawn(sky, K_SPIKE, t);
	if (sky.random[K_CHIRP] && uniform(sky) < 4 / 7200.0)  // about four sounders an hour
		spawn(sky, K_CHIRP, t);
	if (sky.random[K_FADE] && uniform(sky) < 1 / 7200.0)   // a broadcasting band about once an hour
		spawn(sky, K_FADE, t);
	if (sky.random[K_GAIN] && uniform(sky) < 6 / 172800.0)
		spawn(sky, K_GAIN, t);
	for (Switcher &w : sky.sw) {
		if (!sky.random[K_SWITCH] || t < w.until)
			continue;
		w.on = !w.on;
		double dur = w.on ? between(sky, 30, 1200) : between(sky, 60, 1800);
		if (w.on)
			truth(sky, "SWITCH", t, t + dur, fr_freq(w.point), fr_freq(w.point), w.level - 50, 0,
			      FR_FREQ_STEP);
		w.until = t + dur;
	}
	int n = 0;
	for (int i = 0; i < sky.nlive; i++)
		if (t <= sky.live[i].t1 + 1)
			sky.live[n++] = sky.live[i];
	sky.nlive = n;
}

// Fills payload with frame k (time t = k / 2 seconds): the floor with its ripple and noise, the
// shapes under the carriers, the carriers, the switching ones, a plain burst over all. Levels
// are in hundredths.
static void sky_frame(Sky &sky, long k, unsigned char *payload)
{
	double t = k * 0.5;
	events(sky, t);
	double swing = sky.rich ? 1.5 * sin(2 * M_PI * t / 86400.0) + sky.gain : 0;
	bool over = t <= sky.over.t1;
	for (int p = 0; p < FR_POINTS; p++) {
		double f = fr_freq(p), add = swing;
		for (int i = 0; i < sky.nlive; i++)
			add += shape_at(sky.live[i], p, f, t);
		double ripple = 2.5 * sin(p * 0.013) + 1.5 * sin(p * 0.051 + 1.0);
		double lv[2] = {50.0 + ripple + noise(sky) * 1.2 + add, 56.0 - ripple + noise(sky) * 1.6 + add};
		for (const Carrier &c : carriers)
			for (int ch = 0; ch < 2; ch++)
				if (c.channels >> ch & 1 && p == c.point)
					lv[ch] = c.level + swing + noise(sky) * 0.5;
		for (const Switcher &w : sky.sw)
			if (w.on && p == w.point)
				lv[0] = lv[1] = w.level + swing + noise(sky) * 0.5;
		if (over)
			if (double v = shape_at(sky.over, p, f, t))
				for (double &l : lv)
					l += v;
		for (int ch = 0; ch < 2; ch++) {
			long v = lround(lv[ch] * 100.0);
			v = v < 0 ? 0 : v > 65535 ? 65535 : v;
			payload[4 * p + 2 * ch] = (unsigned char)(v & 0xff);
			payload[4 * p + 2 * ch + 1] = (unsigned char)(v >> 8);
		}
	}
}

// Parses -k: KIND or KIND@SECONDS, comma-separated. Returns 0 on a bad list.
static int parse_kinds(Sky &sky, const char *list)
{
	char item[64];
	for (const char *s = list; *s;) {
		size_t n = strcspn(s, ",");
		if (n == 0 || n >= sizeof item)
			return 0;
		memcpy(item, s, n);
		item[n] = 0;
		s += n + (s[n] == ',');
		char *at = strchr(item, '@');
		if (at)
			*at++ = 0;
		int kind = -1;
		for (int i = 0; i < K_KINDS; i++)
			if (strcmp(item, kind_names[i]) == 0)
				kind = i;
		int secs;
		if (kind < 0 || (at && (!arg_int(at, &secs) || secs < 0)) || (at && kind == K_SWITCH))
			return 0;
		if (!at)
			sky.random[kind] = true;
		else if (sky.nplanned < 32) {
			sky.planned_at[sky.nplanned] = secs;
			sky.planned_kind[sky.nplanned++] = kind;
		} else
			return 0;
	}
	return 1;
}

// One option into s; false if it is not one.
static bool option(Send &s, int opt, const char *arg)
{
	long long c;
	int per_hour;
	switch (opt) {
	case 'a': return arg_int(arg, &s.ahead) && s.ahead > -86400 && s.ahead < 86400;
	case 'o': return s.to_stdout = true;
	case 'T': return strlen(arg) == FR_STAMP && fr_stamp_time(arg, &c) && (s.first_stamp = arg);
	case 'k': return parse_kinds(s.sky, arg) && (s.sky.rich = true);
	case 'E':
		if (!arg_int(arg, &per_hour) || per_hour < 0 || per_hour > 3600)
			return false;
		s.sky.per_hour = per_hour;
		return s.sky.rich = true;
	case 'e': return (s.truth_file = arg) && (s.sky.rich = true);
	}
	s.paced |= opt == 'i' || opt == 'r';
	int *v = opt == 'c' ? &s.count : opt == 'i' ? &s.interval : opt == 'r' ? &s.rate : opt == 's' ? &s.seed
		: opt == 'N' ? &s.noise_seed : nullptr;
	return v && arg_int(arg, v) && *v >= 0;
}

static void options(Send &s, int argc, char **argv)
{
	opterr = 0;
	for (int opt; (opt = getopt(argc, argv, "c:i:r:s:N:a:oT:k:E:e:")) != -1;)
		if (!option(s, opt, optarg))
			usage(USAGE);
	int port = 0;
	if (s.to_stdout ? argc != optind
			: argc - optind != 2 || !arg_int(argv[optind + 1], &port) || port < 1 || port > 65535)
		usage(USAGE);
	if (!s.to_stdout)
		s.host = argv[optind], s.port = argv[optind + 1];
	s.step = s.rate > 0 ? 1000000000LL / s.rate : s.interval * 1000000LL;
	if (s.to_stdout && !s.paced)
		s.step = 0;
}

// The sky's seed and contents (no -k: everything at random), and its truth file.
static void sky_start(Send &s)
{
	Sky &sky = s.sky;
	sky.rng = 0x9E3779B97F4A7C15ULL ^ (uint64_t)s.seed * 0xBF58476D1CE4E5B9ULL;
	if (sky.rng == 0)
		sky.rng = 1;
	if (s.noise_seed >= 0)
		sky.noise_rng = (0xD1B54A32D192ED03ULL ^ (uint64_t)s.noise_seed * 0xBF58476D1CE4E5B9ULL) | 1;
	bool any = false;
	for (bool r : sky.random)
		any |= r;
	if (sky.rich && !any && sky.nplanned == 0)
		for (bool &r : sky.random)
			r = true;
	if (s.truth_file && !(sky.truth = fopen(s.truth_file, "w")))
		die("cannot write %s:", s.truth_file);
	if (sky.truth)
		setvbuf(sky.truth, nullptr, _IOLBF, 0);
	if (s.first_stamp)
		fr_stamp_time(s.first_stamp, &sky.first);
}

// Unconnected, so that a refusal from a port nobody listens on yet costs nothing later.
static void open_socket(Send &s)
{
	struct addrinfo hints, *ai;
	memset(&hints, 0, sizeof hints);
	hints.ai_family = AF_INET;
	hints.ai_socktype = SOCK_DGRAM;
	int err = getaddrinfo(s.host, s.port, &hints, &ai);
	if (err)
		die("cannot resolve %s: %s", s.host, gai_strerror(err));
	s.tolen = ai->ai_addrlen;
	memcpy(&s.to, ai->ai_addr, s.tolen);
	freeaddrinfo(ai);
	s.fd = socket(AF_INET, SOCK_DGRAM, 0);
	if (s.fd < 0)
		die("cannot create a socket:");
}

// The next half-second instant of the clock: the first frame's.
static void clock_start(Send &s)
{
	clock_gettime(CLOCK_REALTIME, &s.t0);
	long half = (long)(s.t0.tv_nsec / 500000000) + 1;
	s.t0.tv_sec += half / 2;
	s.t0.tv_nsec = (half % 2) * 500000000L;
}

// Waits for frame k's time, if paced, and puts its stamp in buf: from -T, or the clock's.
static void stamp(Send &s, long k)
{
	long long ns = (long long)s.t0.tv_nsec + (long long)k * s.step;
	struct timespec at = {s.t0.tv_sec + (time_t)(ns / 1000000000LL), (long)(ns % 1000000000LL)};
	if (s.step > 0)
		while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &at, nullptr) != 0) {}
	char st[96];
	if (s.first_stamp) {
		fr_time_stamp(s.sky.first + (long long)s.ahead * 100 + 50LL * k, st);
	} else {
		long long hs = (long long)s.t0.tv_nsec / 500000000 + k;  // half seconds since t0's second
		time_t sec = s.t0.tv_sec + (time_t)(hs / 2) + s.ahead;
		struct tm tm;
		localtime_r(&sec, &tm);
		snprintf(st, sizeof st, "%04d%02d%02d%02d%02d%02d%s", tm.tm_year + 1900, tm.tm_mon + 1,
			 tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, hs % 2 ? "50" : "00");
		if (k == 0)
			fr_stamp_time(st, &s.sky.first);
	}
	memcpy(s.buf, st, FR_STAMP);
}

static void send_frame(Send &s)
{
	if (s.to_stdout) {
		if (fr_write(stdout, s.buf, s.buf2) != 0)
			die("cannot write the records:");
		return;
	}
	(void)!sendto(s.fd, s.buf, FR_STAMP, 0, (struct sockaddr *)&s.to, s.tolen);
	(void)!sendto(s.fd, s.buf2, FR_PAYLOAD, 0, (struct sockaddr *)&s.to, s.tolen);
}

// The steady carriers' truth, over the whole run, and the truth file closed.
static void finish(Send &s)
{
	Sky &sky = s.sky;
	if (sky.truth && s.count > 0)
		for (const Carrier &c : carriers)
			truth(sky, "CARRIER", 0, (s.count - 1) * 0.5, fr_freq(c.point), fr_freq(c.point), c.level - 50, 0,
			      FR_FREQ_STEP);
	if (sky.truth && fclose(sky.truth) != 0)
		die("cannot write %s:", s.truth_file);
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Send s;
	options(s, argc, argv);
	sky_start(s);
	if (!s.to_stdout)
		open_socket(s);
	clock_start(s);
	for (long k = 0; s.count == 0 || k < s.count; k++) {
		sky_frame(s.sky, k, s.buf2);
		stamp(s, k);
		send_frame(s);
	}
	finish(s);
	return 0;
}
