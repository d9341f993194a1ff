#include "cli.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void die(const char *fmt, ...)
{
	int err = errno;
	va_list ap;
	fprintf(stderr, "%s: ", program_invocation_short_name);
	va_start(ap, fmt);
	vfprintf(stderr, fmt, ap);
	va_end(ap);
	size_t n = strlen(fmt);
	if (n > 0 && fmt[n - 1] == ':')
		fprintf(stderr, " %s", strerror(err));
	fputc('\n', stderr);
	exit(1);
}

void usage(const char *line)
{
	fprintf(stderr, "%s\n", line);
	exit(2);
}

int arg_int(const char *s, int *v)
{
	const char *p = s;
	if (*p == '-' || *p == '+')
		p++;
	if (*p == '\0')
		return 0;
	for (const char *q = p; *q; q++)
		if (*q < '0' || *q > '9')
			return 0;
	errno = 0;
	long l = strtol(s, nullptr, 10);
	if (errno || l < INT_MIN || l > INT_MAX)
		return 0;
	*v = (int)l;
	return 1;
}
