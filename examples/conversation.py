#!/usr/bin/env python3
"""A conversation with a long-lived command through brindock in stream mode.

It starts brindock with BRINDOCK_STREAM=1 on a command that answers each line
at once, sends one request at a time and reads its answer before the next,
then sends the end-of-input packet and reads what is left until brindock
ends. It prints each answer as it comes. Usage:

    examples/conversation.py [path/to/brindock] [command]
"""

import os
import subprocess
import sys

from controller import read_packets, send_packet


def read_line(packets, pending):
    """One line of the command's output. Packets follow the command's writes,
    not its lines, so bytes past the line wait in `pending` for the next."""
    while b"\n" not in pending:
        pending += next(packets)
    line, _, rest = pending.partition(b"\n")
    return line, rest


def main():
    brindock = sys.argv[1] if len(sys.argv) > 1 else "build/brindock"
    # A pipe makes most programs buffer their output; sed -u answers each line.
    command = sys.argv[2] if len(sys.argv) > 2 else "sed -u 's/^/you said: /'"
    env = dict(os.environ, BRINDOCK_STREAM="1")
    relay = subprocess.Popen(
        [brindock, command], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env
    )
    packets = read_packets(relay.stdout)
    pending = b""
    for request in (b"hello", b"how are you?", b"goodbye"):
        send_packet(relay.stdin, request + b"\n")
        answer, pending = read_line(packets, pending)
        print(answer.decode(), flush=True)
    send_packet(relay.stdin, b"")
    relay.stdin.close()
    rest = pending + b"".join(packets)
    status = relay.wait()
    if rest:
        raise ValueError("output after the last answer: %r" % rest)
    return status


if __name__ == "__main__":
    sys.exit(main())
