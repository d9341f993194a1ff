#include "kit.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <new>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

extern char **environ;

std::string bin(const std::string &name) { return std::string(BIN_DIR) + "/" + name; }
std::string src(const std::string &rel) { return std::string(SRC_DIR) + "/" + rel; }

static long long now_ms()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

static void closefd(int &fd)
{
	if (fd >= 0)
		close(fd);
	fd = -1;
}

Proc::Proc(Proc &&o) noexcept : pid(o.pid), group(o.group), in(o.in), out(o.out), err(o.err)
{
	o.pid = -1;
	o.in = o.out = o.err = -1;
}

Proc &Proc::operator=(Proc &&o) noexcept
{
	if (this != &o) {
		this->~Proc();
		new (this) Proc(std::move(o));
	}
	return *this;
}

Proc::~Proc()
{
	if (pid > 0)
		stop(*this);
	closefd(in);
	closefd(out);
	closefd(err);
}

void Proc::close_in() { closefd(in); }
void Proc::close_out() { closefd(out); }

std::vector<std::string> emulated(std::vector<std::string> args)
{
	// A cross-built tree's programs run under the emulator its tests run under ("|" between words).
	if (*ZQ_EMULATOR && !args.empty() && args[0].rfind(std::string(BIN_DIR) + "/", 0) == 0) {
		std::string em = ZQ_EMULATOR;
		std::vector<std::string> words;
		for (size_t at = 0; at <= em.size(); at = em.find('|', at) + 1) {
			words.push_back(em.substr(at, em.find('|', at) - at));
			if (em.find('|', at) == std::string::npos)
				break;
		}
		args.insert(args.begin(), words.begin(), words.end());
	}
	return args;
}

Proc start(const Spawn &s)
{
	signal(SIGPIPE, SIG_IGN);  // the tests see write errors; children get the default back
	int pin[2] = {-1, -1}, pout[2] = {-1, -1}, perr[2] = {-1, -1};
	if ((s.pipe_in && pipe2(pin, O_CLOEXEC)) || (s.pipe_out && pipe2(pout, O_CLOEXEC)) ||
	    (s.pipe_err && pipe2(perr, O_CLOEXEC)))
		throw std::runtime_error("pipe");
	std::vector<std::string> envs;
	for (char **e = environ; *e; e++) {
		std::string kv = *e;
		bool replaced = false;
		for (const std::string &o : s.env)
			if (kv.substr(0, kv.find('=') + 1) == o.substr(0, o.find('=') + 1))
				replaced = true;
		if (!replaced)
			envs.push_back(kv);
	}
	for (const std::string &o : s.env)
		envs.push_back(o);
	// With ZQ_VALGRIND set to a folder, the transport programs and the dump run under memcheck,
	// which logs there (so their own standard error stays theirs) and fails them on any error.
	std::vector<std::string> args = s.argv;
	const char *vg = getenv("ZQ_VALGRIND");
	if (vg && *vg && !args.empty())
		for (const char *prog : {"net-pipe", "net-arc", "arc-pipe", "pipe-dump"})
			if (args[0] == bin(prog)) {
				args.insert(args.begin(), {"/usr/bin/valgrind", "--quiet", "--error-exitcode=99",
							   std::string("--log-file=") + vg + "/" + prog + ".%p.log"});
				break;
			}
	args = emulated(args);
	std::vector<char *> argv, envp;
	for (const std::string &a : args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	for (const std::string &e : envs)
		envp.push_back(const_cast<char *>(e.c_str()));
	envp.push_back(nullptr);

	pid_t pid = fork();
	if (pid < 0)
		throw std::runtime_error("fork");
	if (pid == 0) {
		// Should the test itself die before it ends this child, the child goes with it.
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		signal(SIGPIPE, SIG_DFL);
		if (s.group)
			setpgid(0, 0);
		if (s.pipe_in)
			dup2(pin[0], 0);
		else if (s.stdin_fd >= 0)
			dup2(s.stdin_fd, 0);
		else {
			int z = open("/dev/null", O_RDONLY);
			dup2(z, 0);
		}
		if (s.pipe_out)
			dup2(pout[1], 1);
		else if (s.stdout_fd >= 0)
			dup2(s.stdout_fd, 1);
		if (s.pipe_err)
			dup2(perr[1], 2);
		if (!s.cwd.empty() && chdir(s.cwd.c_str()) != 0)
			_exit(126);
		execve(argv[0], argv.data(), envp.data());
		// Said on the child's standard error, so a test that checks it sees why (status 127).
		const char why[] = "kit: cannot run ";
		if (write(2, why, sizeof why - 1) >= 0 && write(2, argv[0], strlen(argv[0])) >= 0)
			(void)!write(2, "\n", 1);
		_exit(127);
	}
	Proc p;
	p.pid = pid;
	if ((p.group = s.group))
		setpgid(pid, pid);  // as the child does: whichever comes first, the group is there at once
	if (s.pipe_in) {
		close(pin[0]);
		p.in = pin[1];
	}
	if (s.pipe_out) {
		close(pout[1]);
		p.out = pout[0];
	}
	if (s.pipe_err) {
		close(perr[1]);
		p.err = perr[0];
	}
	return p;
}

bool wait_exit(Proc &p, int ms, int *status)
{
	int st;
	if (!wait_until([&] { return waitpid(p.pid, &st, WNOHANG) == p.pid; }, ms))
		return false;
	p.pid = -1;
	if (status)
		*status = st;
	return true;
}

void stop(Proc &p)
{
	if (p.pid > 0) {
		kill(p.group ? -p.pid : p.pid, SIGKILL);
		waitpid(p.pid, nullptr, 0);
		p.pid = -1;
	}
}

bool still_running(Proc &p)
{
	return p.pid > 0 && waitpid(p.pid, nullptr, WNOHANG) == 0;
}

bool readable(int fd, int ms)
{
	struct pollfd pf = {fd, POLLIN, 0};
	return poll(&pf, 1, ms) > 0;
}

bool read_exact(int fd, void *buf, size_t n, int ms)
{
	long long end = now_ms() + ms;
	size_t got = 0;
	while (got < n) {
		long long left = end - now_ms();
		if (left <= 0 || !readable(fd, (int)left))
			return false;
		ssize_t r = read(fd, (char *)buf + got, n - got);
		if (r <= 0)
			return false;
		got += (size_t)r;
	}
	return true;
}

std::string drain(int fd)
{
	std::string s;
	char b[4096];
	while (readable(fd, 0)) {
		ssize_t n = read(fd, b, sizeof b);
		if (n <= 0)
			break;
		s.append(b, (size_t)n);
	}
	return s;
}

std::string read_n(int fd, size_t n, int ms)
{
	std::string s(n, '\0');
	long long end = now_ms() + ms;
	size_t got = 0;
	while (got < n) {
		long long left = end - now_ms();
		if (left <= 0 || !readable(fd, (int)left))
			break;
		ssize_t r = read(fd, s.data() + got, n - got);
		if (r <= 0)
			break;
		got += (size_t)r;
	}
	s.resize(got);
	return s;
}

std::string read_records(int fd, int quiet_ms)
{
	std::string s, rec;
	while ((rec = read_n(fd, 3617, quiet_ms)).size() == 3617)
		s += rec;
	return s;
}

std::string read_to_end(int fd, int ms)
{
	long long end = now_ms() + ms;
	std::string s;
	char b[65536];
	for (;;) {
		long long left = end - now_ms();
		if (left <= 0 || !readable(fd, (int)left))
			return s;
		ssize_t r = read(fd, b, sizeof b);
		if (r <= 0)
			return s;
		s.append(b, (size_t)r);
	}
}

Ran run(const std::vector<std::string> &argv, const std::string &input, int ms,
	const std::vector<std::string> &env)
{
	Spawn s;
	s.argv = argv;
	s.env = env;
	s.pipe_in = s.pipe_out = s.pipe_err = true;
	Proc p = start(s);
	Ran r;
	// Feed, drain and wait together, so large inputs and outputs never deadlock.
	long long end = now_ms() + ms;
	size_t fed = 0;
	if (input.empty())
		p.close_in();
	while (p.out >= 0 || p.err >= 0 || p.in >= 0) {
		struct pollfd pf[3];
		int n = 0;
		if (p.in >= 0)
			pf[n++] = {p.in, POLLOUT, 0};
		if (p.out >= 0)
			pf[n++] = {p.out, POLLIN, 0};
		if (p.err >= 0)
			pf[n++] = {p.err, POLLIN, 0};
		long long left = end - now_ms();
		if (left <= 0 || poll(pf, n, (int)left) <= 0)
			break;
		for (int i = 0; i < n; i++) {
			if (!pf[i].revents)
				continue;
			if (pf[i].fd == p.in) {
				ssize_t w = write(p.in, input.data() + fed, std::min<size_t>(65536, input.size() - fed));
				if (w <= 0 || (fed += (size_t)w) == input.size())
					p.close_in();
			} else {
				char b[65536];
				ssize_t rd = read(pf[i].fd, b, sizeof b);
				std::string &dst = pf[i].fd == p.out ? r.out : r.err;
				if (rd <= 0) {
					if (pf[i].fd == p.out)
						p.close_out();
					else
						closefd(p.err);
				} else
					dst.append(b, (size_t)rd);
			}
		}
	}
	long long left = end - now_ms();
	if (!wait_exit(p, left > 0 ? (int)left : 0, &r.status)) {
		stop(p);
		r.status = -1;
	}
	return r;
}

Pipeline::Pipeline(Spawn from, Spawn to)
{
	int mid[2];
	if (pipe2(mid, O_CLOEXEC) != 0)
		throw std::runtime_error("pipe");
	from.stdout_fd = mid[1];
	from.pipe_out = false;
	to.stdin_fd = mid[0];
	to.pipe_in = false;
	a = start(from);
	b = start(to);
	close(mid[0]);
	close(mid[1]);
}

Ran run_files(const std::vector<std::string> &argv, const std::string &in, const std::string &out,
	      const std::vector<std::string> &env, int ms)
{
	Spawn s;
	s.argv = argv;
	s.env = env;
	s.stdin_fd = open(in.c_str(), O_RDONLY | O_CLOEXEC);
	s.stdout_fd = open(out.c_str(), O_WRONLY | O_CLOEXEC);
	Proc p = start(s);
	close(s.stdin_fd);
	close(s.stdout_fd);
	Ran r;
	r.err = read_to_end(p.err, ms);
	if (!wait_exit(p, ms, &r.status))
		r.status = -1;
	return r;
}

int exit_code(int status) { return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
int term_signal(int status) { return status >= 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0; }

static struct sockaddr_in loopback(int port)
{
	struct sockaddr_in a;
	memset(&a, 0, sizeof a);
	a.sin_family = AF_INET;
	a.sin_port = htons((unsigned short)port);
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	return a;
}

static int free_port(int type)
{
	int fd = socket(AF_INET, type, 0);
	struct sockaddr_in a = loopback(0);
	a.sin_addr.s_addr = htonl(INADDR_ANY);
	bind(fd, (struct sockaddr *)&a, sizeof a);
	socklen_t len = sizeof a;
	getsockname(fd, (struct sockaddr *)&a, &len);
	close(fd);
	return ntohs(a.sin_port);
}

int free_udp_port() { return free_port(SOCK_DGRAM); }
int free_tcp_port() { return free_port(SOCK_STREAM); }

bool wait_until(const std::function<bool()> &done, int ms, int every)
{
	long long end = now_ms() + ms;
	for (;;) {
		if (done())
			return true;
		if (now_ms() >= end)
			return false;
		usleep((useconds_t)every * 1000);
	}
}

// Read from the kernel's socket table, so the receiver keeps its own bind to itself.
bool wait_bound(int port, int ms)
{
	return wait_until([&] { return rx_queue(port) >= 0; }, ms);
}

long rx_queue(int port)
{
	FILE *f = fopen("/proc/net/udp", "r");
	if (!f)
		return -1;
	char line[512];
	long q = -1;
	(void)!fgets(line, sizeof line, f);
	while (fgets(line, sizeof line, f)) {
		unsigned lport;
		unsigned long tx, rx;
		if (sscanf(line, " %*d: %*8x:%4x %*8x:%*4x %*2x %8lx:%8lx", &lport, &tx, &rx) == 3 && (int)lport == port)
			q = (long)rx;
	}
	fclose(f);
	return q;
}

bool wait_drained(int port, int ms)
{
	return wait_until([&] { return rx_queue(port) == 0; }, ms);
}

long written(pid_t pid)
{
	std::string io = slurp("/proc/" + std::to_string(pid) + "/io");
	size_t at = io.find("wchar: ");
	return at == std::string::npos ? -1 : atol(io.c_str() + at + 7);
}

HeldPort::HeldPort() : fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))  // never a child's too
{
	struct sockaddr_in a = loopback(0);
	a.sin_addr.s_addr = htonl(INADDR_ANY);
	if (bind(fd, (struct sockaddr *)&a, sizeof a) != 0)
		throw std::runtime_error("bind");
	socklen_t len = sizeof a;
	getsockname(fd, (struct sockaddr *)&a, &len);
	port = ntohs(a.sin_port);
}
HeldPort::~HeldPort() { close(fd); }

// The inode of the UDP socket bound to port, from the kernel's table, or 0.
static unsigned long udp_inode(int port)
{
	FILE *f = fopen("/proc/net/udp", "r");
	if (!f)
		return 0;
	char line[512];
	unsigned long inode = 0;
	(void)!fgets(line, sizeof line, f);
	while (fgets(line, sizeof line, f)) {
		unsigned lport;
		unsigned long ino;
		if (sscanf(line, " %*d: %*8x:%4x %*8x:%*4x %*2x %*8x:%*8x %*2x:%*8x %*8x %*u %*d %lu", &lport, &ino) == 2 &&
		    (int)lport == port)
			inode = ino;
	}
	fclose(f);
	return inode;
}

// Whether a process has the socket of this inode among its descriptors; -1 if they cannot be read.
static int has_socket(const std::string &pid, unsigned long inode)
{
	std::string dir = "/proc/" + pid + "/fd", want = "socket:[" + std::to_string(inode) + "]";
	DIR *d = opendir(dir.c_str());
	if (!d)
		return -1;
	int has = 0;
	while (struct dirent *e = readdir(d)) {
		char link[64];
		ssize_t n = readlink((dir + "/" + e->d_name).c_str(), link, sizeof link - 1);
		if (n > 0 && std::string(link, (size_t)n) == want)
			has = 1;
	}
	closedir(d);
	return has;
}

// Whether the socket bound to port is the process's own (or, where its descriptors cannot be
// read, whether one is bound at all). A socket of the test's own, which a child still has
// between fork and exec, is not.
static bool bound_by(pid_t pid, int port)
{
	unsigned long inode = udp_inode(port);
	if (!inode || has_socket("self", inode) == 1)
		return false;
	return has_socket(std::to_string(pid), inode) != 0;
}

bool wait_bound_by(Proc &p, int port, int ms)
{
	int st;
	bool ended = false;
	return wait_until([&] { return bound_by(p.pid, port) || (ended = wait_exit(p, 0, &st)); }, ms) && !ended;
}

// A receiver on a port picked beforehand: should another socket have taken the port between
// the pick and the receiver's bind (it then fails at once, "cannot bind port"), another port
// is picked and the receiver started again, three times at most. Ready once its own socket is
// bound.
static Proc start_receiver(Spawn s, size_t port_arg, int &port, const char *name)
{
	for (int tries = 1;; tries++) {
		s.argv[port_arg] = std::to_string(port);
		Proc p = start(s);
		if (wait_bound_by(p, port, 5000))
			return p;
		bool ended = p.pid < 0;  // reaped by the wait
		std::string why = ended ? read_to_end(p.err, 1000) : "";
		if (!ended || why.find("cannot bind port") == std::string::npos || tries == 3)
			throw std::runtime_error(std::string(name) + " did not bind its port: " + why);
		port = free_udp_port();
	}
}

Proc start_net_pipe(int &port)
{
	Spawn s;
	s.argv = {bin("net-pipe"), ""};
	s.pipe_out = true;
	return start_receiver(s, 1, port, "net-pipe");
}

Proc start_net_arc(const std::string &dir, int &port, const std::vector<std::string> &env,
		   const std::vector<std::string> &wrap)
{
	mkdir((dir + "/arc").c_str(), 0755);
	Spawn s;
	s.argv = wrap;
	s.argv.insert(s.argv.end(), {bin("net-arc"), "", "arc"});
	s.cwd = dir;
	s.env = env;
	return start_receiver(s, wrap.size() + 1, port, "net-arc");
}

Udp::Udp() : fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
	int big = 4 << 20;
	setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
}
Udp::~Udp() { close(fd); }

void Udp::send(int port, const void *data, size_t n) const
{
	struct sockaddr_in a = loopback(port);
	if (sendto(fd, data, n, 0, (struct sockaddr *)&a, sizeof a) != (ssize_t)n)
		throw std::runtime_error(std::string("sendto: ") + strerror(errno));
}

TempDir::TempDir()
{
	char t[] = "/tmp/zqtest.XXXXXX";
	if (!mkdtemp(t))
		throw std::runtime_error("mkdtemp");
	path = t;
}

TempDir::~TempDir()
{
	std::string cmd = "chmod -R u+rwx '" + path + "' 2>/dev/null; rm -rf '" + path + "'";
	(void)!system(cmd.c_str());
}

std::string slurp(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	std::ostringstream o;
	o << f.rdbuf();
	return o.str();
}

void spit(const std::string &path, const std::string &data, int mode)
{
	{
		std::ofstream f(path, std::ios::binary | std::ios::trunc);
		f << data;
	}
	chmod(path.c_str(), (mode_t)mode);
}

bool exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

std::string payload(int seed)
{
	std::string p(3600, '\0');
	unsigned x = 2463534242u + (unsigned)seed * 7919u;
	for (char &c : p) {
		x ^= x << 13;
		x ^= x >> 17;
		x ^= x << 5;
		c = (char)(x >> 24);
	}
	return p;
}

std::string payload_levels(unsigned a, unsigned b)
{
	std::string p(3600, '\0');
	for (int i = 0; i < 900; i++) {
		p[4 * i] = (char)(a & 0xff);
		p[4 * i + 1] = (char)(a >> 8);
		p[4 * i + 2] = (char)(b & 0xff);
		p[4 * i + 3] = (char)(b >> 8);
	}
	return p;
}

std::string record(const std::string &stamp16, const std::string &payload3600)
{
	return stamp16 + std::string(1, '\0') + payload3600;
}

std::string gzip(const std::string &data)
{
	z_stream z{};
	deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
	std::string out(data.size() + 128, '\0');
	z.next_in = (unsigned char *)data.data();
	z.avail_in = (uInt)data.size();
	z.next_out = (unsigned char *)out.data();
	z.avail_out = (uInt)out.size();
	deflate(&z, Z_FINISH);
	out.resize(z.total_out);
	deflateEnd(&z);
	return out;
}

std::string frame_path(const std::string &stamp)
{
	return stamp.substr(0, 8) + "/" + stamp.substr(0, 11) + "/" + stamp + ".gz";
}

ArcTree::ArcTree(const std::vector<std::string> &stamps)
{
	mkdir(root.c_str(), 0755);
	for (size_t k = 0; k < stamps.size(); k++)
		put(stamps[k], gzip(payload((int)k)));
}

void ArcTree::put(const std::string &stamp, const std::string &bytes, const std::string &name)
{
	std::string p = root + "/" + (name.empty() ? frame_path(stamp) : name);
	for (size_t at = root.size() + 1; (at = p.find('/', at)) != std::string::npos; at++)
		mkdir(p.substr(0, at).c_str(), 0755);
	spit(p, bytes);
}

bool have_reader(const std::string &reader)
{
	if (reader != "astropy")
		return access(reader.c_str(), X_OK) == 0;
	static int has = -1;  // asked once: starting Python and astropy takes a while
	if (has < 0)
		has = access("/usr/bin/python3", X_OK) == 0 &&
		      exit_code(run({"/usr/bin/python3", "-c", "import astropy.io.fits"}, "", 60000).status) == 0;
	return has == 1;
}
