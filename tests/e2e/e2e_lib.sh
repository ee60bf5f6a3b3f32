# SPDX-License-Identifier: ISC
# Shared helpers for the end-to-end tests, the demo and the footprint script.
# Source it inside the sandbox.  It turns the sandbox into a small router: an
# HTTPS update server (nginx on 127.0.0.2) behind the default host name, the
# module name, a fake /etc/init.d/oru that records its calls, and the
# configuration store file with logging on.
#
# Needs KESTRELD, KESTREL_SOURCE_DIR, KESTREL_BINARY_DIR, KESTREL_SLEEP_SHIM.

# shellcheck source=../sandbox/lib.sh
source "${KESTREL_SOURCE_DIR:?}/tests/sandbox/lib.sh"
: "${KESTRELD:?KESTRELD names the daemon under test}"
: "${KESTREL_SLEEP_SHIM:?KESTREL_SLEEP_SHIM names the sleep shim}"

e2e_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# A build-time constant as configured in the build tree under test.
e2e_cache_value() {
  local name=$1 fallback=$2 value=
  if [ -f "${KESTREL_BINARY_DIR:-}/CMakeCache.txt" ]; then
    value=$(sed -n "s/^$name:[A-Z]*=//p" "$KESTREL_BINARY_DIR/CMakeCache.txt" | head -n 1)
  fi
  echo "${value:-$fallback}"
}

E2E_HTTPS_HOST=$(e2e_cache_value KESTREL_HTTPS_HOST dl.dbg.example.com)
E2E_PING_TARGET=$(e2e_cache_value KESTREL_PING_TARGET www.example.com)
E2E_SERVER=127.0.0.2
E2E_WWW=/sandbox/www
E2E_PREFIX=/sw-apps/dbg_log_collect/
E2E_CONFIG=$(e2e_cache_value KESTREL_CONFIG_FILE /etc/kestrel/config)
E2E_LOG=/tmp/oru_log.txt
E2E_ORU_CALLS=$sb_dir/oru.calls
E2E_ORU_PIDFILE=$sb_dir/oru.pidfile
E2E_ORU_DELAY=$sb_dir/oru.delay
E2E_ORU_GROUP=$sb_dir/oru.group
E2E_ORU_STATE=$sb_dir/oru.state
E2E_ORU_FAIL=$sb_dir/oru.fail
E2E_GATES=$sb_dir/gates
E2E_BIN=$sb_dir/bin
E2E_SLEEPS=$sb_dir/sleeps.log
E2E_OUT=$sb_dir/run.out
E2E_ERR=$sb_dir/run.err
E2E_RESULT=$sb_dir/run.result
E2E_PYTHON=/usr/bin/python3

# ---------------------------------------------------------------- failures

e2e_case() { echo "== $*"; E2E_CASE=$*; }

# Fails with the message and what the last run left behind.
e2e_fail() {
  {
    echo "FAIL${E2E_CASE:+ [$E2E_CASE]}: $*"
    local f
    for f in "$E2E_RESULT" "$E2E_ERR" "$E2E_SLEEPS" "$E2E_ORU_CALLS" "$E2E_LOG" \
             "$sb_dir"/nginx-*/access.log; do
      [ -s "$f" ] || continue
      echo "---- $f"
      tail -n 40 "$f"
    done
  } >&2
  exit 1
}

e2e_assert_eq() { # ACTUAL EXPECTED WHAT
  [ "$1" = "$2" ] || e2e_fail "$3: expected [$2], got [$1]"
}

e2e_assert_exists() { [ -e "$1" ] || e2e_fail "${2:-$1 should exist}"; }
e2e_assert_absent() { [ ! -e "$1" ] || e2e_fail "${2:-$1 should not exist}"; }

# The file holds exactly TEXT (no line ending added).
e2e_assert_content() { # PATH TEXT [WHAT]
  [ -f "$1" ] || e2e_fail "${3:-$1}: missing"
  cmp -s "$1" <(printf '%s' "$2") || e2e_fail "${3:-$1}: expected [$2], got [$(head -c 200 "$1")]"
}

e2e_assert_same_file() { # PATH EXPECTED_PATH [WHAT]
  [ -f "$1" ] || e2e_fail "${3:-$1}: missing"
  cmp -s "$1" "$2" || e2e_fail "${3:-$1}: differs from $2"
}

e2e_assert_contains() { # FILE TEXT
  grep -qF -- "$2" "$1" 2>/dev/null || e2e_fail "$1 does not contain [$2]"
}

e2e_assert_not_contains() { # FILE TEXT
  ! grep -qF -- "$2" "$1" 2>/dev/null || e2e_fail "$1 contains [$2]"
}

# Number of lines of FILE that contain TEXT (0 for a missing file).
e2e_count() { grep -cF -- "$2" "$1" 2>/dev/null || true; }

e2e_assert_count() { # FILE TEXT N
  local n
  n=$(e2e_count "$1" "$2")
  [ "$n" -eq "$3" ] || e2e_fail "$1: [$2] seen $n times, expected $3"
}

# Number of log lines "DEBUG:   FUNC L#n MESSAGE" (MESSAGE matched whole).
# Log lines are matched by their sentence, whichever function wrote them.
e2e_log_count() { # MESSAGE
  sed -nE "s/^DEBUG:   [^ ]+ L#[0-9]+ //p" "$E2E_LOG" 2>/dev/null | grep -cxF -- "$1" || true
}

e2e_assert_log() { # MESSAGE [N]
  local n
  n=$(e2e_log_count "$1")
  [ "$n" -eq "${2:-1}" ] || e2e_fail "log: [$1] seen $n times, expected ${2:-1}"
}

# Pauses the last runs asked for, one number per line.
e2e_sleeps() { sed -n 's/^sleep //p' "$E2E_SLEEPS" 2>/dev/null | tr '\n' ' ' | sed 's/ $//'; }

# ---------------------------------------------------------------- the router

# The sandboxed router with logging on and MODULE in /module_name.  The
# server is not started here (e2e_start_server), so that tests can leave it down.
e2e_setup() { # MODULE
  sb_hosts "$E2E_SERVER" "$E2E_HTTPS_HOST"
  # Name lookups other than /etc/hosts fail at once: nothing listens on 127.0.0.1:53.
  rm -f /etc/resolv.conf
  echo "nameserver 127.0.0.1" > /etc/resolv.conf
  e2e_module "$1"
  mkdir -p /etc/init.d "$(dirname "$E2E_CONFIG")" "$E2E_WWW"
  e2e_gate_script
  cat > /etc/init.d/oru <<ORU
#!/bin/sh
# Fake service: records each call, which process held the pid file then, and
# the process that started the group it runs in (the restart has its own).
echo "\$@" >> $E2E_ORU_CALLS
cat /var/run/kestreld.pid >> $E2E_ORU_PIDFILE 2>/dev/null || echo none >> $E2E_ORU_PIDFILE
group=\$(sed 's/.*) //' /proc/\$\$/stat | cut -d' ' -f3)
sed 's/.*) //' /proc/\$group/stat | cut -d' ' -f2 >> $E2E_ORU_GROUP
# The service's state: stopped at once, or running on the installed file.
[ "\$1" = stop ] && echo stopped > $E2E_ORU_STATE
$E2E_BIN/gate "oru-\$1"
if [ "\$1" = start ]; then
  running=\$(/usr/bin/md5sum < /tmp/dbg-gen.cfg | cut -c1-32)
  # A configuration the service cannot start on (its digest in $E2E_ORU_FAIL).
  if [ -s $E2E_ORU_FAIL ] && [ "\$running" = "\$(cat $E2E_ORU_FAIL)" ]; then
    echo "failed \$running" > $E2E_ORU_STATE
    $E2E_BIN/gate oru-fail
    exit 1
  fi
  echo "running \$running" > $E2E_ORU_STATE
fi
# A slow service, when a test asks for one (seconds in $E2E_ORU_DELAY).
if [ "\$1" = stop ] && [ -s $E2E_ORU_DELAY ]; then sleep "\$(cat $E2E_ORU_DELAY)"; fi
ORU
  chmod 755 /etc/init.d/oru
  e2e_config
}

# ---------------------------------------------------------------- gates
# A gate holds one step of a run (a command the run starts) so that a test
# can kill the run right there, or let it go on.  e2e_arm STEP makes the next
# process that reaches STEP wait; e2e_reached STEP waits until one does and
# prints its pid; e2e_release STEP lets every held one go on.

e2e_gate_script() {
  mkdir -p "$E2E_BIN" "$E2E_GATES"
  cat > "$E2E_BIN/gate" <<GATE
#!/bin/sh
# The first process to reach an armed gate takes it and waits while it holds it.
g=$E2E_GATES/\$1
mv "\$g.armed" "\$g.held.\$\$" 2>/dev/null || exit 0
echo \$\$ > "\$g.reached"
while [ -e "\$g.held.\$\$" ]; do sleep 0.02; done
GATE
  chmod 755 "$E2E_BIN/gate"
}

# md5sum and rm of the run pass through gates md5sum and rm-pid (the
# cleanup's "rm /var/run/kestreld.pid", after the version is recorded).
e2e_gate_commands() {
  cat > "$E2E_BIN/md5sum" <<WRAP
#!/bin/sh
$E2E_BIN/gate md5sum
exec /usr/bin/md5sum "\$@"
WRAP
  cat > "$E2E_BIN/rm" <<WRAP
#!/bin/sh
[ "\$*" = /var/run/kestreld.pid ] && $E2E_BIN/gate rm-pid
exec /bin/rm "\$@"
WRAP
  chmod 755 "$E2E_BIN/md5sum" "$E2E_BIN/rm"
  export PATH=$E2E_BIN:$PATH
}

e2e_arm() { rm -f "$E2E_GATES/$1".*; : > "$E2E_GATES/$1.armed"; }

e2e_reached() { # STEP
  local i
  for i in $(seq 1 300); do
    [ -s "$E2E_GATES/$1.reached" ] && { cat "$E2E_GATES/$1.reached"; return 0; }
    sleep 0.05
  done
  e2e_fail "no process of the run reached $1"
}

e2e_release() { rm -f "$E2E_GATES/$1".held.*; }

# Rewrites the configuration store: logging on, plus the given key=value lines.
e2e_config() {
  { echo "oru_log=1"; local kv; for kv in "$@"; do printf '%s\n' "$kv"; done; } > "$E2E_CONFIG"
}

e2e_module() { printf '%s\n' "$1" > /module_name; }

e2e_start_server() { # [ADDR [ROOT]]
  sb_start_nginx "${1:-$E2E_SERVER}" "${2:-$E2E_WWW}"
}

# Upper-case MD5 digest of a file, as the control file announces it.
e2e_md5() { md5sum "$1" | cut -c1-32 | tr 'a-f' 'A-F'; }

# The control file announcing PAYLOAD as VERSION, LF line ends.  The section
# after [Major2] names another version, which must never be read.
e2e_control_text() { # VERSION PAYLOAD [MD5]
  local md5=${3:-$(e2e_md5 "$2")}
  printf '%s\n' "[Major1]" "file=/images/dbg-gen_V$1" "md5=$md5" "size=$(stat -c %s "$2")" \
    "[Major2]" "file=/images/dbg-gen_V99.0.0" "md5=00000000000000000000000000000000"
}

# Publishes PAYLOAD as VERSION for MODULE under the server's document root.
# Options: --dir D (directory on the server, default prefix+module),
# --md5 X (announce X instead of the real digest), --encoding
# lf|crlf|utf16le|utf16be (of the control file, the UTF-16 ones with a BOM
# and CR LF line ends).
e2e_publish() { # MODULE VERSION PAYLOAD [options]
  local module=$1 version=$2 payload=$3 dir= md5= encoding=lf
  shift 3
  while [ "$#" -gt 0 ]; do
    case $1 in
      --dir) dir=$2; shift 2 ;;
      --md5) md5=$2; shift 2 ;;
      --encoding) encoding=$2; shift 2 ;;
      *) sb_fail "e2e_publish: unknown option $1" ;;
    esac
  done
  dir=$E2E_WWW${dir:-$E2E_PREFIX$module}
  mkdir -p "$dir"
  cp "$payload" "$dir/dbg-gen.cfg"
  local text
  text=$(e2e_control_text "$version" "$payload" "$md5")
  case $encoding in
    lf) printf '%s\n' "$text" > "$dir/fileinfo.txt" ;;
    crlf) printf '%s\n' "$text" | sed 's/$/\r/' > "$dir/fileinfo.txt" ;;
    utf16le) { printf '\377\376'; printf '%s\n' "$text" | sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16LE; } > "$dir/fileinfo.txt" ;;
    utf16be) { printf '\376\377'; printf '%s\n' "$text" | sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16BE; } > "$dir/fileinfo.txt" ;;
    *) sb_fail "e2e_publish: unknown encoding $encoding" ;;
  esac
}

# A sample payload: a small configuration of the debug-log collector.
e2e_make_payload() { # PATH [FLAVOUR]
  cat > "$1" <<CFG
# debug-log collection ${2:-default}
collect.interval=300
collect.max_size=65536
collect.targets=kernel,wifi,wan
upload.enabled=1
CFG
}

# Number of GET requests for PATH that reached the server on ADDR.
e2e_requests() { # PATH [ADDR]
  local log
  log=$(sb_nginx_log "${2:-$E2E_SERVER}")
  grep -cF -- "\"GET $1 HTTP" "$log" 2>/dev/null || true
}

# What the server on ADDR logged, one request a line: "METHOD PATH USER-AGENT".
e2e_logged() { # [ADDR]
  sed -nE 's/^[^ ]+ [^ ]+ [^ ]+ \[[^]]*\] "([A-Z]+) ([^ ]*) [^"]*" [0-9]+ [^ ]+ "[^"]*" "(.*)"$/\1 \2 \3/p' \
    "$(sb_nginx_log "${1:-$E2E_SERVER}")" 2>/dev/null || true
}

E2E_VERSION=$(sed -nE 's/^project\(kestrel VERSION ([^ )]+).*/\1/p' "$KESTREL_SOURCE_DIR/CMakeLists.txt")

# The User-Agent a router sends with these values ("-" for none).
e2e_agent() { # MODULE ID INSTALLED RESULT PUBLISHED REFUSED
  echo "kestreld/$E2E_VERSION ($1; id=$2; installed=$3; result=$4; published=$5; refused=$6)"
}

# A router's id: the first 12 hex digits of MD5(serial number).
e2e_serial_id() { printf '%s' "$1" | md5sum | cut -c1-12; }

# Forgets everything a run leaves on the device and what the fakes recorded,
# so that the next case starts from a clean router.
e2e_reset() {
  sb_empty /tmp
  rm -f /var/run/kestreld.pid
  : > "$E2E_ORU_CALLS"
  : > "$E2E_ORU_PIDFILE"
  : > "$E2E_ORU_GROUP"
  rm -f "$E2E_ORU_STATE" "$E2E_ORU_FAIL" "$E2E_GATES"/*
  : > "$E2E_SLEEPS"
  local log
  for log in "$sb_dir"/nginx-*/access.log; do
    [ -f "$log" ] && : > "$log"
  done
  return 0
}

# ---------------------------------------------------------------- running

# Runs the daemon as the router would start it and waits for the whole run,
# including the detached child, to end (at most E2E_TIMEOUT s, default 60).
#   --count N            start N copies at the same instant
#   --sleeps-in-stderr   record the pauses in the stderr file, in order with
#                        the messages (the default is $E2E_SLEEPS)
#   --beside-a-run       another run is active meanwhile: do not fail on it
# Sets E2E_STARTED (exit statuses of the started processes), E2E_DETACHED
# (exit statuses of detached kestreld processes), E2E_SECONDS (wall time).
e2e_run() {
  local count=1 sleep_log=$E2E_SLEEPS beside=
  while [ "$#" -gt 0 ]; do
    case $1 in
      --count) count=$2; shift 2 ;;
      --sleeps-in-stderr) sleep_log=$E2E_ERR; shift ;;
      --beside-a-run) beside=1; shift ;;
      *) sb_fail "e2e_run: unknown option $1" ;;
    esac
  done
  local preload=$KESTREL_SLEEP_SHIM${E2E_PRELOAD_EXTRA:+ $E2E_PRELOAD_EXTRA}
  # The preload goes to the daemon only: under qemu into the guest, never into
  # the emulator itself.  The shim drops it for whatever the daemon starts.
  local daemon=(/usr/bin/env LD_PRELOAD="$preload")
  if [ -n "${KESTREL_EMULATOR:-}" ]; then
    # shellcheck disable=SC2206  # the emulator command is a word list
    daemon=(/usr/bin/env -u LD_PRELOAD $KESTREL_EMULATOR -E "LD_PRELOAD=$preload")
  fi
  # verify_asan_link_order=0: the sanitized daemon runs with the shim preloaded.
  "$E2E_PYTHON" "$e2e_here/run_daemon.py" --out "$E2E_OUT" --err "$E2E_ERR" --result "$E2E_RESULT" \
    --count "$count" --timeout "${E2E_TIMEOUT:-60}" -- \
    /usr/bin/env KESTREL_SLEEP_LOG="$sleep_log" KESTREL_CLOCK="${E2E_CLOCK:-synchronized}" \
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0:exitcode=86" \
    UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1:halt_on_error=1:exitcode=86" \
    "${daemon[@]}" "$KESTRELD" || e2e_fail "the launcher failed"
  e2e_read_result "$beside"
}

# What the last run's launcher recorded (after e2e_run, or in the caller of
# a run started in the background once it ended).
e2e_read_result() { # [BESIDE_A_RUN]
  local beside=${1:-}
  grep -qx timeout "$E2E_RESULT" && e2e_fail "the run did not end within ${E2E_TIMEOUT:-60} s"
  E2E_STARTED=$(awk '$1 == "started" { print $3 }' "$E2E_RESULT" | sort | tr '\n' ' ' | sed 's/ $//')
  E2E_DETACHED=$(e2e_detached 4 | tr '\n' ' ' | sed 's/ $//')
  E2E_SECONDS=$(awk '$1 == "seconds" { print $2 }' "$E2E_RESULT")
  if grep -qE 'Sanitizer|runtime error:' "$E2E_ERR"; then
    e2e_fail "sanitizer report on stderr"
  fi
  # A program the daemon started was handed a preload it cannot load.
  if grep -q 'cannot be preloaded' "$E2E_ERR"; then
    e2e_fail "a preload leaked into a program the daemon started"
  fi
  # Under qemu the name is the shim's doing; the command line names the binary.
  if [ -z "$beside" ] && { pgrep -x kestreld >/dev/null || pgrep -f -- "$KESTRELD" >/dev/null; }; then
    e2e_fail "a kestreld process is still running"
  fi
  return 0
}

# The last run passed the guard: the caller saw status 0 at once and the
# detached run ended with status 1.
e2e_assert_ran() {
  e2e_assert_eq "$E2E_STARTED" "0" "exit status seen by the caller"
  e2e_assert_eq "$E2E_DETACHED" "1" "exit status of the detached run"
}

# The last run installed PAYLOAD, recorded VERSION and restarted the service.
e2e_assert_installed() { # PAYLOAD VERSION
  e2e_assert_ran
  e2e_assert_same_file /tmp/dbg-gen.cfg "$1" "installed payload"
  e2e_assert_content /tmp/dbg_log_collect/dbg_version "$2" "recorded version"
  e2e_assert_content "$E2E_ORU_CALLS" $'stop\nstart\n' "calls of /etc/init.d/oru"
}

# Field N (2 pid, 4 status) of each detached run: the last kestreld process
# of its session to end, so that musl's daemon(), which detaches through a
# process of its own, counts once.
e2e_detached() { # N
  awk -v n="$1" '$1 == "detached" && $3 == "kestreld" { if (!($5 in last)) order[++k] = $5; last[$5] = $n }
    END { for (i = 1; i <= k; i++) print last[order[i]] }' "$E2E_RESULT"
}

# The detached run's pid, as the launcher reaped it.
e2e_detached_pid() { e2e_detached 2; }

# Standard error of the last run without the complaint of the cleanup's "rm"
# when the pid file is gone already.
e2e_console() {
  grep -vE -e "^rm: cannot remove .?/var/run/kestreld.pid.?: No such file or directory$" "$E2E_ERR" || true
}

# The status file the last run left: each of RESULT INSTALLED PUBLISHED
# TRANSPORT is the value expected, "null", or "*" for any; the file has
# exactly its six members, a recent time and a reason.
e2e_assert_status() { # RESULT INSTALLED PUBLISHED TRANSPORT
  "$E2E_PYTHON" - "$@" <<'PY' || e2e_fail "status file: $(cat /tmp/dbg_log_collect/status.json 2>&1)"
import json, sys, time
status = json.load(open("/tmp/dbg_log_collect/status.json"))
assert sorted(status) == ["installed", "published", "reason", "result", "time", "transport"], status
assert isinstance(status["time"], int) and abs(status["time"] - time.time()) < 300, status
assert isinstance(status["reason"], str) and status["reason"], status
for name, want in zip(["result", "installed", "published", "transport"], sys.argv[1:]):
    assert want == "*" or status[name] == (None if want == "null" else want), (name, status[name], want)
PY
}

# What the updater leaves on a device after any run past the guard: its pid
# file and private directory gone, and no file of a run under /tmp.
e2e_assert_cleaned_up() {
  local f
  for f in /var/run/kestreld.pid /tmp/kestreld.* /tmp/fileinfo.txt /tmp/dbg_md5 /tmp/dbg-gen.cfg.new /tmp/md5 \
           /tmp/curl_error /tmp/rae_ping_result /tmp/xxx-2008 /tmp/usign_error; do
    e2e_assert_absent "$f" "$f left behind after the run"
  done
}

# The entries of /tmp, but for the mount points of the sandbox (a checkout
# under /tmp is mounted at its own path).
e2e_tmp_entries() {
  local mounts
  mounts=$(awk '{ print $2 }' /proc/self/mounts)
  find /tmp -mindepth 1 -maxdepth 1 -printf '%p\n' | while read -r entry; do
    grep -qxF -- "$entry" <<<"$mounts" || awk -v p="$entry/" 'index($0, p) == 1 { f = 1 } END { exit f }' <<<"$mounts" \
      && echo "${entry#/tmp/}"
  done | sort | tr '\n' ' '
}

# The last run passed the guard and left the router as it was: nothing
# installed or recorded, no restart, no file of the run left.
e2e_assert_untouched() {
  e2e_assert_ran
  e2e_assert_absent /tmp/dbg-gen.cfg "nothing installed"
  e2e_assert_absent /tmp/dbg_log_collect/dbg_version "no version recorded"
  e2e_assert_content "$E2E_ORU_CALLS" "" "calls of /etc/init.d/oru"
  e2e_assert_cleaned_up
}

# While the service restarted, the pid file named the process doing the run:
# the one that started the restart's process group.
e2e_assert_pid_file_named_the_run() {
  [ -s "$E2E_ORU_GROUP" ] || e2e_fail "the service was not restarted"
  e2e_assert_same_file "$E2E_ORU_PIDFILE" "$E2E_ORU_GROUP" "pid file during the restart"
}

# The markers hostile values would create if a shell ever ran them.
e2e_assert_no_markers() {
  local m
  for m in /sandbox/pwned* /pwned* /m[0-9]; do
    [ -e "$m" ] && e2e_fail "hostile value was executed: $m exists"
  done
  return 0
}
