// Writing to the controller only as much as its standard output takes at
// once, so that the relay never waits on a slow reader while there is input
// to take or output to read. This is the one way anything reaches standard
// output once the command runs. The descriptor's flags are shared with the
// controller and stay as they are: a pipe, a terminal or another character
// device is written through a description of the relay's own, opened anew
// non-blocking; a socket is sent to with MSG_DONTWAIT; only a regular file,
// which never keeps a writer waiting for long, is written plainly. Where the
// output cannot be opened anew, or the socket call is refused, one page goes
// at a time once poll says there is room: a pipe with room for one page never
// makes that write wait.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace brindock {

// Decides how standard output is written, opening what that needs. Called
// once the standard descriptors are in place, before anything is closed, so
// that what it opens never takes a standard descriptor's number.
void prepare_output();

// Writes up to `length` bytes to standard output without waiting. Returns the
// count written, or -1 with errno set: EAGAIN (or EINTR) when nothing fits
// now, anything else for a real failure.
ssize_t write_what_fits(const unsigned char* data, std::size_t length);

// write_what_fits for bytes that will never change again: a pipe is handed
// the pages that hold them rather than a copy, and keeps them until they are
// read, so unmapping them afterwards is safe.
ssize_t give_what_fits(const unsigned char* data, std::size_t length);

// True while standard output is a pipe that may be handed pages: then
// send_file_what_fits may be used, and give_what_fits copies nothing.
bool output_takes_pages();

// Sends up to `length` bytes of the file `fd` from `offset` without waiting,
// straight from the page cache; only while output_takes_pages(). Returns as
// write_what_fits (EINTR when page moving was just refused: the caller then
// goes on as without it); 0 when the file has nothing there.
ssize_t send_file_what_fits(int fd, std::uint64_t offset, std::size_t length);

// The ways above, for any descriptor shared with others that is written
// without waiting (brindock's own lines on standard error go the same way).
enum class write_way { undecided, own_description, dont_wait, plain, when_room };

struct unwaiting_output {
    int fd;
    int own = -1;  // the relay's own non-blocking description of it
    write_way way = write_way::undecided;
};

// Writes up to `length` bytes to `output` without waiting, choosing the way
// at the first call. Returns as write_what_fits.
ssize_t write_unwaiting(unwaiting_output& output, const unsigned char* data, std::size_t length);

// Opens the pipe or character device that `fd` (described by `status`) is
// open on anew, non-blocking and close-on-exec, so that not waiting changes
// nothing for whoever shares `fd`; -1 where that cannot be done (no /proc, no
// reader left, a sandbox that refuses it, a device that cannot be opened
// twice).
int open_nonblocking_description(int fd, const struct stat& status);

// Writes up to PIPE_BUF of `length` bytes to `fd` only when poll finds room,
// which a pipe then takes without waiting; -1 with EAGAIN when there is none.
ssize_t write_when_room(int fd, const unsigned char* data, std::size_t length);

// Lets go of standard output: the controller sees its end at once, although
// the relay still runs. Descriptor 1 then stays open on /dev/null.
void close_output();

}  // namespace brindock
