#pragma once

#include <string>

namespace platform {

// Installs, on every thread, the system call filter the tool lives under
// once start-up is over: polling, writing to standard output and error,
// pausing, signals and the concurrent close are allowed; sending, running a
// program, writing or creating files, tracing and changing identity answer
// EPERM; any other call ends the tool with one line on standard error that
// names it. Empty text, or why it could not be installed.
std::string installSyscallFilter();

}  // namespace platform
