// The burst detector: frames in, events out, no input or output of its own. Each frame's 900
// points are summed over both channels into bins of four points (0.12 MHz); a background per
// bin is learnt from the recent past where the bin is quiet, and a step of the whole band
// (a gain change) is taken into it at once. Bins well above their background join runs across
// frequency, runs join tracks across time, and a track that lasts becomes an event, measured
// (span, peak, band, drift from when each frequency was brightest) and named by its shape;
// one too narrow or rising like a sounder is named as interference instead.
#pragma once

#include <memory>
#include <vector>

enum EvKind { EV_III, EV_II, EV_CONT, EV_SPIKE, EV_OTHER, EV_FAULT, EV_CARRIER, EV_SOUNDER };

// "III", "II", "CONT", "SPIKE", "OTHER", "FAULT", "CARRIER" or "SOUNDER".
const char *ev_kind_name(int kind);

// A burst: III, II, CONT or OTHER. SPIKE and FAULT are reported but are not bursts; CARRIER
// (lit for a while in a band narrower than an event's, as carriers fading in and out are) and
// SOUNDER (a narrow line rising in frequency at a steady rate) are interference, told apart
// for those who ask (ev_is_interference).
bool ev_is_burst(int kind);
bool ev_is_interference(int kind);

struct EvParams {
	double threshold = 3.0;  // dB above the background for a bin to count as lit
	double min_mhz = 2.0;    // least width of a lit run for it to be part of an event
	double sure = 1.5;       // seconds a track must last (lit in three frames) to be an event
};

// What makes a burst a burst here, beyond the parameters: each bin's threshold is at least 2.5
// times its own flicker (how far it moves from one frame to the next, a running upper percentile
// that climbs in a minute where carriers fade in and out and comes down over minutes), so a
// band this station has seen lit again and again must rise further; an event covers at least
// EV_EXTENT_MHZ over its life; a narrow line rising steadily is a sounder, not the Sun.
constexpr double EV_EXTENT_MHZ = 5.0;

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
