// net-watch [-s URL] [--creds FILE] [--tlsca FILE] NAME: one station's live frames, from the
// broker, as stream records on standard output, so that "net-watch NAME | pipe-view" shows that
// station's sky. Every message is checked before it is written: exactly one record, its stamp a
// real time, from that station's subject; anything else is dropped and counted on standard error.
// Frames are core messages: what the broker or a slow reader loses is lost, never waited for.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>

#include "cli.h"
#include "frame.h"
#include "netconn.h"
#include "netmsg.h"
#include "streamtime.h"

static const char USAGE[] = "usage: net-watch [-s URL] [--creds FILE] [--tlsca FILE] NAME";
static const char HELP[] =
	"Writes the live frames of station NAME, from the broker, as stream records on standard output.\n"
	"  -s URL        the broker (default NATS_URL, else nats://127.0.0.1:4222)\n"
	"  --creds FILE  the user's credentials file\n"
	"  --tlsca FILE  the certificate authority of a broker reached over TLS (a tls:// URL)\n"
	"Messages that are not one record with a real time from NAME's subject are dropped and counted.\n";

struct Opts {
	NetAddr addr;
	std::string name;
};

static volatile sig_atomic_t ending;
static void on_signal(int sig) { ending = sig; }

static Opts options(int argc, char **argv)
{
	Opts o;
	static const struct option longs[] = {NET_LONG_OPTIONS, {nullptr, 0, nullptr, 0}};
	opterr = 0;
	for (int c; (c = getopt_long(argc, argv, "s:", longs, nullptr)) != -1;) {
		if (net_addr_option(c, optarg, o.addr))
			;
		else
			usage(USAGE);
	}
	if (optind != argc - 1)
		usage(USAGE);
	if (!net_name_ok(argv[optind]))
		usage_why(USAGE, "%s: not a station's name", argv[optind]);
	o.name = argv[optind];
	return o;
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Opts o = options(argc, argv);
	signal(SIGPIPE, SIG_IGN);  // a reader gone shows as a failed write
	for (int sig : {SIGTERM, SIGINT, SIGHUP})
		signal(sig, on_signal);
	natsConnection *nc = net_connect(o.addr, false);
	std::string subject = NET_FRAMES + o.name;
	natsSubscription *sub = nullptr;
	natsStatus s = natsConnection_SubscribeSync(&sub, nc, subject.c_str());
	if (s == NATS_OK)
		s = natsSubscription_SetPendingLimits(sub, 1000, 16 << 20);
	if (s == NATS_OK)
		s = natsConnection_FlushTimeout(nc, 5000);
	if (s != NATS_OK)
		die("cannot subscribe to %s: %s", subject.c_str(), net_error(s).c_str());
	SkipNote bad("messages that are not one record of a real time from the station");
	int status = 0;
	while (!ending) {
		natsMsg *m = nullptr;
		s = natsSubscription_NextMsg(&m, sub, 500);
		if (s == NATS_TIMEOUT || s == NATS_SLOW_CONSUMER)
			continue;
		if (s != NATS_OK) {
			warn("cannot receive: %s", net_error(s).c_str());
			status = 1;
			break;
		}
		const char *data = natsMsg_GetData(m);
		int n = natsMsg_GetDataLength(m);
		if (strcmp(natsMsg_GetSubject(m), subject.c_str()) != 0 || !net_record_ok(data, n))
			bad.add(st_clock_ms());
		else if (fwrite(data, 1, n, stdout) != (size_t)n || fflush(stdout) != 0) {
			natsMsg_Destroy(m);
			if (errno != EPIPE)
				warn("cannot write the records:");
			status = errno == EPIPE ? 0 : 1;
			break;
		}
		natsMsg_Destroy(m);
	}
	bad.finish();
	int64_t lost = 0;
	if (natsSubscription_GetDropped(sub, &lost) == NATS_OK && lost > 0)
		warn("%lld frames lost: this reader was too slow", (long long)lost);
	natsSubscription_Destroy(sub);
	natsConnection_Destroy(nc);
	if (ending) {
		signal(ending, SIG_DFL);
		raise(ending);
	}
	return status;
}
