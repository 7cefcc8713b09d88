#!/usr/bin/env python3
"""The far end of a serial line for the Windows link tests under Wine.

Opens a pseudo-terminal, makes LINK a symlink to its slave (point a Wine
prefix's dosdevices/comN at it), prints the slave's path and serves until
terminated. Every byte received is sent back, except two commands:
  0xFF 'S'  reply with the line settings the program set on its side, as
            "baud=N csize=N ixon=0|1 ixoff=0|1 crtscts=0|1\n"
  0xFF 'G'  reply "AB", then after 300 ms "CD" (a gap inside one reply)
"""
import os
import select
import signal
import sys
import termios
import time
import tty

SPEEDS = {getattr(termios, "B%d" % n): n for n in (
    1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)}
SIZES = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}


def settings(fd):
    iflag, _, cflag, _, _, ospeed, _ = termios.tcgetattr(fd)
    return "baud=%d csize=%d ixon=%d ixoff=%d crtscts=%d\n" % (
        SPEEDS.get(ospeed, 0), SIZES[cflag & termios.CSIZE],
        bool(iflag & termios.IXON), bool(iflag & termios.IXOFF),
        bool(cflag & termios.CRTSCTS))


def reply(master, data):
    os.write(master, data)


def serve(master, slave):
    command = False
    while True:
        ready, _, _ = select.select([master], [], [], 1.0)
        if not ready:
            continue
        try:
            data = os.read(master, 4096)
        except OSError:
            time.sleep(0.01)
            continue
        echo = bytearray()
        for byte in data:
            if command:
                command = False
                if byte == ord("S"):
                    reply(master, bytes(echo) + settings(slave).encode())
                    echo.clear()
                elif byte == ord("G"):
                    reply(master, bytes(echo) + b"AB")
                    echo.clear()
                    time.sleep(0.3)
                    reply(master, b"CD")
            elif byte == 0xFF:
                command = True
            else:
                echo.append(byte)
        if echo:
            reply(master, bytes(echo))


def main():
    if len(sys.argv) != 3 or sys.argv[1] != "--link":
        sys.exit("usage: pty-peer.py --link PATH")
    link = sys.argv[2]
    master, slave = os.openpty()
    tty.setraw(slave)
    name = os.ttyname(slave)
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(name, link)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print(name, flush=True)
    try:
        serve(master, slave)
    finally:
        if os.path.islink(link) and os.readlink(link) == name:
            os.remove(link)


if __name__ == "__main__":
    main()
