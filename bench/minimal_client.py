#!/usr/bin/env python3
"""The floor a sequential client can reach: one command, then its whole
answer, nothing stored, no status, no bookkeeping. The peer benchmark runs it
beside Brix so that Brix's own overhead per message can be read off.

    minimal_client.py pop3 PORT USER PASS COUNT
    minimal_client.py nntp PORT GROUP COUNT
"""

import socket
import sys


class Session:
    """Lines from the server; the ACK of each segment goes out at once, so
    that no answer waits for a delayed ACK (as Brix does it)."""

    def __init__(self, port):
        self.s = socket.create_connection(("127.0.0.1", port))
        self.s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""
        self.pos = 0

    def readline(self):
        while True:
            end = self.buf.find(b"\n", self.pos)
            if end >= 0:
                line = self.buf[self.pos:end + 1]
                self.pos = end + 1
                return line
            data = self.s.recv(65536)
            self.s.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
            if not data:
                sys.exit("connection closed in an answer")
            self.buf = self.buf[self.pos:] + data
            self.pos = 0

    def command(self, text, ok):
        self.s.sendall(text.encode() + b"\r\n")
        line = self.readline()
        if not line.startswith(ok):
            sys.exit(f"{text}: {line!r}")
        return line

    def body(self):
        while self.readline() != b".\r\n":
            pass


def pop3(port, user, password, count):
    s = Session(port)
    s.readline()
    s.command("USER " + user, b"+OK")
    s.command("PASS " + password, b"+OK")
    for i in range(1, count + 1):
        s.command(f"RETR {i}", b"+OK")
        s.body()
    s.command("QUIT", b"+OK")


def nntp(port, group, count):
    s = Session(port)
    s.readline()
    first = int(s.command("GROUP " + group, b"211").split()[2])
    for n in range(first, first + count):
        s.command(f"ARTICLE {n}", b"220")
        s.body()
    s.command("QUIT", b"205")


if __name__ == "__main__":
    if sys.argv[1] == "pop3":
        pop3(int(sys.argv[2]), sys.argv[3], sys.argv[4], int(sys.argv[5]))
    else:
        nntp(int(sys.argv[2]), sys.argv[3], int(sys.argv[4]))
