#!/usr/bin/env python3
"""A controller that drives brindock, using only the standard library.

It starts brindock on a command, sends a few packets and the end-of-input
packet, then reads packets back until brindock ends, and prints their
payloads joined. Usage:

    examples/controller.py [path/to/brindock] [command]
"""

import struct
import subprocess
import sys


def send_packet(stream, body):
    # One write per packet, header and body together, as most controllers do.
    stream.write(struct.pack(">I", len(body)) + body)
    stream.flush()


def read_exactly(stream, count):
    data = b""
    while len(data) < count:
        chunk = stream.read(count - len(data))
        if not chunk:
            break
        data += chunk
    return data


def read_packets(stream):
    """Yields each packet's payload until brindock's output ends."""
    while True:
        header = read_exactly(stream, 4)
        if not header:
            return
        if len(header) < 4:
            raise EOFError("output ended inside a header")
        (length,) = struct.unpack(">I", header)
        body = read_exactly(stream, length)
        if len(body) < length:
            raise EOFError("output ended inside a packet")
        yield body


def main():
    brindock = sys.argv[1] if len(sys.argv) > 1 else "build/brindock"
    command = sys.argv[2] if len(sys.argv) > 2 else "tr a-z A-Z"
    relay = subprocess.Popen([brindock, command], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        for line in (b"hello, ", b"packet ", b"world\n"):
            send_packet(relay.stdin, line)
        send_packet(relay.stdin, b"")
        relay.stdin.close()
    except BrokenPipeError:
        # Only a write after the end-of-input packet, or after a long pause
        # once the command has ended, finds brindock's input closed; writes
        # before that always go through, and brindock still forwards
        # everything the command wrote.
        pass
    # Nothing comes back before the end of input, so a controller may write
    # everything first and read afterwards: brindock holds the command's output
    # meanwhile, as far as memory and disk allow.
    output = b"".join(read_packets(relay.stdout))
    status = relay.wait()
    sys.stdout.buffer.write(output)
    return status


if __name__ == "__main__":
    sys.exit(main())
