// The broker's address, the connection and the streams, for every network program.
#include "netconn.h"

#include <cstdlib>

#include "cli.h"

std::string net_url(const NetAddr &a)
{
	if (!a.url.empty())
		return a.url;
	const char *e = getenv("NATS_URL");
	return e && *e ? e : "nats://127.0.0.1:4222";
}

std::string net_error(natsStatus s, jsErrCode jerr)
{
	std::string m = natsStatus_GetText(s);
	if (jerr)
		m += " (JetStream error " + std::to_string((int)jerr) + ")";
	return m;
}

bool net_addr_option(int c, const char *arg, NetAddr &a)
{
	std::string *v = c == 's' ? &a.url : c == 'C' ? &a.creds : c == 'T' ? &a.ca : nullptr;
	if (!v || !arg || !*arg)
		return false;
	*v = arg;
	return true;
}

// Given to the library so that a first connection it keeps trying for is tried in the
// background: without it, the connect call itself would wait for the broker.
static void on_connected(natsConnection *, void *) {}

natsConnection *net_connect(const NetAddr &a, bool keep_trying)
{
	std::string url = net_url(a);
	natsOptions *o = nullptr;
	natsStatus s = natsOptions_Create(&o);
	if (s == NATS_OK)
		s = natsOptions_SetURL(o, url.c_str());
	if (s == NATS_OK && !a.creds.empty())
		s = natsOptions_SetUserCredentialsFromFiles(o, a.creds.c_str(), nullptr);
	if (s == NATS_OK && !a.ca.empty())
		s = natsOptions_SetSecure(o, true);
	if (s == NATS_OK && !a.ca.empty())
		s = natsOptions_LoadCATrustedCertificates(o, a.ca.c_str());
	if (s == NATS_OK)
		s = natsOptions_SetMaxReconnect(o, -1);
	if (s == NATS_OK)
		s = natsOptions_SetReconnectWait(o, 500);
	if (s == NATS_OK)
		s = natsOptions_SetTimeout(o, 2000);
	if (s == NATS_OK)
		s = natsOptions_SetPingInterval(o, 10000);
	if (s == NATS_OK && keep_trying)
		s = natsOptions_SetRetryOnFailedConnect(o, true, on_connected, nullptr);
	if (s != NATS_OK)
		die("%s: %s", url.c_str(), net_error(s).c_str());
	natsConnection *nc = nullptr;
	s = natsConnection_Connect(&nc, o);
	natsOptions_Destroy(o);
	if (s != NATS_OK && !(keep_trying && s == NATS_NOT_YET_CONNECTED))
		die("cannot connect to %s: %s", url.c_str(), net_error(s).c_str());
	return nc;
}

static std::string add_stream(jsCtx *js, jsStreamConfig &c)
{
	jsErrCode jerr = (jsErrCode)0;
	jsStreamInfo *si = nullptr;
	natsStatus s = js_GetStreamInfo(&si, js, c.Name, nullptr, &jerr);
	if (s == NATS_OK) {
		jsStreamInfo_Destroy(si);
		return "";
	}
	if (s != NATS_NOT_FOUND)
		return "cannot look up the stream " + std::string(c.Name) + ": " + net_error(s, jerr);
	s = js_AddStream(&si, js, &c, nullptr, &jerr);
	if (s == NATS_OK) {
		jsStreamInfo_Destroy(si);
		return "";
	}
	if (jerr == JSStreamNameExistErr)  // made meanwhile by another
		return "";
	return "cannot make the stream " + std::string(c.Name) + ": " + net_error(s, jerr);
}

std::string net_burst_stream(jsCtx *js, int replicas)
{
	static const char *subjects[] = {"spectrum.bursts.>"};
	jsStreamConfig c;
	jsStreamConfig_Init(&c);
	c.Name = "BURSTS";
	c.Subjects = subjects;
	c.SubjectsLen = 1;
	c.Storage = js_FileStorage;
	c.MaxAge = 30LL * 86400 * 1000000000;
	c.Duplicates = 3600LL * 1000000000;
	c.Replicas = replicas;
	return add_stream(js, c);
}

std::string net_status_stream(jsCtx *js)
{
	static const char *subjects[] = {"spectrum.status.>"};
	jsStreamConfig c;
	jsStreamConfig_Init(&c);
	c.Name = "STATUS";
	c.Subjects = subjects;
	c.SubjectsLen = 1;
	c.Storage = js_FileStorage;
	c.MaxMsgsPerSubject = 1;
	return add_stream(js, c);
}
