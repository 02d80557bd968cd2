#!/usr/bin/env python3
"""A conversation with a long-lived command through brindock in stream mode.

It starts brindock with BRINDOCK_STREAM=1 on a command that answers each line
at once, sends one request at a time and reads its answer before the next,
then sends the end-of-input packet and reads what is left until brindock
ends. It prints each answer as it comes. Usage:

    examples/conversation.py [path/to/brindock] [command] [seconds per answer]

It gives up with a message, and status 1, when an answer takes longer than
the time given (5 seconds unless said), as a command that buffers its output
makes it do, or when brindock's output ends before an answer, as when the
command is missing or ends early.
"""

import os
import queue
import subprocess
import sys
import threading

from controller import read_packets, send_packet


class ConversationFailed(Exception):
    pass


def start_reader(stream):
    """Reads packets on a thread of their own, so that waiting for an answer
    can have a time limit. None in the queue marks the end of the output."""
    packets = queue.Queue()

    def read_all():
        try:
            for body in read_packets(stream):
                packets.put(body)
        except EOFError:
            pass  # a cut packet: the output ended all the same
        packets.put(None)

    threading.Thread(target=read_all, daemon=True).start()
    return packets


def read_line(packets, pending, seconds, request):
    """One line of the command's output. Packets follow the command's writes,
    not its lines, so bytes past the line wait in `pending` for the next."""
    while b"\n" not in pending:
        try:
            body = packets.get(timeout=seconds)
        except queue.Empty:
            raise ConversationFailed(
                "no answer to %r within %g s: does the command buffer its output? "
                "(see 'A command that buffers' in the README)" % (request, seconds)
            ) from None
        if body is None:
            raise ConversationFailed(
                "the output ended before the answer to %r: the command is missing "
                "or ended early (its own message, if any, is on standard error)" % request
            )
        pending += body
    line, _, rest = pending.partition(b"\n")
    return line, rest


def converse(relay, seconds):
    packets = start_reader(relay.stdout)
    pending = b""
    for request in (b"hello", b"how are you?", b"goodbye"):
        try:
            send_packet(relay.stdin, request + b"\n")
        except BrokenPipeError:
            raise ConversationFailed(
                "brindock took no more input before %r: the command ended early" % request
            ) from None
        answer, pending = read_line(packets, pending, seconds, request.decode())
        print(answer.decode(errors="replace"), flush=True)
    send_packet(relay.stdin, b"")
    relay.stdin.close()
    rest = pending
    for body in iter(packets.get, None):
        rest += body
    if rest:
        raise ConversationFailed("output after the last answer: %r" % rest)


def main():
    brindock = sys.argv[1] if len(sys.argv) > 1 else "build/brindock"
    # A pipe makes most programs buffer their output; sed -u answers each line.
    command = sys.argv[2] if len(sys.argv) > 2 else "sed -u 's/^/you said: /'"
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 5.0
    env = dict(os.environ, BRINDOCK_STREAM="1")
    try:
        relay = subprocess.Popen(
            [brindock, command], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env
        )
    except OSError as error:
        print("conversation: cannot start %s: %s" % (brindock, error.strerror), file=sys.stderr)
        return 1
    try:
        converse(relay, seconds)
    except ConversationFailed as failure:
        print("conversation: %s" % failure, file=sys.stderr)
        # Ending the input lets a command that waits for more end by itself.
        try:
            relay.stdin.close()
        except BrokenPipeError:
            pass
        try:
            relay.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            relay.kill()
            relay.wait()
        return 1
    return relay.wait()


if __name__ == "__main__":
    sys.exit(main())
