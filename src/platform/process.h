#pragma once

#include <string>
#include <vector>

namespace kestrel {

// The system's words for its error number `code` (errno, or Windows' error code).
std::string systemErrorText(int code);

// Opens the null device on each of the standard descriptors (input, output, error) that is
// closed, so that nothing this program opens later takes one of their numbers: a serial port
// opened as descriptor 1 would receive everything printed. Call first in main(), before anything
// is opened.
void ensureStandardDescriptors();

// Output to a pipe whose reader has gone fails with an error instead of ending the process.
void ignoreBrokenPipes();

// A write past the file size limit (`ulimit -f`) fails with an error (EFBIG) instead of ending
// the process, so the image file's writer can clean up and say why.
void ignoreFileSizeLimit();

// The program's arguments after its name, as UTF-8 (on Windows from the wide command line, since
// `argv` holds them in the system's code page).
std::vector<std::string> commandLineArguments(int argc, char** argv);

// True when standard output is a terminal (a console).
bool stdoutIsTerminal();

// Termination requests from outside a program with an event loop: on POSIX the signals SIGTERM,
// SIGHUP (the session or its terminal went away), SIGINT and SIGQUIT, those of them not ignored
// when the program started. After the first call such a request no longer ends the process: its
// signal is noted in a pipe, whose reading end this returns (non-blocking, closed on exec), for
// the event loop to watch; the program then ends in good order. -1 where the platform has no such
// requests (a Windows window hears of a session's end through its messages) or the pipe cannot be
// had. Main thread; later calls return the same descriptor.
int watchTerminationRequests();

// The signal number of one noted termination request, taken from the pipe; 0 when none waits.
int takeTerminationRequest();

}  // namespace kestrel
