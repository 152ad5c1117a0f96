#!/usr/bin/env python3
"""Stands at the drive's design address, 10.10.10.10:7775, inside the network
namespace that scripts/setup's kestrel_in_netns makes, where that address sits
on loopback. Nothing of ours may ever send there, so every datagram that
arrives is written as a line into FILE, with the process that sent it when it
can still be found; kestrel_in_netns fails the run when FILE is not empty.

  netns_catcher.py FILE     (FILE appears, empty, once the socket is bound)

Standard library only.
"""

import os
import signal
import socket
import sys

ADDRESS = ("10.10.10.10", 7775)


def holder(port):
    """The pid of a process that holds a UDP socket on local port PORT."""
    inodes = set()
    with open("/proc/net/udp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == port:
                inodes.add("socket:[%s]" % fields[9])
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if int(pid) == os.getpid():
            continue
        try:
            fds = os.listdir("/proc/%s/fd" % pid)
            if any(os.readlink("/proc/%s/fd/%s" % (pid, fd)) in inodes for fd in fds):
                return int(pid)
        except OSError:
            continue
    return None


def lineage(pid):
    """The sender's command line, then its parents' program names up to the
    command the namespace runs (whose shell started this catcher too): which
    test or script sent it."""
    names = []
    while pid and pid > 1 and pid != os.getppid():
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                argv = f.read().decode("utf-8", "replace").split("\0")[:-1]
            with open("/proc/%d/stat" % pid) as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
        except OSError:
            break
        if not argv:
            break
        program = os.path.basename(argv[0])
        if not names:
            names.append(" ".join(" ".join([program] + argv[1:]).split())[:160])
        else:  # a script is named by its file, not by its interpreter
            script = program.startswith("python") and len(argv) > 1
            names.append(os.path.basename(argv[1]) if script else program)
        pid = parent
    return " < ".join(names) if names else "a process already gone"


def main():
    out = sys.argv[1]
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    # Shared, so that a program binding the wildcard address with the same
    # option still can; datagrams to 10.10.10.10 come here all the same.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(ADDRESS)
    # SIGTERM comes once the command has ended; what it sent last may still
    # wait in the queue, so the queue is read empty before leaving.
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(True))
    with open(out, "a") as caught:

        def note():
            data, (host, port) = sock.recvfrom(65536)
            caught.write("%d bytes (%s) from %s:%d, sent by %s\n" % (
                len(data), data[:8].hex(" "), host, port, lineage(holder(port))))
            caught.flush()

        sock.settimeout(0.2)
        while not stopping:
            try:
                note()
            except socket.timeout:
                pass
        sock.setblocking(False)
        try:
            while True:
                note()
        except BlockingIOError:
            pass


if __name__ == "__main__":
    main()
