// What pipe-web's archive addresses answer (route.h), apart from the network: the pages (HTML
// made here, the pictures as <img>, no script), the pictures (draw.h over the frames the
// archive's readers give), the records of a stretch as arc-cat writes them, and the health of
// the disk and of the nightly job. Everything here reads the archive, so pipe-web runs it on its
// worker threads, never on the thread that serves the network.
#pragma once

#include <memory>
#include <string>

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

struct Site {
	Daybook book;
	Shelf shelf;
	std::string title;
	Site(const std::string &root, const std::string &cache, size_t shelf_bytes, std::string t)
		: book(root, cache), shelf(shelf_bytes), title(std::move(t))
	{
	}
};

// The answer to an archive address (r.status 200), now the local time in hundredths.
SiteReply site_answer(Site &s, const Route &r, long long now);

// Text made safe for HTML (& < > " ').
std::string site_html(const std::string &s);

// The records of a stretch, exactly as arc-cat ROOT FROM TO writes them, a batch at a time:
// frames in stamp order, each once, broken ones and unreadable directories passed over.
class RecStream {
public:
	RecStream(const std::string &root, const ArcRange &r) : batch_(root, r, true) {}
	// The next piece (about a megabyte), appended to out; false at the end.
	bool next(std::string &out);

private:
	ArcBatch batch_;
	char last_[17] = {};
};
