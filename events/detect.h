// The burst detector: frames in, events out, no input or output of its own. Each frame's 900
// points are summed over both channels into bins of four points (0.12 MHz); a background per
// bin is learnt from the recent past where the bin is quiet, and a step of the whole band
// (a gain change) is taken into it at once. Bins well above their background join runs across
// frequency, runs join tracks across time, and a track that lasts becomes an event, measured
// (span, peak, band, drift from the time each frequency peaked) and named by its shape.
#pragma once

#include <memory>
#include <vector>

enum EvKind { EV_III, EV_II, EV_CONT, EV_SPIKE, EV_OTHER, EV_FAULT };

// "III", "II", "CONT", "SPIKE", "OTHER" or "FAULT".
const char *ev_kind_name(int kind);

struct EvParams {
	double threshold = 3.0;  // dB above the background for a bin to count as lit
	double min_mhz = 2.0;    // least width of a lit run for it to be part of an event
	double sure = 1.5;       // seconds a track must last (lit in three frames) to be an event
};

// What the detector says: an event seen long enough to be sure of (EV_STARTED, sent once, its
// figures so far), or one that is over (EV_ENDED, its final figures). A SPIKE (all frequencies
// for a frame or two) and a FAULT (a run of frames of 0 or 65535 across the band) are only ever
// EV_ENDED: they are reported, but they are not events.
enum EvState { EV_STARTED, EV_ENDED };

struct EvEvent {
	int state;                    // EvState
	int kind;                     // EvKind
	long id;                      // 1, 2, ... in the order the events started
	long long start, end, peak;   // hundredths of a second since 1970, as fr_stamp_time gives
	double f_lo, f_hi;            // MHz
	double peak_db;               // dB above the background at the peak
	double drift;                 // MHz/s, negative when drifting down; 0 when none was seen
};

struct EvCounts {
	long frames = 0;    // frames taken
	long skipped = 0;   // frames refused: time not after the last one's
	long faults = 0;    // frames of a receiver fault
	long gain_steps = 0;
};

class EvDetector {
public:
	explicit EvDetector(const EvParams &p = EvParams());
	~EvDetector();
	EvDetector(const EvDetector &) = delete;
	EvDetector &operator=(const EvDetector &) = delete;

	// Takes one frame: its time in hundredths of a second (strictly after the last frame's, or
	// the frame is skipped and counted) and its FR_PAYLOAD bytes. Returns what started or ended
	// with it, valid until the next call.
	const std::vector<EvEvent> &feed(long long centis, const unsigned char *payload);

	// Ends everything still open (at the end of the input) and returns it.
	const std::vector<EvEvent> &finish();

	const EvCounts &counts() const;

private:
	struct State;
	std::unique_ptr<State> s;
};
