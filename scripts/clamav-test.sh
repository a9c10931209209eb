#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs Tarnwick beside a real on-access anti-virus: ClamAV's clamd with clamonacc watching ScanMe.
# Usage: scripts/clamav-test.sh [path/to/tarnwick]     (default build/app/tarnwick, built if missing)
# Environment: AV_RUNS (runs per case, default 10), AV_WAIT (Tarnwick's wait argument, default 2).
#
# Installs Debian's clamav and clamav-daemon when missing, writes a private configuration and
# signature database under a temporary folder, and runs the cases twice: once with clamd
# decoding mail itself (ScanMail yes: infected attachments are caught in the message copy) and
# once without (ScanMail no: they are caught in Tarnwick's decoded part files); Tarnwick's own
# anti-virus check must see the scanner watching, `tarnwick --check` must exit 0 while
# clamonacc runs, Tarnwick under --require-av must postpone messages within two check intervals
# of clamonacc being stopped, and `tarnwick --check` must exit 1 once it is. It starts and stops
# only its own clamd and clamonacc, by process id, also on failure; it never touches a system
# clamd. When the scanner cannot be set up the suite skips, unless CI is set: then it fails.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
runs=${AV_RUNS:-10}
wait_seconds=${AV_WAIT:-2}
# Bounds on the scanner's start: the socket appears, then an infected probe file must vanish.
clamd_start_seconds=60
scanner_live_seconds=60

unavailable() {
  if [ -n "${CI:-}" ]; then
    echo "clamav-test: FAILED: the scanner cannot be set up: $*" >&2
    exit 1
  fi
  echo "clamav-test: SKIPPED (set CI to make this a failure): $*"
  exit 0
}

tarnwick=${1:-build/app/tarnwick}
if [ ! -x "$tarnwick" ] && [ -z "${1:-}" ]; then
  scripts/install-deps.sh
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build --target tarnwick >/dev/null
fi
[ -x "$tarnwick" ] || { echo "clamav-test: no program at $tarnwick" >&2; exit 1; }
tarnwick=$(cd "$(dirname "$tarnwick")" && pwd)/$(basename "$tarnwick")

[ "$(id -u)" -eq 0 ] || unavailable "clamonacc needs root (fanotify); running as $(id -un)"
if ! command -v clamd >/dev/null || ! command -v clamonacc >/dev/null; then
  scripts/install-deps.sh clamav clamav-daemon || unavailable "installing clamav failed"
fi
id clamav >/dev/null 2>&1 || unavailable "the clamav user is missing"
export PYTHONDONTWRITEBYTECODE=1
driver=(python3 "$repo/tests/clamav/clamav_suite.py")

top=$(mktemp -d /tmp/tarnwick-clamav.XXXXXX)
chmod 755 "$top" # clamd drops to the clamav user and must reach its database
clamd_pid=""
onacc_pid=""

stop_scanner() {
  local pid
  for pid in $onacc_pid $clamd_pid; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in $onacc_pid $clamd_pid; do
    # A bounded wait: a process that ignores TERM for 10 s is killed.
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  onacc_pid=""
  clamd_pid=""
}
cleanup() {
  stop_scanner
  rm -rf "$top"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

show_logs() {
  echo "--- clamd" >&2; tail -n 15 "$1/clamd.out" >&2 || true
  echo "--- clamonacc" >&2; tail -n 15 "$1/clamonacc.out" >&2 || true
}

# start_scanner DIR SCANMAIL - clamd and clamonacc for DIR/work/ScanMe with their own config.
start_scanner() {
  local dir=$1 scan_mail=$2
  mkdir -p "$dir/db" "$dir/run" "$dir/work/ScanMe"
  chmod 755 "$dir" "$dir/db"
  chown clamav:clamav "$dir/run"
  "${driver[@]}" signatures "$dir/db/tarnwick.ndb"
  cat >"$dir/clamd.conf" <<EOF
LocalSocket $dir/run/clamd.sock
DatabaseDirectory $dir/db
TemporaryDirectory $dir/run
User clamav
SelfCheck 0
Foreground yes
ScanMail $scan_mail
OnAccessIncludePath $dir/work/ScanMe
OnAccessExcludeUname clamav
EOF
  "${driver[@]}" fanotify-check "$dir/work/ScanMe" >"$dir/fanotify.out" 2>&1 ||
    unavailable "fanotify does not work here: $(cat "$dir/fanotify.out")"
  clamd -c "$dir/clamd.conf" >"$dir/clamd.out" 2>&1 &
  clamd_pid=$!
  local i
  for i in $(seq 1 $((clamd_start_seconds * 10))); do
    [ -S "$dir/run/clamd.sock" ] && break
    kill -0 "$clamd_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -S "$dir/run/clamd.sock" ]; then
    show_logs "$dir"
    unavailable "clamd did not open its socket within ${clamd_start_seconds} s"
  fi
  # ScanMe exists already and is never recreated while clamonacc runs.
  clamonacc --foreground --fdpass --remove --config-file="$dir/clamd.conf" \
    >"$dir/clamonacc.out" 2>&1 &
  onacc_pid=$!
  if ! "${driver[@]}" probe "$dir/work/ScanMe" "$scanner_live_seconds"; then
    show_logs "$dir"
    unavailable "clamonacc did not become live"
  fi
}

# check_command DIR EXPECTED - `tarnwick --check` in DIR/work must exit with EXPECTED.
check_command() {
  local rc=0 output
  output=$(cd "$1/work" && "$tarnwick" --check "$wait_seconds") || rc=$?
  sed 's/^/    /' <<<"$output"
  if [ "$rc" -ne "$2" ]; then
    echo "clamav-test: FAILED: tarnwick --check exited with $rc, not $2"
    status=1
  fi
}

status=0
started=$SECONDS
for scan_mail in yes no; do
  phase_start=$SECONDS
  start_scanner "$top/mail-$scan_mail" "$scan_mail"
  echo "clamav-test: scanner live after $((SECONDS - phase_start)) s (ScanMail $scan_mail)"
  "${driver[@]}" run --tarnwick "$tarnwick" --work "$top/mail-$scan_mail/work" \
    --scan-mail "$scan_mail" --runs "$runs" --wait "$wait_seconds" || status=1
  if [ "$scan_mail" = yes ]; then
    echo "clamav-test: tarnwick --check with clamonacc watching (exit 0 expected)"
    check_command "$top/mail-$scan_mail" 0
    # The driver stops clamonacc while Tarnwick runs under --require-av.
    echo "clamav-test: clamonacc stopped under tarnwick --require-av --av-check-every 10s"
    "${driver[@]}" stopped --tarnwick "$tarnwick" --work "$top/mail-$scan_mail/work" \
      --scanner-pid "$onacc_pid" --every 10 --wait "$wait_seconds" || status=1
    kill "$onacc_pid" 2>/dev/null || true
    wait "$onacc_pid" 2>/dev/null || true
    onacc_pid=""
    echo "clamav-test: tarnwick --check with clamonacc stopped (exit 1 expected)"
    check_command "$top/mail-$scan_mail" 1
  fi
  stop_scanner
done
echo "clamav-test: $([ $status -eq 0 ] && echo passed || echo FAILED) in $((SECONDS - started)) s"
exit $status
