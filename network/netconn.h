// The broker, as every network program meets it: the address (-s URL, else NATS_URL, else
// nats://127.0.0.1:4222; a user and password may be in the URL), the credentials file (--creds
// FILE), the certificate authority of a broker reached over TLS (--tlsca FILE, with a tls:// URL),
// the connection made with the client library, and the streams the network keeps.
#pragma once

#include <getopt.h>
#include <nats/nats.h>
#include <string>

struct NetAddr {
	std::string url;    // "" until given: NATS_URL or the default then
	std::string creds;  // a credentials file, or ""
	std::string ca;     // the certificate authority's file (TLS), or ""
};

// The long options every network program takes, for its getopt_long table, and their parsing
// (with -s URL): true when the option was one of these and its value is taken.
#define NET_LONG_OPTIONS {"creds", required_argument, nullptr, 'C'}, {"tlsca", required_argument, nullptr, 'T'}
bool net_addr_option(int c, const char *arg, NetAddr &a);

// The URL to use: the option, NATS_URL, or the default.
std::string net_url(const NetAddr &a);

// The connection. With keep_trying, a broker away at the start is no failure: the library goes
// on trying in the background for ever (the station's way); without, a broker that cannot be
// reached is a start-up failure (dies naming the URL and the cause). Every connection tries
// again for ever once it was made.
natsConnection *net_connect(const NetAddr &a, bool keep_trying);

// The streams: BURSTS (spectrum.bursts.>, kept 30 days, repeats dropped within an hour) and
// STATUS (spectrum.status.>, the last message of each subject). Made if missing; a stream that is
// there is left as it is. Returns "" or why it could not be made (not allowed, no JetStream).
std::string net_burst_stream(jsCtx *js, int replicas = 1);
std::string net_status_stream(jsCtx *js);

// The client library's text for a status, with the JetStream error code when there is one.
std::string net_error(natsStatus s, jsErrCode jerr = (jsErrCode)0);
