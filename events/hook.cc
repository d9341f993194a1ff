// The per-event command (see hook.h): posix_spawnp with an environment of our own making, and
// waitpid without blocking, so the stream never waits for it; each in its own process group.
#include "hook.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli.h"
#include "frame.h"

extern char **environ;

static double now()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

int hook_init(Hooks &h, const char *cmd)
{
	if (strlen(cmd) >= sizeof h.line)
		return 0;
	strcpy(h.line, cmd);
	int n = 0;
	for (char *s = strtok(h.line, " \t"); s; s = strtok(nullptr, " \t")) {
		if (n == 63)
			return 0;
		h.argv[n++] = s;
	}
	h.argv[n] = nullptr;
	return n > 0;
}

void hook_run(Hooks &h, const EvEvent &ev)
{
	hook_reap(h, false);
	if (h.nrunning == (int)(sizeof h.running / sizeof h.running[0])) {
		warn("%s: too many still running, not run for event %ld", h.argv[0], ev.id);
		return;
	}
	static char vars[9][64];
	char a[17], b[17], c[17];
	fr_time_stamp(ev.start, a);
	fr_time_stamp(ev.end, b);
	fr_time_stamp(ev.peak, c);
	snprintf(vars[0], 64, "EVENT_ID=%ld", ev.id);
	snprintf(vars[1], 64, "EVENT_KIND=%s", ev_kind_name(ev.kind));
	snprintf(vars[2], 64, "EVENT_START=%s", a);
	snprintf(vars[3], 64, "EVENT_END=%s", b);
	snprintf(vars[4], 64, "EVENT_PEAK=%s", c);
	snprintf(vars[5], 64, "EVENT_F_LO=%.3f", ev.f_lo);
	snprintf(vars[6], 64, "EVENT_F_HI=%.3f", ev.f_hi);
	snprintf(vars[7], 64, "EVENT_PEAK_DB=%.1f", ev.peak_db);
	snprintf(vars[8], 64, "EVENT_DRIFT=%.3f", ev.drift);
	// Our environment less any EVENT_ variables, then the event's.
	static char *env[1024];
	int n = 0;
	for (char **e = environ; *e && n < 1000; e++)
		if (strncmp(*e, "EVENT_", 6) != 0)
			env[n++] = *e;
	for (char *v : vars)
		env[n++] = v;
	env[n] = nullptr;

	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_adddup2(&fa, 2, 1);
	// In a process group of its own, so that killing it takes whatever it started too.
	posix_spawnattr_t at;
	posix_spawnattr_init(&at);
	posix_spawnattr_setflags(&at, POSIX_SPAWN_SETPGROUP);
	posix_spawnattr_setpgroup(&at, 0);
	pid_t pid;
	int err = posix_spawnp(&pid, h.argv[0], &fa, &at, h.argv, env);
	posix_spawn_file_actions_destroy(&fa);
	posix_spawnattr_destroy(&at);
	if (err) {
		warn("cannot run %s for event %ld: %s", h.argv[0], ev.id, strerror(err));
		return;
	}
	h.running[h.nrunning++] = {pid, ev.id, now()};
}

void hook_reap(Hooks &h, bool wait)
{
	while (h.nrunning > 0) {
		double t = now();
		for (int i = 0; i < h.nrunning;) {
			Hooks::Child &c = h.running[i];
			int status;
			pid_t r = waitpid(c.pid, &status, WNOHANG);
			if (r == 0 && t - c.started > h.limit) {
				kill(-c.pid, SIGKILL);
				r = waitpid(c.pid, &status, 0);
				warn("%s for event %ld ran over %.0f s: killed", h.argv[0], c.id, h.limit);
			} else if (r == c.pid && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
				warn("%s for event %ld exited with %d", h.argv[0], c.id, WEXITSTATUS(status));
			} else if (r == c.pid && WIFSIGNALED(status)) {
				warn("%s for event %ld ended by signal %d", h.argv[0], c.id, WTERMSIG(status));
			}
			if (r == 0) {
				i++;
				continue;
			}
			h.running[i] = h.running[--h.nrunning];
		}
		if (!wait || h.nrunning == 0)
			return;
		struct timespec pause = {0, 20000000};
		nanosleep(&pause, nullptr);
	}
}
