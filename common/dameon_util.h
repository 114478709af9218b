// Daemon set-up, lock and pid files, and shell command output.
#pragma once

#include <string>

// Detaches the process; its standard streams then append to log_path.
// Returns the last descriptor made for the standard streams.
int daemonize(const char* cmd, const char* log_path);

// Takes an exclusive lock on path and writes the pid into it: 0 held, -1 not.
int lockfile(const char* path);

// 0 when this process now holds the lock on path, 1 when another one does.
int already_running(const char* path);

// Runs cmd through the shell and returns what it printed.
std::string readCmdOutput(const std::string& cmd);
