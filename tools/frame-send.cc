// frame-send: a stand-in for the receiver outside the system. Sends datagram pairs (a 16-byte
// stamp, then a 3600-byte payload) to HOST:PORT, by default one frame per half second with
// stamps of the local clock at half-second instants, for ever. Spectra look like the sky does
// to such a receiver and are the same for the same seed: a noise floor that differs between
// the channels, a few steady narrow carriers, and now and then a burst drifting in frequency.
//
// usage: frame-send [-c COUNT] [-i MILLISECONDS] [-r PER_SECOND] [-s SEED] [-a SECONDS] HOST PORT
//   -c  frames to send, then exit (0, the default: no end)
//   -i  interval between frames in milliseconds (500; 0 sends at full speed); stamps always
//       advance by half a second per frame from the first half-second instant
//   -r  frames per second instead of -i
//   -s  seed of the simulated sky (1)
//   -a  stamps this many seconds ahead of the clock (behind, if negative), as a drifting
//       receiver clock would give them
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cli.h"
#include "frame.h"

static unsigned char buf[FR_HEADER];
static unsigned char buf2[FR_PAYLOAD];

static uint64_t rng;

static double uniform()  // xorshift64*, in [0, 1)
{
	rng ^= rng >> 12;
	rng ^= rng << 25;
	rng ^= rng >> 27;
	return (double)((rng * 0x2545F4914F6CDD1DULL) >> 11) / 9007199254740992.0;
}

static double noise()  // roughly normal, standard deviation 1
{
	return (uniform() + uniform() + uniform() + uniform() - 2.0) * 1.732;
}

struct Carrier { int point; int channels; double level; };  // channels: bit 0 A, bit 1 B
static const Carrier carriers[] = {
	{137, 3, 92.0}, {402, 1, 104.0}, {403, 1, 98.0}, {655, 2, 88.0}, {780, 3, 110.0},
};

struct Burst { double start, point, drift, level; int width; };
static Burst burst = {-1e9, 0, 0, 0, 0};

// Fills buf2 with frame k (time t = k / 2 seconds). Levels are in hundredths.
static void sky(long k)
{
	double t = k * 0.5;
	if (t - burst.start > 5.0 && uniform() < 0.03) {  // a new burst every 15 s or so
		burst = {t, 50 + uniform() * 800, (uniform() - 0.5) * 120.0, 25 + uniform() * 30,
			 3 + (int)(uniform() * 6)};
	}
	bool bursting = t - burst.start <= 4.0;
	double centre = burst.point + burst.drift * (t - burst.start);
	for (int p = 0; p < FR_POINTS; p++) {
		double ripple = 2.5 * sin(p * 0.013) + 1.5 * sin(p * 0.051 + 1.0);
		double lv[2] = {50.0 + ripple + noise() * 1.2, 56.0 - ripple + noise() * 1.6};
		for (const Carrier &c : carriers)
			for (int ch = 0; ch < 2; ch++)
				if (c.channels >> ch & 1 && p == c.point)
					lv[ch] = c.level + noise() * 0.5;
		if (bursting && fabs(p - centre) < burst.width)
			for (double &l : lv)
				l += burst.level * (1.0 - fabs(p - centre) / burst.width);
		for (int ch = 0; ch < 2; ch++) {
			long v = lround(lv[ch] * 100.0);
			v = v < 0 ? 0 : v > 65535 ? 65535 : v;
			buf2[4 * p + 2 * ch] = (unsigned char)(v & 0xff);
			buf2[4 * p + 2 * ch + 1] = (unsigned char)(v >> 8);
		}
	}
}

int main(int argc, char **argv)
{
	const char *use = "usage: frame-send [-c COUNT] [-i MILLISECONDS] [-r PER_SECOND] [-s SEED] [-a SECONDS] HOST PORT";
	int count = 0, interval = 500, rate = 0, seed = 1, ahead = 0, opt;
	while ((opt = getopt(argc, argv, "c:i:r:s:a:")) != -1) {
		if (opt == 'a' && arg_int(optarg, &ahead) && ahead > -86400 && ahead < 86400)
			continue;
		int *v = opt == 'c' ? &count : opt == 'i' ? &interval : opt == 'r' ? &rate : opt == 's' ? &seed : nullptr;
		if (!v || !arg_int(optarg, v) || *v < 0)
			usage(use);
	}
	long long step = rate > 0 ? 1000000000LL / rate : interval * 1000000LL;  // nanoseconds
	int port;
	if (argc - optind != 2 || !arg_int(argv[optind + 1], &port) || port < 1 || port > 65535)
		usage(use);
	rng = 0x9E3779B97F4A7C15ULL ^ (uint64_t)seed * 0xBF58476D1CE4E5B9ULL;
	if (rng == 0)
		rng = 1;

	struct addrinfo hints, *ai;
	memset(&hints, 0, sizeof hints);
	hints.ai_family = AF_INET;
	hints.ai_socktype = SOCK_DGRAM;
	int err = getaddrinfo(argv[optind], argv[optind + 1], &hints, &ai);
	if (err)
		die("cannot resolve %s: %s", argv[optind], gai_strerror(err));
	struct sockaddr_storage to;
	socklen_t tolen = ai->ai_addrlen;
	memcpy(&to, ai->ai_addr, tolen);
	freeaddrinfo(ai);
	// Unconnected, so that a refusal from a port nobody listens on yet costs nothing later.
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	if (fd < 0)
		die("cannot create a socket:");

	// Start at the next half-second instant of the clock.
	struct timespec t0;
	clock_gettime(CLOCK_REALTIME, &t0);
	long half = (long)(t0.tv_nsec / 500000000) + 1;
	t0.tv_nsec = 0;
	t0.tv_sec += half / 2;
	t0.tv_nsec = (half % 2) * 500000000L;
	for (long k = 0; count == 0 || k < count; k++) {
		sky(k);
		long long ns = (long long)t0.tv_nsec + (long long)k * step;
		struct timespec at = {t0.tv_sec + (time_t)(ns / 1000000000LL), (long)(ns % 1000000000LL)};
		if (step > 0)
			while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &at, nullptr) != 0) {}
		long long hs = (long long)t0.tv_nsec / 500000000 + k;  // half seconds since t0's second
		time_t sec = t0.tv_sec + (time_t)(hs / 2) + ahead;
		struct tm tm;
		localtime_r(&sec, &tm);
		char stamp[96];
		snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d%s", tm.tm_year + 1900, tm.tm_mon + 1,
			 tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, hs % 2 ? "50" : "00");
		memcpy(buf, stamp, FR_STAMP);
		(void)!sendto(fd, buf, FR_STAMP, 0, (struct sockaddr *)&to, tolen);
		(void)!sendto(fd, buf2, FR_PAYLOAD, 0, (struct sockaddr *)&to, tolen);
	}
	return 0;
}
