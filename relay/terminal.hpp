// Terminal mode, asked for with BRINDOCK_PTY: the command runs on a new
// pseudo-terminal, in a session of its own with that terminal as its
// controlling terminal, so that programs that buffer their output unless it
// goes to a terminal answer at once.
//
// With BRINDOCK_PTY=1 the terminal is the command's standard output and
// standard error (outside channel mode, where standard error keeps its pipe);
// standard input stays a pipe, so its bytes and its end stay exact. With
// BRINDOCK_PTY=all it is standard input too, with the terminal's own rules:
// canonical lines up to 4095 bytes, its control characters, and the end of
// input given as its end-of-file character at a line's start.
//
// The terminal adds nothing to the output: no carriage return before a line
// feed, no echo. The relay keeps only the master; once the last holder of the
// terminal has closed it, the master reports EIO, after all it still held.
#pragma once

#include <cstddef>

namespace brindock {

enum class terminal_strength { off, output, all };

// What BRINDOCK_PTY asks for: "1" the output on a terminal, "all" the input
// too. Unset, empty or "0" leaves it off; any other value leaves it off too
// and says so in one line on standard error. The variable is removed, and so
// is BRINDOCK_PTY_SIZE, which is read here when the mode is on.
terminal_strength take_terminal_request();

// Opens the terminal, configured and sized, for `strength`. The master is
// non-blocking, and both ends are close-on-exec. Returns the slave for the
// launcher, or -1 with errno set (nothing is left open then).
int open_terminal(terminal_strength strength);

// The master, or -1 in the other modes.
int terminal_master();

// Whether the terminal is the command's standard input as well.
bool terminal_takes_input();

// In the child between fork and exec, async-signal-safe: starts a session of
// its own with the terminal on `slave` as its controlling terminal. The
// standard descriptors are put in place by the caller.
void take_controlling_terminal(int slave);

// The parent's copy of the slave is closed once the child has its own, so
// that the command's end shows on the master.
void close_terminal_slave(int slave);

// Notes the bytes just written to the terminal's input, to know whether the
// end of input comes at a line's start.
void note_terminal_input(const unsigned char* data, std::size_t length);

// The bytes that give the end of input on the terminal: the end-of-file
// character, twice after a partial line (the first pushes the line to its
// reader, the second is read as the end). Returns their count: 0 once they
// have been given.
std::size_t terminal_end_of_input(unsigned char* bytes);

// Resizes the terminal; the kernel sends the command's foreground group
// SIGWINCH. Returns false with errno set when it cannot be done.
bool resize_terminal(unsigned rows, unsigned columns);

// True when `fd` is the terminal's master.
bool is_terminal_master(int fd);

}  // namespace brindock
