// The burst detector (see detect.h). Everything it holds is fixed in size: the background and
// excess of each bin, and a fixed number of tracks each with a per-bin record of its excess
// over time, so memory stays flat however long the stream.
#include "detect.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "frame.h"

namespace {

constexpr int BIN = 4;                    // points per bin
constexpr int NB = FR_POINTS / BIN;       // bins
constexpr double BIN_MHZ = BIN * FR_FREQ_STEP;
constexpr int MAXTRACKS = 16;
constexpr int MAXRUNS = NB / 2 + 1;
constexpr long long LEARN = 1000;         // hundredths: a fresh background is learnt this long
constexpr long long GAP = 3000;           // a pause in the stream this long starts afresh
constexpr long long GRACE = 300;          // a track unseen this long is over
constexpr long long KEEP = 1000;          // and one seen only under another's run this long
constexpr long long LONGEST = 4 * 360000; // an event is cut after four hours
constexpr long long BROAD_SURE = 300;     // broadband from its start: an event only this long
constexpr long long SETTLED = 1000;       // a track this old has its own level: a sudden rise over it is another burst
constexpr float FRESH = 4.0f;             // dB a bin must stand over the settled track's own level for that
constexpr double LEVEL_TAU = 10.0;        // seconds: how fast a track's own level follows
constexpr double TAU = 120.0;             // seconds: how fast the background follows
constexpr double STEP_DB = 1.0;           // least whole-band step taken as a gain change
constexpr long long STEP_SURE = 150;      // a step must hold this long (four frames at 2/s)
constexpr float JIT_CLIP = 6.0f;          // dB: a larger jump from one frame to the next counts as this
constexpr float JIT_UP = 0.05f;           // dB a frame a bin's flicker rises by when a jump exceeds it
constexpr float JIT_DOWN = 0.01f;         // and falls by when one does not: it settles near the 83rd percentile
constexpr float JIT_K = 2.5f;             // a bin's threshold is at least this many times its flicker
constexpr double MAX_DRIFT = 50;          // MHz/s: the band in about one frame; faster is no drift seen
constexpr double SOUNDER_DRIFT = 0.02;    // MHz/s: a narrow track rising at least this fast (and
constexpr double SOUNDER_SECONDS = 10;    // lasting this long) is a sounder's chirp
constexpr double SOUNDER_MHZ = 3.0;       // its band at any one time being at most this wide

struct Run { int lo, hi; bool wide; };  // wide: at least min_mhz, so it may start a track

struct Track {
	bool used = false, declared = false;
	bool inner = false;         // born on top of a settled track: its own event only if a type III
	bool broad = false;         // every frame so far lit across the band: interference until it lasts
	long id = 0;
	long long born = 0, last_seen = 0, last_own = 0, peak_t = 0;  // seen: by its own run or another's
	int frames = 0, lo = 0, hi = 0, last_lo = 0, last_hi = 0;
	long own_frames = 0, own_bins = 0;  // frames lit by its own run, and the bins of those runs
	long long seen_at = -1;     // the frame that last counted in frames
	double peak_db = 0;
	float best[NB];             // the highest excess of each bin while in this track
	float lev[NB];              // each bin's recent excess in this track: a burst on top rises over it
	double sw[NB], swt[NB];     // each bin's excess over the threshold, summed, and times its time
};

double bin_mhz(int b) { return fr_freq(BIN * b) + (BIN - 1) * FR_FREQ_STEP / 2; }

}  // namespace

const char *ev_kind_name(int kind)
{
	static const char *names[] = {"III", "II", "CONT", "SPIKE", "OTHER", "FAULT", "CARRIER", "SOUNDER"};
	return kind >= 0 && kind <= EV_SOUNDER ? names[kind] : "OTHER";
}

bool ev_is_burst(int kind) { return kind == EV_III || kind == EV_II || kind == EV_CONT || kind == EV_OTHER; }
bool ev_is_interference(int kind) { return kind == EV_CARRIER || kind == EV_SOUNDER; }

struct EvDetector::State {
	EvParams p;
	EvCounts counts;
	std::vector<EvEvent> out;
	bool have_bg = false;
	long long last_t = -1, learn_until = 0, frame_dt = 50;
	long learn_n = 0;
	float level[NB], bg[NB], e[NB], prev_e[NB], work[NB];
	float prev_level[NB], jit[NB], thr[NB];  // each bin's flicker from frame to frame, and its threshold
	bool lit[NB], quiet[NB], inner[NB];  // inner: over a settled track's own level, another burst's
	// A whole-band step waiting to be sure of.
	bool pending = false;
	long long pend_start = 0;
	int pend_n = 0;
	double pend_sum = 0, m_prev = 0;
	// A receiver fault in progress.
	bool in_fault = false;
	long long fault_start = 0, fault_end = 0;
	// Broadband runs not matching a track: a spike if they last no more than two frames.
	bool spiking = false;
	long long spike_start = 0, spike_last = 0, spike_peak_t = 0;
	int spike_n = 0;
	double spike_peak = 0;
	long next_id = 0;
	Run runs[MAXRUNS];
	int nruns = 0;
	Track tracks[MAXTRACKS];

	void frame(long long t, const unsigned char *payload);
	void end_fault();
	void gain(long long t);
	void find_runs();
	void assign(long long t);
	void touch(Track &k, int a, int b, long long t, bool own, const bool *skip = nullptr);
	void follow(long long t);
	bool onsets(const Run &run, int settled, long long t);
	void spike(const Run &run, long long t);
	void end_spike(long long t, bool all);
	Track *new_track(const Run &run, long long t);
	void declare(long long t);
	void close(long long t, bool all);
	EvEvent figures(const Track &k, int state) const;
	double drift(const Track &k) const;
	int kind(const Track &k, double drift) const;
};

EvDetector::EvDetector(const EvParams &p) : s(new State) { s->p = p; }
EvDetector::~EvDetector() = default;
const EvCounts &EvDetector::counts() const { return s->counts; }

const std::vector<EvEvent> &EvDetector::feed(long long centis, const unsigned char *payload)
{
	s->out.clear();
	if (s->last_t >= 0 && centis <= s->last_t) {
		s->counts.skipped++;
		return s->out;
	}
	s->counts.frames++;
	s->frame(centis, payload);
	return s->out;
}

const std::vector<EvEvent> &EvDetector::finish()
{
	s->out.clear();
	s->end_fault();
	s->end_spike(s->last_t, true);
	s->close(s->last_t, true);
	return s->out;
}

void EvDetector::State::end_fault()
{
	if (!in_fault)
		return;
	in_fault = false;
	EvEvent ev{EV_ENDED, EV_FAULT, ++next_id, fault_start, fault_end, fault_start,
		   fr_freq(0), fr_freq(FR_POINTS - 1), 0.0, 0.0};
	out.push_back(ev);
}

void EvDetector::State::frame(long long t, const unsigned char *payload)
{
	// Each bin's level in dB, and how many values are stuck at either end of the scale.
	int stuck = 0;
	for (int b = 0; b < NB; b++) {
		const unsigned char *q = payload + 4 * BIN * b;
		unsigned sum = 0;
		for (int i = 0; i < 2 * BIN; i++) {
			unsigned v = fr_le16(q + 2 * i);
			sum += v;
			stuck += v == 0 || v == 65535;
		}
		level[b] = (float)(sum / (100.0 * 2 * BIN));
	}
	if (stuck * 10 >= FR_POINTS * FR_CHANNELS * 9) {  // a receiver fault
		counts.faults++;
		if (!in_fault)
			fault_start = t;
		in_fault = true;
		fault_end = t;
		last_t = t;
		return;
	}
	end_fault();
	if (last_t >= 0 && t - last_t < GAP)
		frame_dt = t - last_t;
	if (!have_bg || t - last_t >= GAP) {  // the first frame, or the first after a pause
		close(t, true);
		memcpy(bg, level, sizeof bg);
		memcpy(prev_level, level, sizeof prev_level);
		memset(prev_e, 0, sizeof prev_e);
		memset(jit, 0, sizeof jit);
		have_bg = true;
		learn_n = 1;
		learn_until = t + LEARN;
		pending = false;
		last_t = t;
		return;
	}
	long long dt = t - last_t;
	last_t = t;
	if (t < learn_until) {
		learn_n++;
		for (int b = 0; b < NB; b++) {
			bg[b] += (level[b] - bg[b]) / (float)learn_n;
			jit[b] += (std::min(std::fabs(level[b] - prev_level[b]), JIT_CLIP) - jit[b]) / (float)(learn_n - 1);
		}
		memcpy(prev_level, level, sizeof prev_level);
		return;
	}
	// Each bin's flicker (how far it moves from one frame to the next) as a running upper
	// percentile, whatever is lit: it climbs within a minute where carriers fade in and out and
	// comes down over minutes, and the few big steps of a burst move it little. It sets the
	// bin's threshold, so a band lit again and again must rise further than a clean one.
	float step = (float)std::min(4.0, dt / 50.0);
	for (int b = 0; b < NB; b++) {
		jit[b] = std::max(0.0f, jit[b] + (std::fabs(level[b] - prev_level[b]) > jit[b] ? JIT_UP : -JIT_DOWN) * step);
		thr[b] = std::max((float)p.threshold, JIT_K * jit[b]);
	}
	memcpy(prev_level, level, sizeof prev_level);
	for (int b = 0; b < NB; b++)
		e[b] = level[b] - bg[b];
	gain(t);
	for (int b = 0; b < NB; b++)
		lit[b] = e[b] > thr[b];
	find_runs();
	assign(t);
	// The background follows slowly where nothing is lit.
	float a = (float)std::min(1.0, dt / 100.0 / TAU);
	for (int b = 0; b < NB; b++)
		if (quiet[b])
			bg[b] += a * e[b];
	end_spike(t, false);
	declare(t);
	close(t, false);
	memcpy(prev_e, e, sizeof e);
}

// A step of the whole band, flat across it, that came at once and holds for a second, is the
// receiver's gain: it moves the background, and what it lit in the meantime is forgotten.
void EvDetector::State::gain(long long t)
{
	// The median of every third bin: as good a level for the band, at a third of the cost.
	int n = 0;
	for (int b = 1; b < NB; b += 3)
		work[n++] = e[b];
	std::nth_element(work, work + n / 2, work + n);
	double m = work[n / 2];
	int flat = 0;
	for (int b = 0; b < NB; b++)
		flat += std::fabs(e[b] - m) < 1.5;
	bool step = std::fabs(m) >= STEP_DB && flat * 10 >= NB * 6;
	if (pending && (!step || std::fabs(m - pend_sum / pend_n) > 1.0))
		pending = false;
	else if (pending) {
		pend_n++;
		pend_sum += m;
		if (t - pend_start >= STEP_SURE && pend_n >= 4) {
			float shift = (float)(pend_sum / pend_n);
			for (int b = 0; b < NB; b++) {
				bg[b] += shift;
				e[b] -= shift;
				prev_e[b] -= shift;
			}
			for (Track &k : tracks)
				if (k.used && !k.declared && k.born >= pend_start - frame_dt)
					k.used = false;
			counts.gain_steps++;
			pending = false;
		}
	}
	if (!pending && step && std::fabs(m - m_prev) >= 0.7 * std::fabs(m)) {
		pending = true;
		pend_start = t;
		pend_n = 1;
		pend_sum = m;
	}
	m_prev = m;
}

// Lit bins, less carriers (lit while they are on), joined across gaps of up to
// three bins into runs; those at least min_mhz wide may start a track, those half as wide may
// only go on with one (an event fading at its end).
void EvDetector::State::find_runs()
{
	nruns = 0;
	for (int b = 0; b < NB; b++)
		quiet[b] = !lit[b];
	int lo = -1, last = -1, n = 0;
	auto flush = [&] {
		double mhz = (last - lo + 1) * BIN_MHZ;
		if (lo >= 0 && mhz >= p.min_mhz / 2 && n * 2 >= last - lo + 1 && nruns < MAXRUNS) {
			runs[nruns++] = {lo, last, mhz >= p.min_mhz};
			for (int i = lo; i <= last; i++)
				quiet[i] = false;
		}
		lo = -1, n = 0;
	};
	for (int b = 0; b < NB; b++) {
		// A carrier: lit alone, or standing well above the bins two away on either side.
		float l = b >= 2 ? e[b - 2] : -1e9f, r = b + 2 < NB ? e[b + 2] : -1e9f;
		bool alone = !(b >= 2 && lit[b - 2]) && !(b + 2 < NB && lit[b + 2]);
		bool on = lit[b] && !alone && e[b] - std::max(l, r) < 6.0f;
		if (!on)
			continue;
		if (lo >= 0 && b - last > 4)
			flush();
		if (lo < 0)
			lo = b;
		last = b;
		n++;
	}
	flush();
}

// A track seen in bins a to b: by its own run (own), or kept alive by another's. Bins in skip
// belong to a burst on top of it and count for neither its band nor its figures.
void EvDetector::State::touch(Track &k, int a, int b, long long t, bool own, const bool *skip)
{
	if (k.seen_at != t) {
		k.frames++;
		k.seen_at = t;
		if (own)
			k.last_lo = a, k.last_hi = b;
	} else if (own) {
		k.last_lo = std::min(k.last_lo, a);
		k.last_hi = std::max(k.last_hi, b);
	}
	k.last_seen = t;
	if (skip) {  // it goes on under the burst on top; its band is what is its own
		while (a <= b && skip[a])
			a++;
		while (b >= a && skip[b])
			b--;
		if (a > b)
			return;
	}
	k.lo = std::min(k.lo, a);
	k.hi = std::max(k.hi, b);
	if (!own)
		return;  // kept alive by another's run: its levels are not this track's
	if (k.last_own != t || k.own_frames == 0)
		k.own_frames++;
	k.own_bins += b - a + 1;
	k.last_own = t;
	k.broad = k.broad && (b - a + 1) * 10 >= NB * 8;
	float thr = (float)p.threshold, follow = (float)std::min(1.0, frame_dt / 100.0 / LEVEL_TAU);
	for (int i = a; i <= b; i++) {
		if (skip && skip[i])
			continue;
		k.lev[i] = k.lev[i] < -1e8f ? e[i] : k.lev[i] + follow * (e[i] - k.lev[i]);
		k.best[i] = std::max(k.best[i], e[i]);
		if (e[i] > thr) {
			k.sw[i] += e[i] - thr;
			k.swt[i] += (e[i] - thr) * ((t - k.born) / 100.0);
		}
		if (e[i] > k.peak_db) {
			k.peak_db = e[i];
			k.peak_t = t;
		}
	}
}

// Each run goes to the track whose last band it matches best (overlap over union, the band
// widened by a megahertz); a track whose band the run covers is kept alive by it too, so that
// a burst crossing a longer one does not cut it. A run that matches none starts a track.
void EvDetector::State::assign(long long t)
{
	const int margin = 8;
	for (int r = 0; r < nruns; r++) {
		const Run &run = runs[r];
		int bestk = -1;
		double bests = 0.25;
		for (int i = 0; i < MAXTRACKS; i++) {
			const Track &k = tracks[i];
			if (!k.used)
				continue;
			int lo = k.last_lo - margin, hi = k.last_hi + margin;
			int ov = std::min(hi, run.hi) - std::max(lo, run.lo) + 1;
			if (ov <= 0)
				continue;
			double score = (double)ov / (std::max(hi, run.hi) - std::min(lo, run.lo) + 1);
			if (score > bests)
				bests = score, bestk = i;
		}
		// A settled track that the run matches well keeps it against a young one, and against
		// one born on top of it: what rose on top is taken out for that one by onsets().
		if (bestk >= 0 && (t - tracks[bestk].born <= SETTLED || tracks[bestk].inner))
			for (int i = 0; i < MAXTRACKS; i++) {
				const Track &k = tracks[i];
				if (!k.used || t - k.born <= SETTLED || k.inner)
					continue;
				int lo = k.last_lo - margin, hi = k.last_hi + margin;
				int ov = std::min(hi, run.hi) - std::max(lo, run.lo) + 1;
				double score = ov <= 0 ? 0 : (double)ov / (std::max(hi, run.hi) - std::min(lo, run.lo) + 1);
				if (score >= 0.5 * bests && score >= 0.3)
					bestk = i, bests = std::max(bests, score);
			}
		for (int i = 0; i < MAXTRACKS; i++) {
			Track &k = tracks[i];
			if (k.used && i != bestk && run.lo <= k.last_lo && run.hi >= k.last_hi)
				touch(k, k.last_lo, k.last_hi, t, false);
		}
		bool broad = (run.hi - run.lo + 1) * 10 >= NB * 8;
		Track *k = bestk >= 0 ? &tracks[bestk] : nullptr;
		int w = run.hi - run.lo + 1, kw = k ? k->last_hi - k->last_lo + 1 : 0;
		if (k && ((broad && t - k->born > 200 && 2 * w > 3 * kw) || (t - k->born > 1000 && w > 2 * kw + 16))) {
			// A settled track does not widen at once: a spike or a new burst over it.
			touch(*k, k->last_lo, k->last_hi, t, false);
			if (broad)
				spike(run, t);
			else if (run.wide)
				new_track(run, t);
			continue;
		}
		if (bestk >= 0 && (bests >= 0.3 || !broad)) {
			if (t - tracks[bestk].born > SETTLED && onsets(run, bestk, t))
				touch(tracks[bestk], run.lo, run.hi, t, true, inner);
			else
				touch(tracks[bestk], run.lo, run.hi, t, true);
			continue;
		}
		if (broad)
			spike(run, t);
		else if (run.wide)
			new_track(run, t);
	}
}

// Within the run of a settled track (a continuum, a slow-drift band), bins that stand FRESH or
// more over the track's own recent level across at least min_mhz are another burst: they go
// to the young track whose band lies above or on them (a burst drifting down) or start one,
// and are marked inner, so that the settled track's band and figures leave them out. Returns
// whether any were found.
bool EvDetector::State::onsets(const Run &run, int settled, long long t)
{
	const Track &s = tracks[settled];
	bool any = false;
	int lo = -1, last = -1, n = 0;
	auto flush = [&] {
		if (lo >= 0 && (last - lo + 1) * BIN_MHZ >= p.min_mhz && n * 2 >= last - lo + 1) {
			any = true;
			for (int i = lo; i <= last; i++)
				inner[i] = true;
			for (int i = 0; i < MAXTRACKS; i++) {
				Track &k = tracks[i];
				if (k.used && i != settled && t - k.born <= SETTLED && t - k.last_own <= 2 * frame_dt &&
				    last >= k.last_lo - 82 && lo <= k.last_hi + 8) {
					touch(k, lo, last, t, true);
					lo = -1;
					break;
				}
			}
			if (lo >= 0)
				if (Track *k = new_track({lo, last, true}, t))
					k->inner = true;
		}
		lo = -1, n = 0;
	};
	for (int b = run.lo; b <= run.hi; b++)
		inner[b] = false;
	for (int b = run.lo; b <= run.hi; b++) {
		if (!(lit[b] && s.lev[b] > -1e8f && e[b] - s.lev[b] >= FRESH))
			continue;
		if (lo >= 0 && b - last > 4)
			flush();
		if (lo < 0)
			lo = b;
		last = b;
		n++;
	}
	flush();
	return any;
}

Track *EvDetector::State::new_track(const Run &run, long long t)
{
	for (Track &k : tracks) {
		if (k.used)
			continue;
		k.used = true;
		k.declared = k.inner = false;
		k.broad = true;
		k.id = 0;
		k.born = k.last_seen = k.last_own = k.peak_t = t;
		k.frames = 0;
		k.own_frames = k.own_bins = 0;
		k.seen_at = -1;
		k.lo = run.lo, k.hi = run.hi, k.last_lo = run.lo, k.last_hi = run.hi;
		k.peak_db = 0;
		for (int b = 0; b < NB; b++)
			k.best[b] = k.lev[b] = -1e9f, k.sw[b] = k.swt[b] = 0;
		touch(k, run.lo, run.hi, t, true);
		return &k;
	}
	return nullptr;
}

// A broadband run that no track claims: a spike while it lasts at most two frames in a row,
// then the start of a track after all.
void EvDetector::State::spike(const Run &run, long long t)
{
	if (spiking && spike_last != t - frame_dt)
		end_spike(t, true);
	if (!spiking) {
		spiking = true;
		spike_start = t;
		spike_n = 0;
		spike_peak = -1e9;
	}
	spike_last = t;
	spike_n++;
	for (int b = run.lo; b <= run.hi; b++)
		if (e[b] > spike_peak)
			spike_peak = e[b], spike_peak_t = t;
	if (spike_n < 3)
		return;
	spiking = false;
	if (Track *k = new_track(run, t)) {
		k->born = spike_start;
		k->frames = spike_n;
	}
}

void EvDetector::State::end_spike(long long t, bool all)
{
	if (!spiking || (!all && spike_last == t))
		return;
	spiking = false;
	EvEvent ev{EV_ENDED, EV_SPIKE, ++next_id, spike_start, spike_last, spike_peak_t,
		   fr_freq(0), fr_freq(FR_POINTS - 1), spike_peak, 0.0};
	out.push_back(ev);
}

void EvDetector::State::declare(long long t)
{
	for (Track &k : tracks) {
		if (!k.used || k.declared || k.inner || k.last_own != t || t - k.born < llround(p.sure * 100) || k.frames < 3)
			continue;
		if ((k.hi - k.lo + 1) * BIN_MHZ < EV_EXTENT_MHZ)
			continue;
		if (pending && k.born >= pend_start - frame_dt)
			continue;  // it may yet be a gain step
		if (k.broad && t - k.born < BROAD_SURE)
			continue;  // it may yet be a cluster of spikes
		bool within = false;  // an older event's band covers it: that event's own structure
		for (const Track &h : tracks)
			within = within || (&h != &k && h.used && h.declared && h.born < k.born && k.lo >= h.lo - 8 && k.hi <= h.hi + 8);
		if (within) {
			k.inner = true;
			continue;
		}
		k.declared = true;
		k.id = ++next_id;
		out.push_back(figures(k, EV_STARTED));
	}
}

void EvDetector::State::close(long long t, bool all)
{
	for (Track &k : tracks) {
		if (!k.used || (!all && t - k.last_seen <= GRACE && t - k.last_own <= KEEP && t - k.born < LONGEST))
			continue;
		k.used = false;
		if (k.declared)
			out.push_back(figures(k, EV_ENDED));
		else if (k.broad) {
			k.id = ++next_id;
			EvEvent ev = figures(k, EV_ENDED);
			ev.kind = EV_SPIKE;
			ev.drift = 0;
			out.push_back(ev);
		} else if (k.last_own - k.born >= llround(p.sure * 100) && k.frames >= 3) {
			// On top of another: a type III is itself, anything else the other's own structure.
			// Otherwise lit long enough but never an event: interference, for those who ask.
			EvEvent ev = figures(k, EV_ENDED);
			bool iii = k.inner && ev.kind == EV_III && ev.drift < 0 && (k.hi - k.lo + 1) * BIN_MHZ >= EV_EXTENT_MHZ;
			if (!iii && (k.inner || !ev_is_interference(ev.kind)))
				continue;
			k.id = ev.id = ++next_id;
			if (iii) {
				out.push_back(ev);
				out.back().state = EV_STARTED;
			}
			out.push_back(ev);
		}
	}
}

// The drift is read from when each frequency was brightest (the centre of its excess in time,
// which frames far apart still place well): a straight line through (time, frequency)
// of the bins that were lit, its slope taken as the ratio of the spreads (a fit that treats
// both alike), and only if the points do lie near a line.
double EvDetector::State::drift(const Track &k) const
{
	double n = 0, st = 0, sf = 0, stt = 0, sff = 0, stf = 0;
	for (int b = k.lo; b <= k.hi; b++) {
		if (!(k.best[b] > p.threshold))
			continue;
		if (k.sw[b] <= 0)
			continue;
		double tt = k.swt[b] / k.sw[b];
		double f = bin_mhz(b);
		n++, st += tt, sf += f, stt += tt * tt, sff += f * f, stf += tt * f;
	}
	if (n < 8)
		return 0;
	double vt = stt / n - (st / n) * (st / n), vf = sff / n - (sf / n) * (sf / n);
	double cov = stf / n - (st / n) * (sf / n);
	if (vt < 1e-6 || vf < 1e-9 || std::fabs(cov) < 0.7 * std::sqrt(vt * vf))
		return 0;
	double d = std::copysign(std::sqrt(vf / vt), cov);
	return std::fabs(d) > MAX_DRIFT ? 0 : d;  // faster than the frames can tell: all at once
}

int EvDetector::State::kind(const Track &k, double d) const
{
	double dur = (k.last_own - k.born) / 100.0;
	double band = (k.hi - k.lo + 1) * BIN_MHZ;
	double width = k.own_frames ? (double)k.own_bins / k.own_frames * BIN_MHZ : band;
	if (d >= SOUNDER_DRIFT && d < 1.0 && dur >= SOUNDER_SECONDS && width <= SOUNDER_MHZ)
		return EV_SOUNDER;
	if (band < EV_EXTENT_MHZ)
		return EV_CARRIER;
	if (std::fabs(d) >= 1.0)
		return EV_III;
	if (dur >= 20 && std::fabs(d) >= 0.01)
		return EV_II;
	if (dur >= 20 && band >= 5)
		return EV_CONT;
	return EV_OTHER;
}

EvEvent EvDetector::State::figures(const Track &k, int state) const
{
	double d = drift(k);
	EvEvent ev{state, kind(k, d), k.id, k.born, k.last_own, k.peak_t,
		   fr_freq(BIN * k.lo), fr_freq(BIN * k.hi + BIN - 1), k.peak_db, d};
	return ev;
}
