#!/usr/bin/env python3
"""A conversation with a command through brindock in channel mode.

It starts brindock with BRINDOCK_CHANNELS=1, where every packet opens with a
kind byte, sends one request at a time and reads its answer on the command's
standard output and its note on standard error, each from packets of its own
kind; then it interrupts the command with SIGINT and reads on to the exit
packet, which is always the last. Usage:

    examples/channels.py [path/to/brindock] [command]
"""

import os
import signal
import subprocess
import sys

from controller import read_packets, send_packet

INPUT, END, SIGNAL = 0, 1, 2  # the controller's kinds
OUTPUT, ERROR, EXIT, MESSAGE = 0, 1, 2, 3  # brindock's kinds

COMMAND = (
    "trap 'echo interrupted >&2; exit 130' INT; "
    'while read -r line; do echo "you said: $line"; echo "noted: $line" >&2; done'
)


class Channel:
    """brindock's packets, split by kind; lines wait until they are whole."""

    def __init__(self, stream):
        self.packets = read_packets(stream)
        self.pending = {OUTPUT: b"", ERROR: b"", MESSAGE: b""}
        self.exit = None

    def read_line(self, kind):
        while b"\n" not in self.pending[kind]:
            self.take_one()
        line, _, self.pending[kind] = self.pending[kind].partition(b"\n")
        return line.decode()

    def read_to_exit(self):
        while self.exit is None:
            self.take_one()

    def take_one(self):
        body = next(self.packets)
        if body[0] == EXIT:
            self.exit = body[1:]
        else:
            self.pending[body[0]] += body[1:]


def describe_exit(payload):
    how, number = payload[0], payload[1]
    if how == 0:
        return "exited with %d" % number
    return "killed by %s" % signal.Signals(number).name


def main():
    brindock = sys.argv[1] if len(sys.argv) > 1 else "build/brindock"
    command = sys.argv[2] if len(sys.argv) > 2 else COMMAND
    env = dict(os.environ, BRINDOCK_CHANNELS="1")
    relay = subprocess.Popen(
        [brindock, command], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env
    )
    channel = Channel(relay.stdout)
    for request in (b"hello", b"how are you?"):
        send_packet(relay.stdin, bytes([INPUT]) + request + b"\n")
        print(channel.read_line(OUTPUT))
        print("  standard error: " + channel.read_line(ERROR), flush=True)
    send_packet(relay.stdin, bytes([SIGNAL, signal.SIGINT]))
    channel.read_to_exit()
    for line in channel.pending[ERROR].decode().splitlines():
        print("  standard error: " + line)
    for line in channel.pending[MESSAGE].decode().splitlines():
        print("  brindock: " + line)
    print(describe_exit(channel.exit))
    relay.stdin.close()
    # Channel mode is tied: brindock's status is the command's as well.
    return relay.wait()


if __name__ == "__main__":
    sys.exit(main())
