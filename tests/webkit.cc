#include "webkit.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

Proc start_pipe_web(const std::vector<std::string> &args, int &port, const std::vector<std::string> &env, int files)
{
	Spawn s;
	s.argv = {bin("pipe-web"), "-l", "127.0.0.1:0"};
	s.argv.insert(s.argv.end(), args.begin(), args.end());
	if (files) {
		std::string cmd = "ulimit -n " + std::to_string(files) + " && exec \"$0\" \"$@\"";
		s.argv.insert(s.argv.begin(), {"/bin/sh", "-c", cmd});
	}
	s.env = env;
	if (std::none_of(env.begin(), env.end(), [](const std::string &e) { return e.rfind("STATION_NAME=", 0) == 0; }))
		s.env.push_back("STATION_NAME=");
	s.pipe_in = true;
	Proc p = start(s);
	// Its first line, read a byte at a time so that nothing after it is taken from the pipe.
	const std::string mark = "pipe-web: listening on 127.0.0.1:";
	std::string said;
	while (said.find('\n') == std::string::npos) {
		std::string c = read_n(p.err, 1, 10000);
		if (c.empty())
			break;
		said += c;
	}
	port = said.rfind(mark, 0) == 0 ? atoi(said.c_str() + mark.size()) : 0;
	if (!port)
		throw std::runtime_error("pipe-web said no port: " + said + drain(p.err));
	return p;
}

int dial(int port, const char *from, int rcvbuf)
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	if (fd < 0)
		return -1;
	if (rcvbuf && setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) != 0) {
		close(fd);
		return -1;
	}
	struct sockaddr_in a = {};
	a.sin_family = AF_INET;
	inet_pton(AF_INET, from, &a.sin_addr);
	if (bind(fd, (struct sockaddr *)&a, sizeof a) != 0) {
		close(fd);
		return -1;
	}
	a.sin_port = htons((unsigned short)port);
	inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
	if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
		close(fd);
		return -1;
	}
	return fd;
}

std::string talk(int port, const std::string &bytes, int ms, const char *from)
{
	int fd = dial(port, from);
	if (fd < 0)
		return "(no connection)";
	(void)!send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
	shutdown(fd, SHUT_WR);  // all said: the server sees the end at once
	std::string out = read_to_end(fd, ms);
	close(fd);
	return out;
}

std::string request(const std::string &path)
{
	return "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
}

// Undoes chunked transfer coding.
static std::string unchunk(const std::string &b)
{
	std::string out;
	size_t at = 0;
	for (;;) {
		size_t nl = b.find("\r\n", at);
		if (nl == std::string::npos)
			return out;
		size_t n = strtoul(b.c_str() + at, nullptr, 16);
		if (n == 0)
			return out;
		out += b.substr(nl + 2, n);
		at = nl + 2 + n + 2;
	}
}

Got parse(const std::string &response)
{
	Got g;
	size_t at = response.find("\r\n\r\n");
	if (response.size() < 12 || at == std::string::npos)
		return g;
	g.status = atoi(response.c_str() + 9);
	g.head = response.substr(0, at + 2);
	g.body = response.substr(at + 4);
	if (g.head.find("chunked") != std::string::npos)
		g.body = unchunk(g.body);
	return g;
}

Got get(int port, const std::string &path, const char *from, int ms)
{
	return parse(talk(port, request(path), ms, from));
}
