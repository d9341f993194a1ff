// The stream's running time and the reports of what was skipped (see streamtime.h).
#include "streamtime.h"

#include <climits>
#include <ctime>

#include "cli.h"
#include "frame.h"

long long st_clock_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void SkipNote::add(long long now_ms)
{
	n++;
	if (quiet)
		return;
	if (said == 0 || now_ms - said_ms >= 60000) {
		warn_skipped(n, what);
		said = n;
		said_ms = now_ms;
	}
}

void SkipNote::finish()
{
	if (n > said && !quiet) {
		warn_skipped(n, what);
		said = n;
	}
}

StVerdict StreamTime::take(const void *stamp, long long *t, long long now_ms)
{
	if (!fr_stamp_time(stamp, t) || *t < 0) {
		not_time.add(now_ms < 0 ? st_clock_ms() : now_ms);
		return ST_NOT_TIME;
	}
	return judge(*t, now_ms);
}

StVerdict StreamTime::judge(long long t, long long now_ms)
{
	if (now < 0 || (t <= now + window && t >= now - window)) {
		run_ = 0;
		if (now >= 0 && t <= now) {
			late++;
			return ST_LATE;
		}
		now = t;
		accepted++;
		return ST_ACCEPT;
	}
	run_ = run_ > 0 && t >= run_last_ && t - run_last_ <= 6000 ? run_ + 1 : 1;
	run_last_ = t;
	if (run_ >= agree) {
		char s[17];
		fr_time_stamp(t, s);
		if (!quiet_)
			warn("the stream's time jumped to %s (%d stamps agreeing)", s, run_);
		run_ = 0;
		now = t;
		accepted++;
		jumps++;
		return ST_ACCEPT;
	}
	outliers.add(now_ms < 0 ? st_clock_ms() : now_ms);
	return ST_OUTLIER;
}

void StreamTime::finish()
{
	not_time.finish();
	outliers.finish();
}
