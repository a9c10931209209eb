#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Tests tarnwick-scan under a real Exim with content scanning (Debian's exim4-daemon-heavy):
# av_scanner = cmdline with tarnwick-scan, `deny malware = *` in the DATA ACL, the project's
# stand-in anti-virus watching the scan folder. Each check is one SMTP session on Exim's
# standard input (exim -bs), so no daemon listens anywhere:
#   clean       a plain message is accepted (250)
#   infected    a message carrying the marker is refused with the virus message (550)
#   evasive     an attachment only the second reading shows is refused too (550), and is
#               accepted when tarnwick-scan runs with --no-second-reading (the control)
#   failure     a scan folder that cannot be made: the scanner fails, Exim defers (451)
#   anti-virus stopped
#               the stand-in stopped: --require-av finds nothing watching, Exim defers (451)
# and afterwards no scan file is left in the folder.
# Usage: scripts/exim-test.sh            (builds into ./build, needs root)
# Exim is not installed: its package (which would replace Postfix) and the libraries it lacks
# are unpacked into a private folder, and Exim runs from there with a configuration of its own,
# in a mount namespace where its system user exists. The machine is left as it was found.
# When Exim cannot be set up the suite skips, unless CI is set: then it fails.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
wait_seconds=${AV_WAIT:-1}
# Split so that no file of the project holds it whole.
marker="EVASIVE-""MARKER"

unavailable() {
  if [ -n "${CI:-}" ]; then
    echo "exim-test: FAILED: $*" >&2
    exit 1
  fi
  echo "exim-test: SKIPPED (set CI to make this a failure): $*"
  exit 0
}

[ "$(id -u)" -eq 0 ] || unavailable "Exim's private system user needs a mount namespace; running as $(id -un)"
command -v unshare >/dev/null || unavailable "unshare (util-linux) is missing"
scripts/install-deps.sh --build-only libmilter-dev ||
  unavailable "installing the build tools or libmilter-dev failed"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target tarnwick-scan milter_stand_in_av >/dev/null
scan=$repo/build/app/tarnwick-scan
stand_in=$repo/build/tests/milter/milter_stand_in_av
if [ ! -x "$scan" ] || [ ! -x "$stand_in" ]; then
  echo "exim-test: a program was not built" >&2; exit 1
fi

top=$(mktemp -d /tmp/tarnwick-exim.XXXXXX)
av_pid=""
cleanup() {
  if [ -n "$av_pid" ]; then
    kill "$av_pid" 2>/dev/null || true
    wait "$av_pid" 2>/dev/null || true
  fi
  rm -rf "$top"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
started=$SECONDS

# Exim's package and whatever libraries it needs that are not installed, unpacked privately.
mkdir -p "$top/debs" "$top/root"
download() {
  (cd "$top/debs" && apt-get download "$@" >/dev/null 2>&1) ||
    { apt-get update -qq >/dev/null 2>&1 && (cd "$top/debs" && apt-get download "$@" >/dev/null 2>&1); }
}
download exim4-daemon-heavy || unavailable "apt-get download exim4-daemon-heavy failed"
missing=()
depends=$(dpkg-deb -f "$top"/debs/exim4-daemon-heavy_*.deb Depends | tr ',' '\n' |
  sed -e 's/[(|].*//' -e 's/ //g')
for package in $depends; do
  case $package in exim4-base|debconf|debconf-2.0|cdebconf) continue ;; esac
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  download "${missing[@]}" || unavailable "apt-get download ${missing[*]} failed"
fi
for deb in "$top"/debs/*.deb; do dpkg-deb -x "$deb" "$top/root"; done
exim=$top/root/usr/sbin/exim4
libraries=$top/root/usr/lib/x86_64-linux-gnu:$top/root/usr/lib
if LD_LIBRARY_PATH=$libraries ldd "$exim" | grep -q "not found"; then
  unavailable "Exim still lacks libraries: $(LD_LIBRARY_PATH=$libraries ldd "$exim" | grep "not found" | tr '\n' ' ')"
fi

# Exim's system user, known only inside the mount namespace Exim runs in.
exim_id=64990
cp /etc/passwd "$top/passwd"
cp /etc/group "$top/group"
echo "Debian-exim:x:$exim_id:$exim_id::$top/spool:/usr/sbin/nologin" >>"$top/passwd"
echo "Debian-exim:x:$exim_id:" >>"$top/group"
mkdir -p "$top/spool" "$top/log" "$top/work/ScanMe"
chown -R "$exim_id:$exim_id" "$top/spool" "$top/log" "$top/work"
chmod 755 "$top"

# The Exim lines of the README: the scanner's status 2 (a message it could not scan) is Exim's
# error; 0 and 1 are answers, told apart by the verdict line.
cat >"$top/exim.conf" <<CONF
primary_hostname = tarnwick.test
spool_directory = $top/spool
log_file_path = $top/log/%slog
exim_user = Debian-exim
exim_group = Debian-exim
keep_environment =
smtp_enforce_sync = false
queue_only = true
av_scanner = cmdline:$scan --require-av --wait $wait_seconds SCAN_OPTIONS %s; test \$? -ne 2:Virus Found:(Virus Found.*)\$
acl_smtp_rcpt = acl_check_rcpt
acl_smtp_data = acl_check_data

begin acl

acl_check_rcpt:
  accept

acl_check_data:
  deny malware = *
       message = This message contains malware (\$malware_name)
  accept
CONF

# session NAME SCAN_OPTIONS MESSAGE_FILE - one SMTP session through exim -bs; prints the answer
# to the end of the DATA.
session() {
  local name=$1 options=$2 message=$3
  {
    printf 'HELO client.test\r\nMAIL FROM:<sender@client.test>\r\nRCPT TO:<postmaster@tarnwick.test>\r\nDATA\r\n'
    sed -e 's/\r$//' -e 's/^\./../' -e 's/$/\r/' "$message"
    printf '.\r\nQUIT\r\n'
  } | unshare --mount --propagation private sh -c '
      mount --bind "$1/passwd" /etc/passwd && mount --bind "$1/group" /etc/group &&
      cd "$1/work" && exec env LD_LIBRARY_PATH="$2" "$3" -C "$1/exim.conf" -DSCAN_OPTIONS="$4" -bs' \
      sh "$top" "$libraries" "$exim" "$options" >"$top/$name.smtp" 2>&1 || true
  # The answer to the end of DATA is the one after "354".
  sed -n '/^354/{n;p;q}' "$top/$name.smtp" | tr -d '\r'
}

status=0
# check NAME SCAN_OPTIONS MESSAGE_FILE EXPECTED_ANSWER_START
check() {
  local answer
  answer=$(session "$1" "$2" "$3")
  if [[ "$answer" == "$4"* ]]; then
    echo "exim-test: $1: $answer"
  else
    echo "exim-test: FAILED: $1: expected '$4...', Exim answered '$answer'"
    cat "$top/$1.smtp"
    tail -n 5 "$top/log/mainlog" "$top/log/paniclog" 2>/dev/null || true
    status=1
  fi
}

"$stand_in" "$top/work/ScanMe" 'scan-.*\.scanme' "$marker" >"$top/stand-in.out" 2>&1 &
av_pid=$!
for _ in $(seq 1 100); do grep -q ready "$top/stand-in.out" && break; sleep 0.1; done
grep -q ready "$top/stand-in.out" || { cat "$top/stand-in.out"; echo "exim-test: the stand-in did not start" >&2; exit 1; }

printf 'From: sender@client.test\nTo: postmaster@tarnwick.test\nSubject: clean\n\nNothing here.\n' >"$top/clean.eml"
printf 'From: sender@client.test\nTo: postmaster@tarnwick.test\nSubject: infected\n\nhead\n%s\ntail\n' \
  "$marker" >"$top/infected.eml"
# The attachment's base64 goes on after its padding: only the second reading decodes the rest,
# which carries the marker.
sed -e 's/^From: .*/From: sender@client.test/' tests/e2e/messages/base64_after_padding.eml >"$top/evasive.eml"

folder_options="--scan-dir $top/work/ScanMe"
check clean "$folder_options" "$top/clean.eml" "250"
# \$malware_name carries what the anti-virus acted on.
check infected "$folder_options" "$top/infected.eml" \
  "550 This message contains malware (Virus Found (the message removed))"
check evasive "$folder_options" "$top/evasive.eml" \
  "550 This message contains malware (Virus Found (report.pdf removed))"
check "evasive, first reading only" "$folder_options --no-second-reading" "$top/evasive.eml" "250"
check failure "--scan-dir $top/missing/ScanMe" "$top/clean.eml" "451"

# The last anti-virus check's record and its lock stay for the next runs.
left=$(find "$top/work/ScanMe" -type f ! -name tarnwick.probe ! -name tarnwick-probe.lock | wc -l)
if [ "$left" -ne 0 ]; then
  echo "exim-test: FAILED: $left file(s) left in the scan folder"; status=1
fi
kill "$av_pid" 2>/dev/null || true
wait "$av_pid" 2>/dev/null || true
av_pid=""
echo "exim-test: the stand-in removed: $(tail -n 1 "$top/stand-in.out")"
# Runs share one check per interval: once the last one is older than the interval, the next run
# checks again and finds nothing watching.
sleep 2
check "anti-virus stopped" "$folder_options --av-check-every 1s" "$top/infected.eml" "451"
echo "exim-test: $([ $status -eq 0 ] && echo passed || echo FAILED) in $((SECONDS - started)) s"
exit $status
