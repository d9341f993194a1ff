// Test kit for pipe-web: start the real server on a port of the system's choosing, dial it over
// loopback from a chosen address, and ask it for pages over plain HTTP, every wait bounded.
#pragma once

#include <string>
#include <vector>

#include "kit.h"

// pipe-web -l 127.0.0.1:0 ARGS..., its standard input piped to us; port set to the one it says
// it listens on ("pipe-web: listening on 127.0.0.1:PORT"), so that no port picked here can be
// taken by another before it binds. env as given, STATION_NAME empty unless set there (the
// default title, whatever the test's environment); files: the descriptors it may have
// (ulimit -n), 0 for as many as it likes. Throws when it names no port within 10 s.
Proc start_pipe_web(const std::vector<std::string> &args, int &port, const std::vector<std::string> &env = {},
		    int files = 0);

// A TCP connection to the port on loopback, from the given source address, with a receiving
// buffer of rcvbuf bytes (0: the system's); -1 if none.
int dial(int port, const char *from = "127.0.0.1", int rcvbuf = 0);

// Sends bytes on a new connection, ends its side, and reads until it closes (or ms pass).
std::string talk(int port, const std::string &bytes, int ms = 3000, const char *from = "127.0.0.1");

// A GET of the path, the connection closed after the answer.
std::string request(const std::string &path);

// An HTTP answer: its status (0 if none came), its status line and header lines (each with its
// CRLF), and its body, unchunked when it came in chunks.
struct Got {
	int status = 0;
	std::string head, body;
};
Got parse(const std::string &response);

// A GET of the path from the given address, its answer read until the server closes (or ms pass).
Got get(int port, const std::string &path, const char *from = "127.0.0.1", int ms = 30000);
