// Test kit: start the real programs with real pipes, wait for them within bounds, end them by
// PID, and talk UDP on loopback.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

std::string bin(const std::string &name);  // path of a built program
std::string src(const std::string &rel);   // path in the source tree

struct Proc {
	pid_t pid = -1;
	bool group = false;  // the child leads a process group of its own, ended with it
	int in = -1;   // our end of the child's standard input, when piped
	int out = -1;  // our end of its standard output, when piped
	int err = -1;  // our end of its standard error, when piped
	Proc() = default;
	Proc(const Proc &) = delete;
	Proc(Proc &&o) noexcept;
	Proc &operator=(Proc &&o) noexcept;
	~Proc();  // kills and reaps a child still running; closes our ends
	void close_in();
	void close_out();
};

struct Spawn {
	std::vector<std::string> argv;
	std::vector<std::string> env;  // "NAME=value" set or replaced in the child's environment
	bool pipe_in = false, pipe_out = false, pipe_err = true;
	int stdin_fd = -1, stdout_fd = -1;  // give the child these instead of pipes
	std::string cwd;
	bool group = false;  // in a process group of its own, which stop() ends whole (a script's children)
};

Proc start(const Spawn &s);
// The command line as it runs here: a program of ours behind the emulator in a cross-built tree
// (start() does this itself; for children started otherwise, such as through setpriv or a pty).
std::vector<std::string> emulated(std::vector<std::string> args);
// Asks done() every `every` ms until it says true (then true) or ms have passed (then false).
bool wait_until(const std::function<bool()> &done, int ms, int every = 2);
bool wait_exit(Proc &p, int ms, int *status);  // true once exited within ms; sets status
void stop(Proc &p);                             // SIGKILL and reap
bool still_running(Proc &p);

bool read_exact(int fd, void *buf, size_t n, int ms);  // false on timeout or end
std::string drain(int fd);                             // what can be read now, without waiting
std::string read_to_end(int fd, int ms);               // until end of file or ms
std::string read_n(int fd, size_t n, int ms);          // until n bytes, end of file or ms
std::string read_records(int fd, int quiet_ms);        // whole records, until none comes in quiet_ms
long written(pid_t pid);                               // bytes a process has written so far
bool readable(int fd, int ms);                          // data (or end) within ms

// Two programs joined by a pipe, as the shell's "a | b"; each spawn's other ends as set.
struct Pipeline {
	Proc a, b;
	Pipeline(Spawn from, Spawn to);
};

struct Ran {
	int status = -1;  // raw wait status, -1 if it had to be killed
	std::string out, err;
};
Ran run(const std::vector<std::string> &argv, const std::string &input = "", int ms = 20000,
	const std::vector<std::string> &env = {});

// Runs with standard input and output opened from paths (a directory as input fails every read).
Ran run_files(const std::vector<std::string> &argv, const std::string &in, const std::string &out,
	      const std::vector<std::string> &env = {}, int ms = 10000);

int exit_code(int status);    // exit status, or -1 if it did not exit normally
int term_signal(int status);  // terminating signal, or 0

// UDP on loopback.
int free_udp_port();
int free_tcp_port();
bool wait_bound(int port, int ms);  // true once a socket is bound to the port
// True once p's own socket is bound to the port; false if p ends first (another socket took the
// port since it was picked, say) or ms pass.
bool wait_bound_by(Proc &p, int port, int ms);
long rx_queue(int port);            // bytes queued at the socket bound to port, -1 if none
bool wait_drained(int port, int ms);  // true once that queue is empty
struct HeldPort {  // a UDP port bound here, so that a receiver cannot have it
	int fd, port;
	HeldPort();
	~HeldPort();
};
struct Udp {
	int fd;
	Udp();
	~Udp();
	void send(int port, const void *data, size_t n) const;
	void send(int port, const std::string &s) const { send(port, s.data(), s.size()); }
};

// The receivers, ready once their own socket is bound to port: net-pipe with its output piped
// to us; net-arc in dir storing under dir/arc (made here if missing), env and a wrapper command
// as given. Should another socket have taken the port since it was picked, port is set to a
// new one picked and the receiver started on that.
Proc start_net_pipe(int &port);
Proc start_net_arc(const std::string &dir, int &port, const std::vector<std::string> &env = {},
		   const std::vector<std::string> &wrap = {});

// A temporary directory, removed with everything in it at the end of the test.
struct TempDir {
	std::string path;
	TempDir();
	~TempDir();
	std::string operator/(const std::string &rel) const { return path + "/" + rel; }
};
std::string slurp(const std::string &path);
void spit(const std::string &path, const std::string &data, int mode = 0644);
bool exists(const std::string &path);

// Archives as net-arc leaves them: ROOT/YYYYMMDD/YYYYMMDDHHM/STAMP.gz.
std::string gzip(const std::string &data);
std::string frame_path(const std::string &stamp);  // relative to the root
struct ArcTree {
	TempDir t;
	std::string root = t / "arc";
	explicit ArcTree(const std::vector<std::string> &stamps);  // frame k holds payload(k)
	void put(const std::string &stamp, const std::string &bytes, const std::string &name = "");
};

// Payload helpers: a deterministic 3600-byte payload, and one stream record.
std::string payload(int seed);
std::string payload_levels(unsigned a, unsigned b);  // every point: channel A a, channel B b
std::string record(const std::string &stamp16, const std::string &payload3600);

// The outside readers some checks need (fitsverify, astropy, chromium, tar with zstd): whether
// one is here, a program by its absolute path, or "astropy", the module under /usr/bin/python3.
bool have_reader(const std::string &reader);
// Skips the rest of the test, naming the reader, when it is missing.
#define NEED_READER(reader)                                                    \
	do {                                                                   \
		if (!have_reader(reader))                                      \
			GTEST_SKIP() << (reader) << " is not installed";       \
	} while (0)
