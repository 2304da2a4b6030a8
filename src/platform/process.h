#pragma once

#include <atomic>
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

// This machine's name on the network ("bench-3"), as UTF-8; "" when the system does not say.
std::string hostName();

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

// The requests from outside to end a console program: Ctrl+C, a terminal or SSH session that
// closes, a kill, logoff and shutdown. From now on each of them raises `*flag` and nothing else, so
// that the program ends by its own road (the port put back, its last words written) instead of
// dying where it stands. On POSIX: SIGINT, SIGTERM, SIGHUP and SIGQUIT, those of them not ignored
// when the program started (nohup, a background job). On Windows: Ctrl+C, Ctrl+Break, the console
// closing, logoff and shutdown; the system ends the process as soon as the handler of the last
// three returns, so that handler waits (at most kStopGraceMs) until stopRequestsHandled(). `flag`
// lives as long as the process. Call once, from main().
void watchStopRequests(std::atomic<bool>* flag);

// How many requests to end have come since watchStopRequests(): a station takes no new units at
// the first and interrupts the updates under way at the second. Any thread.
int stopRequestCount();

// Says that the program has done what it must before it ends; the handlers that wait for it
// return. Any thread.
void stopRequestsHandled();

// How long a Windows handler for a closing console waits for stopRequestsHandled().
inline constexpr int kStopGraceMs = 10000;

// Runs the handler that watchStopRequests() installed for the request `code` (a POSIX signal
// number, or a Windows console control event such as CTRL_BREAK_EVENT) on the calling thread, as
// the system would, and returns what the handler returns to the system (true: handled). For
// tests: Wine delivers no console control events to a program it runs.
bool runStopHandler(int code);

// The width in columns of the terminal on descriptor `fd`, or 0 when it is none or does not say.
int terminalColumns(int fd);

// The height in lines of the terminal on descriptor `fd`, or 0 when it is none or does not say.
int terminalRows(int fd);

// True when text written to descriptor `fd` reaches a terminal that obeys the cursor's movements
// (ANSI/VT escape sequences: up a line, erase a line). On Windows this switches the console's
// virtual terminal processing on where the console has it. False for a pipe, a file, a terminal
// of TERM=dumb, and a console without it.
bool terminalMovesCursor(int fd);

// True when descriptors `a` and `b` lead to the same file, pipe or terminal (`2>&1`), so that
// the order of what is written to them shows.
bool sameOutput(int a, int b);

// Waits up to `timeoutMs` until a write to `fd` (a non-blocking descriptor that was full) can take
// bytes again. False on time-out or when the descriptor failed.
bool waitWritable(int fd, int timeoutMs);

// True when `path` leads to the terminal this process is run from (its controlling terminal, or
// the terminal of its standard input, output or error), by whatever name: a link to it, /dev/tty,
// /dev/stdin, "CON". Used as a serial port, its raw mode would turn Ctrl+C into a data byte.
bool isOwnTerminal(const std::string& path);

}  // namespace kestrel
