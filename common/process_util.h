// Running outside programs: fork and exec with an argument vector, never
// through a shell, so no outside text is ever parsed as a command.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace pnocamera {

// Starts argv[0] (looked up on PATH) with argv. Returns the child's pid, or -1
// when the fork failed or the program could not be executed (errno tells
// why); a child whose exec failed has already been reaped then.
pid_t spawnProcess(const std::vector<std::string>& argv);

// Runs argv to its end. Returns its wait status, or -1 when it did not start.
int runProcess(const std::vector<std::string>& argv);

// True when a wait status is a normal exit with status 0.
bool exitedCleanly(int status);

// Catches signo with a handler that does nothing: the signal no longer ends
// the process, and programs it starts get the default action back.
void catchAndIgnore(int signo);

}  // namespace pnocamera
