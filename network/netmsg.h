// What the stations and the network job say to each other through the broker, checked in this
// one place: the subjects (the contract), a frame message, a burst message, a status message,
// and the matching of bursts seen by several stations into the network's bursts. No network code
// here: everything arriving is bytes, hostile until checked; what fails a check is dropped and
// counted by the caller, never trusted.
//
// Subjects (NAME: a station's name, net_name_ok):
//   spectrum.frames.NAME    one stream record (3617 bytes) per message, core messages, may be lost
//   spectrum.bursts.NAME    one ended burst, JSON, in the stream BURSTS (spectrum.bursts.>),
//                           message id NAME-START-ID so that a repeat is dropped
//   spectrum.status.NAME    the station's status, JSON, in the stream STATUS (last one per subject)
//   spectrum.network.bursts the network's bursts, JSON, as net-bursts lists them
#pragma once

#include <algorithm>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

inline constexpr const char NET_FRAMES[] = "spectrum.frames.";
inline constexpr const char NET_BURSTS[] = "spectrum.bursts.";
inline constexpr const char NET_STATUS[] = "spectrum.status.";
inline constexpr const char NET_NETWORK[] = "spectrum.network.bursts";
inline constexpr const char NET_BURST_STREAM[] = "BURSTS";
inline constexpr const char NET_STATUS_STREAM[] = "STATUS";
enum { NET_MAX_JSON = 4096 };  // a burst or status message longer than this is refused

// A station's name that is also one subject token or a few: station_name_ok's, with no empty
// token ("A." or "A..B" would make no subject).
bool net_name_ok(const char *name);

// The station a subject names after the prefix, or "" if the subject is not the prefix and a
// station's name.
std::string net_subject_station(const char *subject, const char *prefix);

// A frame message: exactly one record whose stamp is 16 digits of a real time, then its NUL.
bool net_record_ok(const void *data, size_t n);

// One burst as a station publishes it.
struct NetBurst {
	std::string station, kind;  // kind: III, II, CTM... as ev_kind_name gives it
	std::string start_stamp, end_stamp;
	long long start = 0, end = 0;  // hundredths of a second, as fr_stamp_time reads the stamps
	double f_lo = 0, f_hi = 0;     // MHz
	long id = 0;
	bool burst = false;            // a burst kind (III, II, CONT, OTHER): interference never counts
};

// The message a station sends for a burst: ev_json's object with "station" added.
std::string net_burst_json(const std::string &ev_json, const std::string &station);

// Parses and checks a burst message from the subject's station: a JSON object of at most
// NET_MAX_JSON bytes with a known kind, start and end stamps that are real times (end not
// before start, less than a day apart), 0 <= f_lo <= f_hi <= 1000, a whole id, and "station"
// the subject's. Returns "" and fills b, or why it was refused.
std::string net_burst_parse(const char *data, size_t n, const std::string &station, NetBurst &b);

// Checks a status message from the subject's station: a JSON object of at most NET_MAX_JSON
// bytes whose "station" is the subject's. Returns "" or why it was refused.
std::string net_status_check(const char *data, size_t n, const std::string &station);

// One burst of the network: the stations that saw it, its kind (the most common among them,
// the earliest first), span and band (all of theirs together).
struct NetGroup {
	std::string kind, start_stamp, end_stamp;
	long long start = 0, end = 0;
	double f_lo = 0, f_hi = 0;
	std::vector<std::string> stations;  // sorted, each once
	std::vector<long> tokens;           // the caller's handles of its bursts, to acknowledge
};

// The network's list line: "YYYYMMDD<tab>HH:MM-HH:MM<tab>KIND<tab>S1,S2,..." (a continuum CTM).
std::string net_group_line(const NetGroup &g);
// Its JSON object: kind, start, end (16-digit stamps), f_lo, f_hi, stations.
std::string net_group_json(const NetGroup &g);

// The matching: bursts are taken as they arrive; two bursts join when their spans, each widened
// by the window, overlap and their bands overlap. A set of joined bursts seen by at least `k`
// stations is a network burst, settled (to be listed, naming the stations whose bursts have
// joined it by then) `hold` milliseconds of arrival time after its k-th station's burst; a set of
// fewer stations waits for its partners longer, `alone` milliseconds (at least the hold) since
// its last, and is then settled without a line. Every
// settled burst's token is given back to be acknowledged. A network burst settled is remembered
// for `alone`: a burst arriving that late that would join it is not taken (its line is out).
class NetMatch {
public:
	NetMatch(int k, long long window_centis, long long hold_ms, long long alone_ms = 0)
		: k_(k), window_(window_centis), hold_(hold_ms), alone_(std::max(hold_ms, alone_ms)) {}
	// Takes a checked burst (interference is the caller's to acknowledge at once). Returns false
	// if the same burst (station, start, id) is already held (a repeat), or if it would join a
	// network burst settled less than `alone` ago (late): either is to be acknowledged.
	bool add(const NetBurst &b, long token, long long now_ms);
	// The sets settled by now: network bursts into out, the tokens of every settled burst
	// (listed or not) into done.
	void settle(long long now_ms, std::vector<NetGroup> &out, std::vector<long> &done);
	size_t held() const { return bursts_.size(); }

private:
	struct Held {
		NetBurst b;
		long token;
		int set;
	};
	struct Listed {
		long long start, end;
		double f_lo, f_hi;
		long long at_ms;  // when settled
	};
	int k_;
	long long window_, hold_, alone_;
	int next_set_ = 0;
	std::vector<Held> bursts_;
	std::map<int, long long> last_;     // set -> arrival time of its last burst
	std::map<int, long long> reached_;  // set -> arrival time of its k-th station's burst
	std::vector<Listed> listed_;     // network bursts settled less than alone_ ago
	bool joins(const NetBurst &b, long long start, long long end, double f_lo, double f_hi) const;
};
