#include "plot.h"

#include <algorithm>
#include <cstring>

#include "stats.h"

TimeBins::TimeBins(int slots) : n_(slots), v_((size_t)slots * QL_VALUES), filled_((size_t)slots) {}

void TimeBins::add(long long t, const unsigned char *payload)
{
	if (empty()) {
		origin_ = t - t % dt_;
		tmin_ = tmax_ = t;
	}
	if (t < origin_ || (t - origin_) / dt_ >= n_)
		regrow(std::min(tmin_, t), std::max(tmax_, t));
	tmin_ = std::min(tmin_, t);
	tmax_ = std::max(tmax_, t);
	size_t k = (size_t)((t - origin_) / dt_);
	uint16_t *s = &v_[k * QL_VALUES];
	if (!filled_[k]) {
		memset(s, 0, QL_VALUES * sizeof *s);
		filled_[k] = 1;
	}
	for (int p = 0; p < FR_POINTS; p++) {
		uint16_t a = (uint16_t)fr_chan_a(payload, p), b = (uint16_t)fr_chan_b(payload, p);
		s[p] = std::max(s[p], a);
		s[FR_POINTS + p] = std::max(s[FR_POINTS + p], b);
	}
}

void TimeBins::cover(long long from, long long to)
{
	long long lo = from, hi = to - 50;
	if (empty()) {
		origin_ = lo - lo % dt_;
		tmin_ = tmax_ = lo;
	}
	if (lo < origin_ || (hi - origin_) / dt_ >= n_)
		regrow(std::min(tmin_, lo), std::max(tmax_, hi));
	tmin_ = std::min(tmin_, lo);
	tmax_ = std::max(tmax_, hi);
}

// Widens the slots (by doubling) until lo to hi fits, and moves the origin to lo's slot. Old
// slots nest in new ones: every width is 50 x 2^k and every origin a multiple of its width.
void TimeBins::regrow(long long lo, long long hi)
{
	long long dt = dt_;
	while (hi / dt - lo / dt >= n_)
		dt *= 2;
	long long origin = lo - lo % dt;
	std::vector<uint16_t> v((size_t)n_ * QL_VALUES);
	std::vector<char> filled((size_t)n_);
	for (size_t j = 0; j < (size_t)n_; j++) {
		if (!filled_[j])
			continue;
		size_t k = (size_t)((origin_ + (long long)j * dt_ - origin) / dt);
		uint16_t *d = &v[k * QL_VALUES];
		const uint16_t *s = &v_[j * QL_VALUES];
		if (!filled[k])
			memcpy(d, s, QL_VALUES * sizeof *d);
		else
			for (int i = 0; i < QL_VALUES; i++)
				d[i] = std::max(d[i], s[i]);
		filled[k] = 1;
	}
	v_.swap(v);
	filled_.swap(filled);
	dt_ = dt;
	origin_ = origin;
}

void TimeBins::columns(int w, std::vector<uint16_t> &out, std::vector<char> &has) const
{
	out.assign((size_t)w * QL_VALUES, 0);
	has.assign((size_t)w, 0);
	if (empty())
		return;
	long long t0 = tmin_, span = tmax_ + 50 - tmin_;
	for (size_t j = 0; j < (size_t)n_; j++) {
		if (!filled_[j])
			continue;
		// The slot [s, e), clipped to the picture's span, covers columns c0 to c1.
		long long s = std::max(origin_ + (long long)j * dt_, t0) - t0;
		long long e = std::min(origin_ + (long long)(j + 1) * dt_, t0 + span) - t0;
		if (e <= s)
			continue;
		long long c0 = s * w / span, c1 = (e * w + span - 1) / span - 1;
		for (long long c = c0; c <= c1 && c < w; c++) {
			uint16_t *d = &out[(size_t)c * QL_VALUES];
			const uint16_t *v = &v_[j * QL_VALUES];
			for (int i = 0; i < QL_VALUES; i++)
				d[i] = std::max(d[i], v[i]);
			has[(size_t)c] = 1;
		}
	}
}

int ql_percentile(const std::vector<int32_t> &v, const std::vector<char> &has, double q)
{
	std::vector<int32_t> all;
	for (size_t c = 0; c < has.size(); c++)
		if (has[c])
			all.insert(all.end(), v.begin() + (long)(c * QL_VALUES), v.begin() + (long)((c + 1) * QL_VALUES));
	return all.empty() ? 0 : fr_percentile(all, q);
}

void ql_subtract_median(std::vector<int32_t> &v, const std::vector<char> &has, int w)
{
	std::vector<int32_t> col;
	for (int i = 0; i < QL_VALUES; i++) {
		col.clear();
		for (int c = 0; c < w; c++)
			if (has[(size_t)c])
				col.push_back(v[(size_t)c * QL_VALUES + i]);
		if (col.empty())
			return;
		std::nth_element(col.begin(), col.begin() + (long)(col.size() / 2), col.end());
		int32_t m = col[col.size() / 2];
		for (int c = 0; c < w; c++)
			v[(size_t)c * QL_VALUES + i] -= m;
	}
}
