// Time ranges as real times: typed times checked field by field, a named period's end found
// with the calendar, and the local clock read the way stamps read it (see range.h).
#include "range.h"

#include "cli.h"
#include "reader.h"

#include <cstdio>
#include <cstring>
#include <time.h>
#include <vector>

bool ArcRange::spans(const char *name, int n) const
{
	char lo[FR_STAMP + 1], hi[FR_STAMP + 1];
	if (start >= 0) {
		fr_time_stamp(start, lo);
		if (memcmp(name, lo, (size_t)n) < 0)
			return false;
	}
	if (open())
		return true;
	fr_time_stamp(end, hi);
	char first[FR_STAMP];  // the name's first stamp
	memset(first, '0', sizeof first);
	memcpy(first, name, (size_t)n);
	return memcmp(first, hi, FR_STAMP) < 0;
}

// Whether the first n digits name a real period: as fr_time_ok, and 11 digits for a ten-minute
// period (YYYYMMDDHHM, its minutes' tens 0-5).
static bool real_period(const char *d, int n)
{
	if (n == 11)
		return fr_time_ok(d, 10) && d[10] >= '0' && d[10] <= '5';
	return fr_time_ok(d, n);
}

int arc_when(const char *arg, char *out)
{
	int n = 0;
	bool sep = false;  // the last character was a separator
	for (const char *p = arg; *p; p++) {
		if (*p >= '0' && *p <= '9') {
			if (n == FR_STAMP)
				return 0;
			out[n++] = *p;
			sep = false;
		} else if (strchr("-:T. ", *p) && !sep && n >= 4 && n % 2 == 0 && p[1]) {
			sep = true;  // between fields only: one, after a whole field, not last
		} else
			return 0;
	}
	out[n] = '\0';
	return real_period(out, n) ? n : 0;
}

// The first stamp of the period named by n digits: month and day 01, the rest zeros.
static void first_stamp(const char *digits, int n, char *s)
{
	memcpy(s, "0000010100000000", FR_STAMP);
	memcpy(s, digits, (size_t)n);
	s[FR_STAMP] = '\0';
}

int arc_period(const char *digits, int n, long long *start, long long *end)
{
	if (!real_period(digits, n))
		return 0;
	char s[FR_STAMP + 1];
	first_stamp(digits, n, s);
	if (!fr_stamp_time(s, start))
		return 0;
	if (n == 11) {  // ten minutes
		*end = *start + 60000;
		return 1;
	}
	if (n >= 8) {  // days and shorter periods all have one length: fields are read as they are
		static const long long length[] = {8640000, 360000, 6000, 100, 1};  // 8, 10, 12, 14, 16
		*end = *start + length[(n - 8) / 2];
		return 1;
	}
	int y = (s[0] - '0') * 1000 + (s[1] - '0') * 100 + (s[2] - '0') * 10 + (s[3] - '0');
	int m = (s[4] - '0') * 10 + (s[5] - '0');
	if (n == 4 || m == 12)  // the next year's first instant
		y++, m = 1;
	else
		m++;
	if (y > 9999) {
		*end = ARC_OPEN;  // no stamp lies past year 9999
		return 1;
	}
	char next[FR_STAMP + 8];
	snprintf(next, sizeof next, "%04d%02d0100000000", y, m);
	return fr_stamp_time(next, end);
}

long long arc_clock_us()
{
	struct timespec ts;
	clock_gettime(CLOCK_REALTIME, &ts);
	struct tm tm;
	localtime_r(&ts.tv_sec, &tm);
	return (long long)timegm(&tm) * 1000000 + ts.tv_nsec / 1000;  // its fields as they are
}

void arc_now(char *out)
{
	fr_time_stamp(arc_clock_us() / 10000, out);
}

long long arc_horizon()
{
	return arc_clock_us() / 10000 + ARC_GRACE;
}

// FROM or TO: "now" or a time; its digits into d. Returns how many, or 0.
static int when(const char *arg, char *d)
{
	if (strcmp(arg, "now") == 0) {
		arc_now(d);
		return FR_STAMP;
	}
	return arc_when(arg, d);
}

std::string arc_range_error(const char *from, const char *to, ArcRange *r)
{
	*r = ArcRange();
	if (!from)
		return "";
	char d[FR_STAMP + 1];
	int n = when(from, d);
	long long end;
	if (n == 0 || !arc_period(d, n, &r->start, &end))
		return std::string("FROM ") + from + ": not a time";
	if (to) {
		int m = when(to, d);
		long long unused;
		if (m == 0 || !arc_period(d, m, &r->end, &unused))
			return std::string("TO ") + to + ": not a time";
		if (r->end <= r->start)
			return std::string("TO ") + to + ": not after FROM " + from;
		return "";
	}
	if (strcmp(from, "now") != 0)  // "now" alone: from now on
		r->end = end;
	return "";
}

int arc_range(const char *from, const char *to, ArcRange *r)
{
	return arc_range_error(from, to, r).empty();
}

void arc_range_args(const char *line, int left, char **args, ArcRange *r)
{
	if (left > 2)
		usage_why(line, "%s: more than FROM and TO", args[2]);
	std::string why = arc_range_error(left > 0 ? args[0] : nullptr, left > 1 ? args[1] : nullptr, r);
	if (!why.empty())
		usage_why(line, "%s", why.c_str());
}

long arc_days_in(const std::string &root, const ArcRange &r)
{
	std::vector<std::string> days;
	arc_list(root, 8, days);
	long n = 0;
	for (const std::string &d : days) {
		long long a, b;
		n += arc_period(d.c_str(), 8, &a, &b) ? r.overlaps(a, b) : r.spans(d.c_str(), 8);
	}
	return n;
}
