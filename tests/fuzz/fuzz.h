// Shared by the fuzz targets: a check that aborts (so the fuzzer keeps the input), and the
// shape every archive command must have whatever arrived from outside.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#define CHECK(cond)                                                                        \
	do {                                                                               \
		if (!(cond)) {                                                             \
			fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
			abort();                                                           \
		}                                                                          \
	} while (0)

inline bool all_digits(const char *s, size_t n)
{
	for (size_t i = 0; i < n; i++)
		if (s[i] < '0' || s[i] > '9')
			return false;
	return true;
}

// "VERB ROOT/D8/D11/D16.gz" with the names all digits: nothing in it can reach another
// command, and the path cannot leave ROOT (ROOT itself is checked at start).
inline void check_archive_cmd(const std::string &cmd, const std::string &verb, const std::string &root)
{
	CHECK(cmd.rfind(verb + " " + root + "/", 0) == 0);
	std::string rest = cmd.substr(verb.size() + 1 + root.size() + 1);
	CHECK(rest.size() == 8 + 1 + 11 + 1 + 16 + 3);
	CHECK(all_digits(rest.data(), 8) && rest[8] == '/');
	CHECK(all_digits(rest.data() + 9, 11) && rest[20] == '/');
	CHECK(all_digits(rest.data() + 21, 16) && rest.substr(37) == ".gz");
	CHECK(rest.compare(0, 8, rest, 9, 8) == 0 && rest.compare(9, 11, rest, 21, 11) == 0);
}
