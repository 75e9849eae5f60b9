#!/usr/bin/env python3
"""The remote Bluetooth device of the test VM: an RFCOMM server on the second
emulated controller, driven by the test program through its standard streams.

It listens on each channel named on the command line and takes one client per
channel at a time. On each channel given with --mute it accepts a client and never
reads from it, as a device that has stopped taking bytes. With --paired-only it lets
in only a device it is paired with, as a serial module does: the link must be
authenticated and encrypted before a client is accepted. Everything it notices is one line on standard output:

    ready                   listening on every channel
    connected CH            a client's link on channel CH is up
    rx CH HEX               bytes received on channel CH
    closed CH               the client on channel CH went away
    refused CH              a second client on channel CH was turned away
    error CH ERRNO          accepting or sending on channel CH failed

and it obeys one command a line on standard input:

    send CH HEX             send these bytes to the client on channel CH
    drop                    close every client's connection (the remote hangs up)
    quit                    close everything and exit (also at end of input)
"""
import argparse
import os
import select
import socket
import struct
import sys

# setsockopt(SOL_BLUETOOTH, BT_SECURITY, struct bt_security { level, key_size }):
# "medium" asks for an authenticated, encrypted link, which a legacy device has only
# with a link key, that is once paired.
SOL_BLUETOOTH = 274
BT_SECURITY = 4
BT_SECURITY_MEDIUM = 2


def say(*words):
    sys.stdout.write(" ".join(str(w) for w in words) + "\n")
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--mute", type=int, action="append", default=[])
    parser.add_argument("--paired-only", action="store_true")
    parser.add_argument("channels", type=int, nargs="+")
    args = parser.parse_args()

    listeners = {}
    for channel in args.channels + args.mute:
        server = socket.socket(socket.AF_BLUETOOTH, socket.SOCK_STREAM, socket.BTPROTO_RFCOMM)
        if args.paired_only:
            server.setsockopt(SOL_BLUETOOTH, BT_SECURITY, struct.pack("BB", BT_SECURITY_MEDIUM, 0))
        server.bind((args.address, channel))
        server.listen(1)
        listeners[server] = channel
    clients = {}  # socket -> channel
    muted = []  # clients never read from, kept open
    commands = b""
    say("ready")

    while True:
        watched = list(listeners) + list(clients) + [sys.stdin.buffer]
        readable, _, _ = select.select(watched, [], [])
        for ready in readable:
            if ready in listeners:
                channel = listeners[ready]
                try:
                    client, _ = ready.accept()
                except OSError as error:
                    say("error", channel, error.errno)
                    continue
                if channel in args.mute:
                    muted.append(client)
                    say("connected", channel)
                elif channel in clients.values():
                    client.close()
                    say("refused", channel)
                else:
                    clients[client] = channel
                    say("connected", channel)
            elif ready in clients:
                channel = clients[ready]
                try:
                    data = ready.recv(4096)
                except OSError:
                    data = b""
                if data:
                    say("rx", channel, data.hex())
                else:
                    del clients[ready]
                    ready.close()
                    say("closed", channel)
            else:
                chunk = os.read(sys.stdin.fileno(), 4096)
                if not chunk:
                    return 0
                commands += chunk
                while b"\n" in commands:
                    line, commands = commands.split(b"\n", 1)
                    words = line.decode().split()
                    if not words:
                        continue
                    if words[0] == "send":
                        channel, data = int(words[1]), bytes.fromhex(words[2])
                        for client, on in clients.items():
                            if on == channel:
                                try:
                                    client.sendall(data)
                                except OSError as error:
                                    say("error", channel, error.errno)
                    elif words[0] == "drop":
                        for client, channel in list(clients.items()):
                            client.close()
                            say("closed", channel)
                        clients.clear()
                    elif words[0] == "quit":
                        return 0


if __name__ == "__main__":
    sys.exit(main())
