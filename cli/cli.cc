#include "cli.h"
#include "progress.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

static void say(const char *fmt, va_list ap)
{
	int err = errno;
	progress_clear();  // a line of progress on a terminal gives way to the message
	fprintf(stderr, "%s: ", program_invocation_short_name);
	vfprintf(stderr, fmt, ap);
	size_t n = strlen(fmt);
	if (n > 0 && fmt[n - 1] == ':')
		fprintf(stderr, " %s", strerror(err));
	fputc('\n', stderr);
}

void die(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	say(fmt, ap);
	va_end(ap);
	exit(1);
}

void warn(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	say(fmt, ap);
	va_end(ap);
}

void help_or_version(int argc, char **argv, const char *line, const char *help)
{
	if (argc < 2)
		return;
	if (strcmp(argv[1], "--help") == 0) {
		printf("%s\n%s", line, help);
		exit(fflush(stdout) == 0 ? 0 : 1);
	}
	if (strcmp(argv[1], "--version") == 0) {
		printf("%s %s\n", program_invocation_short_name, ZQ_VERSION);
		exit(fflush(stdout) == 0 ? 0 : 1);
	}
}

int arg_positive(const char *s, double *v)
{
	int points = 0, digits = 0;
	for (const char *p = s; *p; p++) {
		if (*p == '.')
			points++;
		else if (*p >= '0' && *p <= '9')
			digits++;
		else
			return 0;
	}
	if (digits == 0 || points > 1)
		return 0;
	double d = strtod(s, nullptr);
	if (!(d > 0) || d > 1e9)
		return 0;
	*v = d;
	return 1;
}

void usage(const char *line)
{
	fprintf(stderr, "%s\n", line);
	exit(2);
}

void usage_why(const char *line, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	fprintf(stderr, "%s: ", line);
	vfprintf(stderr, fmt, ap);
	fputc('\n', stderr);
	va_end(ap);
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

const char STAMPS_NOT_TIMES[] = "stamps not 16 digits of a real time";
const char STAMPS_AHEAD[] = "stamps more than 75 minutes ahead of the host's clock";

void warn_skipped(long n, const char *why)
{
	if (n > 0)
		warn("%ld records skipped: %s", n, why);
}

void need_dir(const char *path)
{
	struct stat st;
	if (stat(path, &st) != 0)
		die("cannot open %s:", path);
	if (!S_ISDIR(st.st_mode))
		die("%s: not a directory", path);
}

bool station_name_ok(const char *name)
{
	size_t n = strlen(name);
	bool ok = n > 0 && n <= 40 && name[0] != '.' && name[0] != '-';
	for (size_t i = 0; ok && i < n; i++)
		ok = isalnum((unsigned char)name[i]) || strchr("._-+", name[i]);
	return ok;
}
