// The bursts pipe-web marks on its page, apart from the network: the burst detector fed with
// the records the server takes, each event that starts or ends turned into one small JSON text
// message for the viewers, and the latest few kept for a viewer that joins. Stamps are judged by
// the stream's running time (streamtime.h) before the detector sees them, so one bad stamp costs
// one frame: one that is not a time, not after the last, or an outlier is skipped (counted, not
// said: the records themselves are served all the same), and a stray far-future stamp cannot
// stop the marks.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "detect.h"
#include "streamtime.h"

class Marks {
public:
	explicit Marks(size_t keep = 8) : keep_(keep) { time_.silence(); }
	// One record (FR_RECORD bytes; anything else is ignored): the messages it gives, in order.
	std::vector<std::string> feed(const std::string &record);
	// The latest events, oldest first, each as its last message (an end replaces a start).
	std::vector<std::string> recent() const;
	long skipped() const { return skipped_; }  // stamps refused

	// One event as the page gets it: pipe-events' JSON line with its state (event_format.h),
	// {"kind":"III","start":STAMP,"end":STAMP,"peak":STAMP,"f_lo":MHz,"f_hi":MHz,"peak_db":dB,
	// "drift":MHz/s,"id":N,"state":"start"|"end"}.
	static std::string message(const EvEvent &ev);

private:
	size_t keep_;
	EvDetector det_;
	StreamTime time_;
	long skipped_ = 0;
	std::deque<std::pair<long, std::string>> recent_;  // by id
};
