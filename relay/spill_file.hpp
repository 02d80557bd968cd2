// The spill file: held output beyond what the hold keeps in memory, stored in
// an unnamed temporary file of the relay's own. It is made on the first append,
// in $TMPDIR when that is set, else (or where no file with room can be made
// there) in /var/tmp, then /tmp. It has no name from the start (or loses it at
// once), so nothing is left behind however the relay ends. It grows while its
// file system keeps a reserve free (1 GiB, or 5 % of a larger file system), and
// never past the file size limit or its cap; past those, or after any failure,
// it takes nothing more.
//
// It is read from the front while it still grows at the back: a relay that
// forwards output while input flows sends what the controller takes and keeps
// the rest. Once all of it has been sent it starts again from empty.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindock {

struct spill_file {
    int fd = -1;             // -1 until the first append makes the file
    bool stopped = false;    // takes nothing more: at a bound, or after a failure
    std::uint64_t size = 0;  // bytes appended so far, all of them sent in order
    std::uint64_t sent = 0;  // bytes from the start already sent; <= size
    std::uint64_t cap = 0;   // most bytes the file may grow to; 0: no file at all
};

// Appends up to `length` bytes, making the file first if there is none yet.
// Returns how many were stored: fewer than `length` (possibly none) when a
// bound is reached or something fails, and from then on the file is stopped.
std::size_t spill_append(spill_file& spill, const unsigned char* data, std::size_t length);

// Sends what standard output takes now of the bytes not yet sent, without
// waiting and no more than `budget`, which it lowers by what it sends; once
// all are sent the file is emptied for reuse. Returns true once all are sent,
// false with errno set when standard output has to wait, the budget is spent
// (EAGAIN), a write fails for real, or the file cannot be read back.
// `drop`: the bytes are passed over instead of sent.
bool spill_send_ready(spill_file& spill, std::uint64_t& budget, bool drop = false);

// Closes the file, if any, without sending it; it takes nothing more.
void spill_drop(spill_file& spill);

}  // namespace brindock
