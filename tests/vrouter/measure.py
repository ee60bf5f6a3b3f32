#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Runs one boot of the virtual router: the command's output (the serial
console) goes to CONSOLE, and to our standard output with --live; FIGURES
gets its exit status, wall time and peak memory."""
import resource
import subprocess
import sys
import time

args = sys.argv[1:]
live = args[0] == "--live"
if live:
    args = args[1:]
console, figures, command = args[0], args[1], args[2:]
start = time.monotonic()
with open(console, "wb") as out:
    proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    for line in proc.stdout:
        out.write(line)
        if live:
            sys.stdout.buffer.write(line)
            sys.stdout.flush()
    status = proc.wait()
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
with open(figures, "w") as f:
    f.write(f"status {status}\nseconds {time.monotonic() - start:.1f}\npeak_kib {peak}\n")
