#!/usr/bin/env python3
"""Runs a program on a pseudo-terminal and plays a script against it.

Usage: run_in_pty.py TRANSCRIPT [STEP...] -- PROGRAM [ARG...]

Steps, in order:
  wait:REGEX   read until REGEX (Python bytes syntax, DOTALL) matches the
               output after the end of the previous match
  send:TEXT    type TEXT; \\n, \\x03 (Ctrl+C), \\x1c (Ctrl+\\) and \\x04
               (end of input) are escapes
  kill:NAME    send the signal NAME (INT, QUIT, HUP) to the program

The output goes to TRANSCRIPT byte for byte. The exit code is the
program's, 128 + the signal number when a signal ended it, or 124 when a
step or the program's end did not come in time (the program is killed).
"""

import codecs
import os
import pty
import re
import select
import signal
import sys
import termios
import time

STEP_TIMEOUT = 120.0


def main():
    args = sys.argv[1:]
    split = args.index("--")
    transcript_name, steps, command = args[0], args[1:split], args[split + 1:]

    pid, master = pty.fork()
    if pid == 0:
        # The program writes its own CR LF; the terminal must not add a CR.
        attrs = termios.tcgetattr(0)
        attrs[1] &= ~termios.OPOST
        termios.tcsetattr(0, termios.TCSANOW, attrs)
        os.execv(command[0], command)

    output = bytearray()
    position = 0
    eof = False

    def read_some(deadline):
        nonlocal eof
        left = deadline - time.monotonic()
        if left <= 0 or eof:
            return False
        ready, _, _ = select.select([master], [], [], min(left, 0.5))
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                eof = True
            output.extend(chunk)
        return True

    def give_up(why):
        sys.stderr.write(f"run_in_pty: {why}\n")
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        save()
        sys.exit(124)

    def save():
        with open(transcript_name, "wb") as transcript:
            transcript.write(bytes(output))

    for step in steps:
        kind, _, value = step.partition(":")
        if kind == "wait":
            pattern = re.compile(value.encode(), re.DOTALL)
            deadline = time.monotonic() + STEP_TIMEOUT
            while True:
                match = pattern.search(bytes(output), position)
                if match:
                    position = match.end()
                    break
                if not read_some(deadline):
                    give_up(f"no match for {value!r}")
        elif kind == "send":
            text = codecs.decode(value, "unicode_escape").encode("latin-1")
            os.write(master, text)
        elif kind == "kill":
            os.kill(pid, getattr(signal, "SIG" + value))
        else:
            give_up(f"unknown step {step!r}")

    deadline = time.monotonic() + STEP_TIMEOUT
    while not eof:
        if not read_some(deadline):
            give_up("the program did not end")
    _, status = os.waitpid(pid, 0)
    save()
    if os.WIFSIGNALED(status):
        sys.exit(128 + os.WTERMSIG(status))
    sys.exit(os.WEXITSTATUS(status))


if __name__ == "__main__":
    main()
