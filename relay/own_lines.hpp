// brindock's own lines on standard error: refusals, values not understood,
// why the input ended early. Standard error is shared with the command and is
// often a pipe that nobody reads, so a line never keeps the relay waiting: it
// goes out as far as standard error takes it at once, through a non-blocking
// description of the relay's own where one can be had (the flags of the
// shared one stay as they are), otherwise only when poll finds room for it. A
// line that does not fit is dropped and counted, and the count is said before
// the next line that fits.
#pragma once

#include <cstddef>

namespace brindock {

// Writes `line`, `length` bytes ending in a line feed, without waiting.
void say_line(const char* line, std::size_t length);

}  // namespace brindock
