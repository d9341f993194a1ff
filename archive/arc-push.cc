// arc-push [-n] ROOT DEST: the archive's closed packs, pushed to a central store. A pack
// (ROOT/YYYYMMDD/YYYYMMDDHHM.pack.tar.zst) is renamed into place only once written and read
// back (arc-pack), so every pack there is closed; one still being written (.part), loose frame
// files and anything else are left alone. rsync carries them (started directly, never through a
// shell): compared by checksum, a pack cut by a lost link resumed (--partial), DEST laid out as
// ROOT is (DEST/YYYYMMDD/...). With -n, nothing goes: the packs that would are listed.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "cli.h"
#include "frame.h"
#include "pack.h"

static const char USAGE[] = "usage: arc-push [-n] ROOT DEST";
static const char HELP[] =
	"Pushes the archive's closed packs (ROOT/YYYYMMDD/*.pack.tar.zst) to DEST with rsync: a\n"
	"directory, HOST:PATH or rsync://HOST/MODULE/PATH, laid out as ROOT is.\n"
	"  -n  list the packs that would go, and send nothing\n";

struct Opts {
	bool dry = false;
	std::string root, dest;
};

static volatile sig_atomic_t child_pid, ending;

// What ends us ends rsync too, which we then wait for.
static void on_signal(int sig)
{
	ending = sig;
	if (child_pid > 0)
		kill(child_pid, sig);
}

static Opts options(int argc, char **argv)
{
	Opts o;
	opterr = 0;
	for (int c; (c = getopt(argc, argv, "n")) != -1;) {
		if (c == 'n')
			o.dry = true;
		else
			usage(USAGE);
	}
	if (argc - optind != 2 || !*argv[optind] || !*argv[optind + 1] || argv[optind + 1][0] == '-')
		usage(USAGE);
	o.root = argv[optind];
	o.dest = argv[optind + 1];
	need_dir(o.root.c_str());
	return o;
}

// Names in dir that pass the test, sorted.
static std::vector<std::string> names(const std::string &dir, bool (*ok)(const char *))
{
	std::vector<std::string> v;
	DIR *d = opendir(dir.c_str());
	if (!d) {
		warn("cannot read %s: %s", dir.c_str(), strerror(errno));
		return v;
	}
	while (struct dirent *e = readdir(d))
		if (ok(e->d_name))
			v.push_back(e->d_name);
	closedir(d);
	std::sort(v.begin(), v.end());
	return v;
}

static bool day_ok(const char *n) { return strlen(n) == 8 && fr_stamp_ok((std::string(n) + "00000000").c_str()) && fr_time_ok(n, 8); }
static bool pack_ok(const char *n) { return pack_name_is(n); }

// The packs, as paths relative to ROOT, one a line: rsync's list of files. Only what lies in
// ROOT goes: a day that is a link, or a pack that is not a regular file, is named and passed
// over (*bad).
static std::string packs(const Opts &o, bool *bad)
{
	std::string list;
	struct stat sb;
	for (const std::string &day : names(o.root, day_ok)) {
		std::string dir = o.root + "/" + day;
		if (lstat(dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) {
			warn("%s: not a directory of the archive (a link?); passed over", dir.c_str());
			*bad = true;
			continue;
		}
		for (const std::string &p : names(dir, pack_ok)) {
			if (lstat((dir + "/" + p).c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) {
				warn("%s/%s: not a regular file; not pushed", dir.c_str(), p.c_str());
				*bad = true;
				continue;
			}
			list += day + "/" + p + "\n";
		}
	}
	return list;
}

// rsync with the list on its standard input (a file in memory) and its lines on ours, those
// of the directories it makes passed over; returns its exit status (or 128 + its signal).
static int push(const Opts &o, const std::string &list)
{
	// A local directory whatever its name holds ("x:y" is not a host for rsync).
	std::string root = (o.root[0] == '/' ? "" : "./") + o.root + "/";
	std::vector<const char *> argv = {"rsync", "--checksum", "--partial", "--times", "--omit-dir-times",
					  "--files-from=-", "--out-format=%n"};
	if (o.dry)
		argv.push_back("--dry-run");
	argv.insert(argv.end(), {"--", root.c_str(), o.dest.c_str(), nullptr});
	int in = memfd_create("arc-push-list", MFD_CLOEXEC), out[2];
	if (in < 0 || write(in, list.data(), list.size()) != (ssize_t)list.size() || lseek(in, 0, SEEK_SET) != 0)
		die("cannot keep the list of packs:");
	if (pipe2(out, O_CLOEXEC) != 0)
		die("cannot make a pipe:");
	struct sigaction sa = {};
	sa.sa_handler = on_signal;
	sigemptyset(&sa.sa_mask);
	for (int sig : {SIGTERM, SIGINT, SIGHUP})
		if (sigaction(sig, &sa, nullptr) != 0)
			die("cannot catch signal %d:", sig);
	pid_t pid = fork();
	if (pid < 0)
		die("cannot start rsync:");
	if (pid == 0) {
		if (dup2(in, 0) < 0 || dup2(out[1], 1) < 0)
			_exit(127);
		execvp("rsync", const_cast<char *const *>(argv.data()));
		fprintf(stderr, "arc-push: cannot run rsync: %s\n", strerror(errno));
		_exit(127);
	}
	child_pid = pid;
	close(in);
	close(out[1]);
	FILE *from = fdopen(out[0], "r");
	if (!from)
		die("cannot read rsync's output:");
	char line[4096];
	for (;;) {
		if (!fgets(line, sizeof line, from)) {
			if (ferror(from) && errno == EINTR) {  // a signal passed on to rsync: read to its end
				clearerr(from);
				continue;
			}
			break;
		}
		size_t n = strlen(line);
		if (n >= 2 && line[n - 1] == '\n' && line[n - 2] == '/')
			continue;
		if (fputs(line, stdout) < 0)
			die("cannot write:");
	}
	fclose(from);
	int st;
	while (waitpid(pid, &st, 0) < 0)
		if (errno != EINTR)
			die("cannot wait for rsync:");
	return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Opts o = options(argc, argv);
	bool bad = false;
	std::string list = packs(o, &bad);
	if (list.empty())
		return bad ? 1 : 0;
	int st = push(o, list);
	if (ending) {
		signal(ending, SIG_DFL);
		raise(ending);
	}
	if (st == 127)
		die("cannot run rsync (is it installed?)");
	if (st != 0)
		die("rsync failed with status %d", st);
	if (fflush(stdout) != 0)
		die("cannot write:");
	return bad ? 1 : 0;
}
