#!/usr/bin/python3
# SPDX-License-Identifier: ISC
"""Starts the daemon (one or more copies at the same instant) and waits for
the whole run, including the child it detaches, to end.

The launcher makes itself a child subreaper, so the process that daemon()
detaches is re-parented here and its exit status can be collected like any
other.  Copies are forked first and held on a pipe, then released together.

usage: run_daemon.py --out F --err F --result F [--count N] [--timeout S] -- CMD [ARG]...

The result file gets one line per process reaped:
    started <pid> <status>      a process this launcher started
    detached <pid> <comm> <status> <sid>  an orphan of the run (the detached
                                daemon, and with musl the process between:
                                its daemon() forks twice, both in one session)
and a last line "seconds <wall time from release to the last exit>", or
"timeout" when something was still running after the timeout (it is killed).
A status is the exit code, or minus the signal number.
"""
import argparse
import ctypes
import os
import signal
import sys
import time

PR_SET_CHILD_SUBREAPER = 36


def comm_of(pid):
    try:
        with open(f"/proc/{pid}/comm") as f:
            return f.read().strip() or "?"
    except OSError:
        return "?"


def session_of(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[3]
    except (OSError, IndexError):
        return "?"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--err", required=True)
    ap.add_argument("--result", required=True)
    ap.add_argument("--count", type=int, default=1)
    ap.add_argument("--timeout", type=float, default=60.0)
    ap.add_argument("cmd", nargs=argparse.REMAINDER)
    a = ap.parse_args()
    cmd = a.cmd[1:] if a.cmd and a.cmd[0] == "--" else a.cmd
    if not cmd:
        ap.error("no command")

    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("run_daemon: cannot become a subreaper")

    # O_APPEND: the sleep shim may append to the same file as stderr, and
    # several copies may share it.
    flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_APPEND
    out = os.open(a.out, flags, 0o644)
    err = os.open(a.err, flags, 0o644)
    gate_r, gate_w = os.pipe()

    started = set()
    for _ in range(a.count):
        pid = os.fork()
        if pid == 0:
            try:
                os.close(gate_w)
                os.read(gate_r, 1)  # returns at EOF, when every copy is forked
                os.close(gate_r)
                devnull = os.open("/dev/null", os.O_RDONLY)
                os.dup2(devnull, 0)
                os.dup2(out, 1)
                os.dup2(err, 2)
                os.execv(cmd[0], cmd)
            finally:
                os._exit(127)
        started.add(pid)
    os.close(gate_r)
    os.close(out)
    os.close(err)

    start = time.monotonic()
    os.close(gate_w)
    deadline = start + a.timeout
    lines = []
    while True:
        try:
            info = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOHANG | os.WNOWAIT)
        except ChildProcessError:
            break
        if info is None:
            if time.monotonic() > deadline:
                lines.append("timeout")
                for pid in list_children():
                    os.kill(pid, signal.SIGKILL)
                while True:
                    try:
                        os.wait()
                    except ChildProcessError:
                        break
                break
            time.sleep(0.002)
            continue
        pid = info.si_pid
        # Still readable while the zombie is not reaped.
        name, session = comm_of(pid), session_of(pid)
        _, status = os.waitpid(pid, 0)
        code = os.waitstatus_to_exitcode(status)
        if pid in started:
            lines.append(f"started {pid} {code}")
        else:
            lines.append(f"detached {pid} {name} {code} {session}")
    elapsed = time.monotonic() - start
    if not lines or lines[-1] != "timeout":
        lines.append(f"seconds {elapsed:.3f}")
    with open(a.result, "w") as f:
        f.write("\n".join(lines) + "\n")


def list_children():
    me = os.getpid()
    kids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == me:
            kids.append(int(entry))
    return kids


if __name__ == "__main__":
    main()
