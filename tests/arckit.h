// Test kit for the archive's upkeep (arc-pack, arc-prune, arc-stat --health): real tmpfs file
// systems of a given size, periods of frames written loose until the disk refuses, the health
// report, and whether a program stopped itself at a step.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "kit.h"

// A tmpfs of the given options at a fresh directory, unmounted at the end; ok false when this
// machine does not let the test mount.
struct Tmpfs {
	TempDir t;
	std::string dir = t / "fs";
	bool ok = false;
	explicit Tmpfs(const std::string &opts);
	~Tmpfs();
};

// Writes a period of frames loose under root, n of them from the period's start, all alike or
// each its own; false at the first that cannot be written.
bool write_period(const std::string &root, const std::string &period, int n, int *stored, bool distinct = false);

// arc-stat --health --json ROOT: its exit status, its output into out.
int health(const std::string &root, std::string *out = nullptr);

// Whether the process is stopped (state T in /proc/PID/stat).
bool stopped(pid_t pid);

// argv run as the unprivileged user nobody (permissions do not stop root), or as it is when
// the tests do not run as root; empty when there is no way to drop privileges here.
std::vector<std::string> unprivileged(std::vector<std::string> argv);
