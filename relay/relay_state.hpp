// What the relay's one loop knows between its turns, shared by its two sides:
// the input side (the controller's packets to the command) and the output side
// (the command's output to the controller). Each side moves only what can
// move now, and notes what it found it has to wait for; the loop waits for
// exactly that, and for nothing when something moved.
//
// Invariants: nothing is taken in once the end-of-input packet has been
// (`reader.ended`; in channel mode the end of input is a packet among others,
// and control packets are still taken after it); body bytes wait in the
// buffer only while the command's input is open; output leaves only through
// the hold, and only once it may.
//
// The states, as the fields make them. Each "waits" flag is set by the side
// that found it had to wait, and cleared by the one wait when poll says the
// thing is ready; the loop watches only what a flag says it waits for.
//
// | field                    | state it stands for                                  | ends when |
// |--------------------------|------------------------------------------------------|------------------------------------|
// | input                    | feeding: bodies go to the command                    | the end
// packet, the command's end, | |                          | dropping: the command takes no more;
// bodies dropped  | a full hold, the input's end;      | |                          | over:
// standard input closed                          | then dropping or over (for good)   | |
// pending_at < pending_end | bodies taken in and not yet written to the command   | written, or
// dropped at its end     | | input_waits              | standard input had nothing to take | poll
// finds input                   | | child_input_waits        | the command's input pipe is full
// (stuck since ...)   | poll finds room                    | | pipes[i].waits           | that
// output pipe was empty                           | poll finds output                  | |
// pipes[i].left_after_end  | -1 while the command runs; then what is left to read | 0: all of it
// read                  | | controller_waits         | standard output took no more of what may go
// | poll finds room                    | | breaking_deadlock        | output held although it may
// leave, for a stuck input | the hold has emptied               | | output_open              |
// standard output is still written to                  | all forwarded, or the reader gone  | |
// exit_sent                | channel mode: the exit packet is in the hold          | (stays;
// nothing is added after it) | | untold_messages          | channel mode: messages that found no
// room, to count  | their count is in the hold         | | window                   | channel
// mode's credit and what it has paid for       | flow_window.hpp                    |
//
// Output may leave (`output_may_leave`) once streaming or once the input is
// no longer fed; before that every read of the command's output is held.
#pragma once

#include <cstddef>
#include <cstdint>

#include "framing/packet_reader.hpp"
#include "relay/flow_window.hpp"
#include "relay/input_source.hpp"
#include "relay/output_hold.hpp"

namespace brindock {

// Where the controller's input stands: its bodies go to the command; the
// command takes no more, so they are taken in and dropped (a controller that
// is still writing never sees a failed write); or standard input is closed.
enum class input_stage { feeding, dropping, over };

// One of the command's output pipes: its standard output, and in channel mode
// its standard error too, each read into the hold as packets of its own kind.
struct output_pipe {
    int fd = -1;
    unsigned char kind = 0;
    bool waits = false;       // the pipe was empty
    bool seen_ready = false;  // poll just found output waiting
    // Once the command's end is seen: what the pipe held then, the most that
    // is still forwarded (the relay's own copy of the pipe's write end means
    // that no end of file ever comes). -1 before.
    std::int64_t left_after_end = -1;
};

struct relay_state {
    input_source& source;
    unsigned char* buffer;  // the relay buffer: bodies taken in, not yet written
    int child_input;        // -1 once closed
    output_pipe pipes[2];   // the second only in channel mode
    output_hold& hold;
    bool streaming;  // output leaves while input still flows
    bool channels;   // bodies carry a kind byte; see channel_packets.hpp

    packet_reader reader{};
    input_stage input = input_stage::feeding;
    std::size_t pending_at = 0;  // the bodies in the buffer still to write
    std::size_t pending_end = 0;
    bool input_waits = false;         // nothing to take in until poll says so
    bool input_seen_ready = false;    // poll just said so
    bool child_input_waits = false;   // the command's input pipe is full
    std::int64_t stuck_since_ms = 0;  // when it was last found full
    std::int64_t last_input_ms = 0;   // input last taken in or seen waiting

    bool output_open = true;        // standard output is still written to
    bool controller_waits = false;  // standard output took no more
    // Output is being held although it may leave, to let the command's stuck
    // input move; until the hold has emptied again.
    bool breaking_deadlock = false;
    bool exit_sent = false;  // channel mode: the exit packet is in the hold
    std::uint64_t untold_messages = 0;
    flow_window window{};
};

// Output may go to the controller now.
inline bool output_may_leave(const relay_state& state)
{
    return state.streaming || state.input != input_stage::feeding;
}

}  // namespace brindock
