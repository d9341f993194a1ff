// What pipe-web's archive addresses answer (route.h), apart from the network: the pages (HTML
// made here, the pictures as <img>, no script), the pictures (draw.h over the frames the
// archive's readers give), the records of a stretch as arc-cat writes them, and the health of
// the disk and of the nightly job. Everything here reads the archive, so pipe-web runs it on its
// worker threads, never on the thread that serves the network.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "daybook.h"
#include "reader.h"
#include "route.h"
#include "works.h"

enum : int {
	SITE_WIDTH = 1600,        // the spectrum pictures (a day, a stretch, a burst)
	SITE_CURVE_WIDTH = 1200,  // light curves
	SITE_BURST_S = 600,       // a burst's picture: the ten minutes around it
};

struct SiteReply {
	int status = 200;
	std::string type = "text/html; charset=utf-8";
	std::shared_ptr<const std::string> body;
	bool cached = false;  // taken from the shelf
};

// The days page never counts a past day's frames itself (a year of them would take minutes):
// it shows the summaries there are, and one thread of the Site's own counts the others, newest
// first, one at a time, for the next time the page is asked for. What it counted and could not
// keep (the cache unwritable, a problem met) is held here, by day and signature.
//
// A day not over changes with every frame net-arc writes: its summary, its bursts and the
// pictures of stretches not over are made at most once a minute (SITE_LIVE), and shown until
// the minute is out.
enum : long long { SITE_LIVE = 6000 };  // hundredths

// One thing of a day not over (its summary, its bursts), made at most once a minute.
template <class T>
struct SiteMemo {
	std::mutex m;  // held while it is made: a second asker in the same minute waits for it
	std::string day;        // the day it is of
	long long minute = -1;  // now / SITE_LIVE when it was made
	T value;
	std::string why;        // the problem met making it
};

struct SiteLive {
	SiteMemo<DaySummary> sum;
	SiteMemo<std::vector<DayBurst>> bursts;  // apart: the days page need not wait for the detector
	std::mutex drawn_m;  // held only to look up or note, never while drawing
	std::map<std::string, long long> drawn;  // a picture's key -> the minute it was drawn in
};

struct Site {
	Daybook book;
	Shelf shelf;
	std::string title;
	SiteLive live;
	std::mutex count_m;
	std::map<std::string, DaySummary> counted;  // day -> its summary, under the lock
	std::thread counter;
	bool counting = false;           // under the lock
	std::atomic<bool> ending{false};
	Site(const std::string &root, const std::string &cache, size_t shelf_bytes, std::string t)
		: book(root, cache), shelf(shelf_bytes), title(std::move(t))
	{
	}
	~Site()
	{
		ending = true;
		if (counter.joinable())
			counter.join();
	}
};

// The answer to an archive address (r.status 200), now the local time in hundredths.
SiteReply site_answer(Site &s, const Route &r, long long now);

// Text made safe for HTML (& < > " ').
std::string site_html(const std::string &s);

// A download made a piece at a time, so that it is never held whole: start() once (on a worker:
// "" or why there is nothing to send), then next() for each piece (about a megabyte, appended
// to out) until it returns false at the end.
class Pieces {
public:
	virtual ~Pieces() = default;
	virtual std::string start() { return ""; }
	virtual bool next(std::string &out) = 0;
	int fail_status = 500;  // the answer's status when start() says why not
};

// A FITS file is written whole before it is sent: it is refused (507) unless the disk it is
// written on keeps FITS_RESERVE_PCT of its size (at least FITS_RESERVE_MIN bytes) free after it.
inline constexpr long long FITS_RESERVE_MIN = 1LL << 30;
enum { FITS_RESERVE_PCT = 10 };

// The records of a stretch, exactly as arc-cat ROOT FROM TO writes them, a batch at a time:
// frames in stamp order, each once, broken ones and unreadable directories passed over.
class RecStream : public Pieces {
public:
	RecStream(const std::string &root, const ArcRange &r) : batch_(root, r, true) {}
	bool next(std::string &out) override;

private:
	ArcBatch batch_;
	char last_[17] = {};
};

// The stretch as one FITS file (fitswrite.h: channel A, channel B, the axes table; times
// converted to UTC by the host's zone, as pipe-fits does by default), written by start() into
// the cache (or TMPDIR when there is none) and removed from its directory at once, then read
// back a piece at a time; the file goes with the download.
class FitsStream : public Pieces {
public:
	FitsStream(const Site &s, const ArcRange &r) : root_(s.book.root()), tmp_(s.book.cache_error().empty() ? s.book.cache() : ""), name_(s.title), r_(r) {}
	~FitsStream() override;
	std::string start() override;
	bool next(std::string &out) override;

private:
	std::string root_, tmp_, name_;
	ArcRange r_;
	int fd_ = -1;
};
