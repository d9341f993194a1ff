// The per-event command (see hook.h): posix_spawnp with an environment of our own making, and
// waitpid without blocking, so the stream never waits for it; each in its own process group.
// A command that has ended is seen first without being collected (waitid with WNOWAIT): while
// it waits to be collected its PID, the number of its group, cannot be taken by another
// process, so the group is killed then, and only then is the command collected.
#include "hook.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli.h"

extern char **environ;

static double now()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void pause_a_little()
{
	struct timespec pause = {0, 20000000};
	nanosleep(&pause, nullptr);
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
	ev_env(ev, h.vars);
	// Our environment less any EVENT_ variables, then the event's.
	int n = 0;
	for (char **e = environ; *e && n < 1000; e++)
		if (strncmp(*e, "EVENT_", 6) != 0)
			h.env[n++] = *e;
	for (char *v : h.vars)
		h.env[n++] = v;
	h.env[n] = nullptr;

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
	int err = posix_spawnp(&pid, h.argv[0], &fa, &at, h.argv, h.env);
	posix_spawn_file_actions_destroy(&fa);
	posix_spawnattr_destroy(&at);
	if (err) {
		warn("cannot run %s for event %ld: %s", h.argv[0], ev.id, strerror(err));
		return;
	}
	h.running[h.nrunning++] = {pid, ev.id, now()};
}

// Whether the command has ended (or is not ours to wait for), leaving it to be collected.
static bool ended(pid_t pid)
{
	siginfo_t si;
	si.si_pid = 0;
	if (waitid(P_PID, pid, &si, WEXITED | WNOHANG | WNOWAIT) != 0)
		return errno != EINTR;
	return si.si_pid == pid;
}

// Kills what is left in the command's group (the command too, if it still runs), then collects
// it. Returns its wait status, or -1.
static int collect(pid_t pid)
{
	kill(-pid, SIGKILL);
	int status;
	pid_t r;
	while ((r = waitpid(pid, &status, 0)) < 0 && errno == EINTR)
		;
	return r == pid ? status : -1;
}

void hook_reap(Hooks &h, bool wait, const volatile sig_atomic_t *stop)
{
	while (h.nrunning > 0) {
		double t = now();
		for (int i = 0; i < h.nrunning;) {
			Hooks::Child &c = h.running[i];
			bool over = !ended(c.pid);
			if (over && t - c.started <= h.limit) {
				i++;
				continue;
			}
			int status = collect(c.pid);
			if (over)
				warn("%s for event %ld ran over %.0f s: killed", h.argv[0], c.id, h.limit);
			else if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) != 0)
				warn("%s for event %ld exited with %d", h.argv[0], c.id, WEXITSTATUS(status));
			else if (status != -1 && WIFSIGNALED(status))
				warn("%s for event %ld ended by signal %d", h.argv[0], c.id, WTERMSIG(status));
			h.running[i] = h.running[--h.nrunning];
		}
		if (!wait || h.nrunning == 0 || (stop && *stop))
			return;
		pause_a_little();
	}
}

void hook_end(Hooks &h)
{
	hook_reap(h, false);  // those already over, as usual
	if (h.nrunning == 0)
		return;
	for (int i = 0; i < h.nrunning; i++)
		kill(-h.running[i].pid, SIGTERM);
	auto all_ended = [&] {
		for (int i = 0; i < h.nrunning; i++)
			if (!ended(h.running[i].pid))
				return false;
		return true;
	};
	for (double until = now() + h.grace; !all_ended() && now() < until;)
		pause_a_little();
	for (int i = 0; i < h.nrunning; i++) {
		collect(h.running[i].pid);
		warn("%s for event %ld still running at the end: ended", h.argv[0], h.running[i].id);
	}
	h.nrunning = 0;
}
