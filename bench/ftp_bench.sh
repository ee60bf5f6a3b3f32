#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Downloads 4 KiB, 1 MiB and 64 MiB files from one local vsftpd with our
# client (ftp_get over ftp_transfer) and curl, inside the
# test sandbox; checks every copy's MD5 and prints median wall time, CPU
# time, CPU per MiB and peak RSS of each, with our ratios to each peer.
# usage (as root): bench/ftp_bench.sh [BUILD_DIR] [RUNS]
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
  src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  build=$(cd "${1:-$src/build/native}" && pwd)
  [ -x "$build/tests/ftp/ftp_get" ] || { echo "no ftp_get in $build (build with tests)" >&2; exit 2; }
  export KESTREL_BINARY_DIR=$build KESTREL_SOURCE_DIR=$src
  exec "$src/tests/sandbox/sandbox.sh" -- bash "$src/bench/ftp_bench.sh" --inside "$build" "${2:-7}"
fi

build=$2 runs=$3
. "$KESTREL_SOURCE_DIR/tests/ftp/servers.sh"
ftp_fixture_files
mkdir -p "$ftp_dir/anon/bench" "$sb_dir/out"
head -c 4096 /dev/urandom > "$ftp_dir/anon/bench/f4k"
head -c 1048576 /dev/urandom > "$ftp_dir/anon/bench/f1m"
head -c 67108864 /dev/urandom > "$ftp_dir/anon/bench/f64m"
chmod a+r "$ftp_dir/anon/bench"/*
ftp_start_vsftpd 127.0.0.2 YES

/usr/bin/python3 - "$build/tests/ftp/ftp_get" "$ftp_dir/anon/bench" "$sb_dir/out" "$runs" <<'PY'
import hashlib, os, statistics, subprocess, sys, time

ftp_get, root, out, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
host = "127.0.0.2"
files = [("f4k", "4 KiB"), ("f1m", "1 MiB"), ("f64m", "64 MiB")]
clients = {
    "ours": lambda f, o: [ftp_get, f"ftp://{host}/bench/{f}", o],
    "curl": lambda f, o: ["curl", "-s", "-o", o, f"ftp://{host}/bench/{f}"],
}

def md5(path):
    h = hashlib.md5()
    with open(path, "rb") as fh:
        for chunk in iter(lambda: fh.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()

rss_file = os.path.join(out, "rss")

# Wall and CPU come from wait4 on /usr/bin/time (which adds the same small
# overhead to every client, shown by the /bin/true row); peak RSS is time's
# %M of the client itself, so it is not the forking Python's.
def run_once(cmd, dest):
    if os.path.exists(dest):
        os.unlink(dest)
    cmd = ["/usr/bin/time", "-f", "%M", "-o", rss_file] + cmd
    devnull = os.open(os.devnull, os.O_WRONLY)
    t0 = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        os.dup2(devnull, 1)
        os.dup2(devnull, 2)  # our meter redraws on stderr after every read
        try:
            os.execvp(cmd[0], cmd)
        finally:
            os._exit(127)
    _, status, ru = os.wait4(pid, 0)
    wall = time.perf_counter() - t0
    os.close(devnull)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"FAIL: {' '.join(cmd)} exited {status}")
    with open(rss_file) as fh:
        rss = int(fh.read().split()[-1])
    return wall, ru.ru_utime + ru.ru_stime, rss

base = [run_once(["/bin/true"], os.path.join(out, "none")) for _ in range(runs)]

results = {}
for f, label in files:
    want = md5(os.path.join(root, f))
    mib = os.path.getsize(os.path.join(root, f)) / 1048576
    samples = {c: [] for c in clients}
    # Interleaved, so that load from elsewhere falls on every client alike.
    for _ in range(runs):
        for c, mk in clients.items():
            dest = os.path.join(out, f"{c}-{f}")
            samples[c].append(run_once(mk(f, dest), dest))
            if md5(dest) != want:
                sys.exit(f"FAIL: {c} copy of {f} has the wrong MD5")
    for c, s in samples.items():
        wall = statistics.median(x[0] for x in s)
        cpu = statistics.median(x[1] for x in s)
        rss = max(x[2] for x in s)
        results[(f, c)] = (wall, cpu, cpu / mib, rss)

print(f"vsftpd on {host}, {runs} runs per client and file, every copy MD5-checked")
print(f"{'file':8} {'client':8} {'wall ms':>9} {'cpu ms':>9} {'cpu ms/MiB':>11} {'peak RSS KiB':>13}")
for f, label in files:
    for c in clients:
        w, cpu, per, rss = results[(f, c)]
        print(f"{label:8} {c:8} {w*1e3:9.2f} {cpu*1e3:9.2f} {per*1e3:11.2f} {rss:13d}")
print(f"{'(floor)':8} {'true':8} {statistics.median(x[0] for x in base)*1e3:9.2f} "
      f"{statistics.median(x[1] for x in base)*1e3:9.2f} {'':>11} {max(x[2] for x in base):13d}")
print()
print("our ratios (ours / peer): wall, cpu, cpu per MiB, peak RSS")
for f, label in files:
    o = results[(f, "ours")]
    for peer in ("curl",):
        p = results[(f, peer)]
        r = [o[i] / p[i] if p[i] else float("inf") for i in range(4)]
        print(f"{label:8} vs {peer:8} wall {r[0]:5.2f}  cpu {r[1]:5.2f}  cpu/MiB {r[2]:5.2f}  rss {r[3]:5.2f}")
PY
