#!/usr/bin/env python3
"""A set top box that never answers: a pseudo-terminal behind Wine's COM1 that reads whatever
the server writes and never sends a byte.

    silent-box.py LINK

Points the symbolic link LINK at the new terminal (atomically), prints the terminal's path and
stays until it is killed. Like the box simulator, it makes the terminal its own controlling
terminal in raw mode, so that no Wine process adopts it.
"""
import os
import sys
import termios
import time
import tty
import fcntl

master, slave = os.openpty()
try:
    os.setsid()
except OSError:
    pass  # already a session leader
fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
tty.setraw(slave)
name = os.ttyname(slave)
link = sys.argv[1]
temporary = "%s.silent-%d" % (link, os.getpid())
os.symlink(name, temporary)
os.rename(temporary, link)
print(name, flush=True)
while True:
    try:
        os.read(master, 4096)
    except OSError:
        time.sleep(0.05)
