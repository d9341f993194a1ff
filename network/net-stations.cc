// net-stations [-s URL] [--creds FILE] [--tlsca FILE] [--json]: the stations the network has heard,
// each with its last status (from the STATUS stream, which keeps the last message of each station's
// subject), one line each in the order of their names, then exits. A status that is not a JSON
// object from its subject's station is passed over and counted.
#include <cmath>
#include <cstdio>
#include <getopt.h>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "cli.h"
#include "netconn.h"
#include "netmsg.h"

static const char USAGE[] = "usage: net-stations [-s URL] [--creds FILE] [--tlsca FILE] [--json]";
static const char HELP[] =
	"Lists the stations heard and their last status, then exits.\n"
	"  -s URL        the broker (default NATS_URL, else nats://127.0.0.1:4222)\n"
	"  --creds FILE  the user's credentials file\n"
	"  --tlsca FILE  the certificate authority of a broker reached over TLS (a tls:// URL)\n"
	"  --json        each station's status as it sent it, one JSON object per line\n"
	"Lines: NAME<tab>TIME<tab>LAST<tab>FRAMES<tab>LAT,LON,ALT<tab>DAYS_LEFT (- where not known).\n";

struct Opts {
	NetAddr addr;
	bool json = false;
};

static Opts options(int argc, char **argv)
{
	Opts o;
	static const struct option longs[] = {NET_LONG_OPTIONS,
					      {"json", no_argument, nullptr, 'j'},
					      {nullptr, 0, nullptr, 0}};
	opterr = 0;
	for (int c; (c = getopt_long(argc, argv, "s:", longs, nullptr)) != -1;) {
		if (net_addr_option(c, optarg, o.addr))
			;
		else if (c == 'j')
			o.json = true;
		else
			usage(USAGE);
	}
	if (optind != argc)
		usage(USAGE);
	return o;
}

static std::string field(const nlohmann::json &j, const char *key)
{
	auto it = j.find(key);
	if (it == j.end() || it->is_null())
		return "-";
	if (it->is_string())
		return it->get<std::string>();
	return it->dump();
}

static std::string line(const nlohmann::json &j, const std::string &station)
{
	return station + "\t" + field(j, "time") + "\t" + field(j, "last") + "\t" + field(j, "frames") + "\t" +
	       field(j, "lat") + "," + field(j, "lon") + "," + field(j, "alt") + "\t" + field(j, "days_left");
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Opts o = options(argc, argv);
	natsConnection *nc = net_connect(o.addr, false);
	jsCtx *js = nullptr;
	jsOptions jo;
	jsOptions_Init(&jo);
	jo.Wait = 5000;
	natsStatus s = natsConnection_JetStream(&js, nc, &jo);
	jsErrCode jerr = (jsErrCode)0;
	jsStreamInfo *si = nullptr;
	if (s == NATS_OK)
		s = js_GetStreamInfo(&si, js, NET_STATUS_STREAM, nullptr, &jerr);
	if (s == NATS_NOT_FOUND) {  // no station has been heard yet
		natsConnection_Destroy(nc);
		return 0;
	}
	if (s != NATS_OK)
		die("cannot read the stream %s: %s", NET_STATUS_STREAM, net_error(s, jerr).c_str());
	uint64_t msgs = si->State.Msgs;
	jsStreamInfo_Destroy(si);
	natsSubscription *sub = nullptr;
	jsSubOptions so;
	jsSubOptions_Init(&so);
	so.Stream = NET_STATUS_STREAM;
	so.Ordered = true;
	so.Config.DeliverPolicy = js_DeliverLastPerSubject;
	if (msgs && (s = js_SubscribeSync(&sub, js, "spectrum.status.>", nullptr, &so, &jerr)) != NATS_OK)
		die("cannot read the stream %s: %s", NET_STATUS_STREAM, net_error(s, jerr).c_str());
	long refused = 0;
	std::map<std::string, std::string> out;  // by name
	for (bool more = msgs > 0; more;) {
		natsMsg *m = nullptr;
		if ((s = natsSubscription_NextMsg(&m, sub, 5000)) != NATS_OK)
			die("cannot read the stream %s: %s", NET_STATUS_STREAM, net_error(s).c_str());
		jsMsgMetaData *meta = nullptr;
		more = natsMsg_GetMetaData(&meta, m) == NATS_OK && meta->NumPending > 0;
		jsMsgMetaData_Destroy(meta);
		std::string station = net_subject_station(natsMsg_GetSubject(m), NET_STATUS);
		const char *data = natsMsg_GetData(m);
		int n = natsMsg_GetDataLength(m);
		if (station.empty() || !net_status_check(data, n, station).empty())
			refused++;
		else {
			nlohmann::json j = nlohmann::json::parse(data, data + n);
			out[station] = o.json ? j.dump() : line(j, station);
		}
		natsMsg_Destroy(m);
	}
	for (auto &[station, text] : out)
		if (printf("%s\n", text.c_str()) < 0)
			die("cannot write the list:");
	if (fflush(stdout) != 0)
		die("cannot write the list:");
	if (refused)
		warn("%ld statuses refused (not a JSON object from its subject's station)", refused);
	natsSubscription_Destroy(sub);
	jsCtx_Destroy(js);
	natsConnection_Destroy(nc);
	return 0;
}
