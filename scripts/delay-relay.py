#!/usr/bin/env python3
"""A serial line with a delay, to measure what a remote line costs the driver.

Relays bytes between a device (e.g. the pty that vpisd-sim prints) and a new pseudo-terminal
for the driver, holding every burst for DELAY milliseconds in each direction, as a terminal
server and the network before it would.

    delay-relay.py DEVICE DELAY_MS [LINK]

Prints "PORT <path>" (the pty for the driver) and, with LINK, makes LINK a symbolic link to it.
Runs until SIGINT or SIGTERM.
"""
import heapq
import os
import select
import signal
import sys
import time
import tty


def main():
    device, delay = sys.argv[1], float(sys.argv[2]) / 1000.0
    link = sys.argv[3] if len(sys.argv) > 3 else None
    remote = os.open(device, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(remote)
    master, slave = os.openpty()
    tty.setraw(slave)  # kept open: the line stays up while the driver closes and reopens it
    path = os.ttyname(slave)
    if link:
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(path, link)
    print("PORT", path, flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

    pending = []  # (due, order, destination, bytes)
    order = 0
    try:
        while True:
            timeout = max(0.0, pending[0][0] - time.monotonic()) if pending else None
            ready, _, _ = select.select([master, remote], [], [], timeout)
            for source in ready:
                data = os.read(source, 4096)
                destination = remote if source == master else master
                heapq.heappush(pending, (time.monotonic() + delay, order, destination, data))
                order += 1
            now = time.monotonic()
            while pending and pending[0][0] <= now:
                _, _, destination, data = heapq.heappop(pending)
                os.write(destination, data)
    except KeyboardInterrupt:
        pass
    finally:
        if link and os.path.islink(link):
            os.unlink(link)


if __name__ == "__main__":
    main()
