// Files written under a temporary name in a private directory beside them, synced and renamed
// (see outfile.h). The pending names are kept in fixed slots that the SIGINT/SIGTERM handler
// can read without allocating.
#include "outfile.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum { SLOTS = 8 };
struct Slot {
	volatile sig_atomic_t used;
	char dir[PATH_MAX], tmp[PATH_MAX], work[PATH_MAX];
};
Slot slots[SLOTS];  // read by the signal handler, hence at file scope

void remove_all()
{
	for (Slot &s : slots)
		if (s.used) {
			unlink(s.tmp);
			unlink(s.work);
			rmdir(s.dir);
		}
}

extern "C" void remove_pending(int sig)
{
	remove_all();
	signal(sig, SIG_DFL);
	raise(sig);
}

extern "C" void remove_at_exit() { remove_all(); }

void install_handler()
{
	static bool done;
	if (done)
		return;
	done = true;
	atexit(remove_at_exit);  // a die() between begin and commit leaves nothing either
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = remove_pending;
	sigemptyset(&sa.sa_mask);
	sigaddset(&sa.sa_mask, SIGINT);
	sigaddset(&sa.sa_mask, SIGTERM);
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace

int sync_path(const std::string &path, int flags)
{
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
	if (fd < 0)
		return -1;
	int r = fsync(fd);
	int e = errno;
	close(fd);
	errno = e;
	return r;
}

int of_begin(OutFile *f, const std::string &path)
{
	size_t slash = path.rfind('/');
	std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
	std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
	if (base.empty() || base == "." || base == "..") {
		errno = EISDIR;
		return -1;
	}
	// A device, pipe or folder of that name is never replaced by the rename: said now, not
	// after the content is made.
	struct stat st;
	if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
		errno = S_ISDIR(st.st_mode) ? EISDIR : EEXIST;
		return -1;
	}
	std::string priv = dir + (dir.back() == '/' ? "" : "/") + "." + base + ".XXXXXX";
	if (priv.size() + 2 + base.size() >= PATH_MAX) {
		errno = ENAMETOOLONG;
		return -1;
	}
	int k = 0;
	while (k < SLOTS && slots[k].used)
		k++;
	if (k == SLOTS) {
		errno = EMFILE;
		return -1;
	}
	install_handler();
	Slot &s = slots[k];
	memcpy(s.dir, priv.c_str(), priv.size() + 1);
	if (!mkdtemp(s.dir))
		return -1;
	f->path = path;
	f->dir = s.dir;
	f->tmp = f->dir + "/" + base;
	f->work = f->dir + "/~" + base;
	memcpy(s.tmp, f->tmp.c_str(), f->tmp.size() + 1);
	memcpy(s.work, f->work.c_str(), f->work.size() + 1);
	f->slot = k;
	s.used = 1;
	return 0;
}

int of_commit(OutFile *f)
{
	if (f->dir.empty()) {
		errno = EINVAL;
		return -1;
	}
	int r = sync_path(f->tmp, 0);
	if (r != 0 || rename(f->tmp.c_str(), f->path.c_str()) != 0)
		return -1;
	size_t slash = f->path.rfind('/');
	r = sync_path(slash == std::string::npos ? "." : slash == 0 ? "/" : f->path.substr(0, slash), O_DIRECTORY);
	int e = errno;
	of_abort(f);  // only the empty private directory is left to remove
	errno = e;
	return r;
}

void of_abort(OutFile *f)
{
	int e = errno;
	if (!f->dir.empty()) {
		unlink(f->tmp.c_str());
		unlink(f->work.c_str());
		rmdir(f->dir.c_str());
		f->dir.clear();
	}
	if (f->slot >= 0)
		slots[f->slot].used = 0;
	f->slot = -1;
	errno = e;
}
