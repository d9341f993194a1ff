// A line of progress on a terminal, rewritten in place (see progress.h). Whether a line is
// shown is a fact about standard error, which the whole process shares: it is kept here, once,
// so that warn() can clear it whatever Progress drew it.
#include "progress.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

bool shown;  // a line of progress stands on standard error, the cursor at its end

long long now_ms()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

}  // namespace

Progress::Progress(long total_, const char *unit_) : tty(isatty(2) == 1), total(total_), unit(unit_) {}

void progress_at(Progress &p, const std::string &name)
{
	if (!p.tty || name.empty() || name == p.at)
		return;
	p.at = name;
	p.done++;
	long long now = now_ms();
	if (p.done != 1 && p.done != p.total && now < p.next_ms)
		return;
	p.next_ms = now + 100;
	if (p.total > 0)
		fprintf(stderr, "\r%s: %s: %ld of %ld %s\033[K", program_invocation_short_name, name.c_str(), p.done,
			p.total, p.unit);
	else
		fprintf(stderr, "\r%s: %s\033[K", program_invocation_short_name, name.c_str());
	fflush(stderr);
	shown = true;
}

void progress_end(Progress &p)
{
	if (p.tty)
		progress_clear();
}

void progress_clear()
{
	if (!shown)
		return;
	fputs("\r\033[K", stderr);
	fflush(stderr);
	shown = false;
}
