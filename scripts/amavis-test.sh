#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs Debian's real amavisd-new with the README's amavisd-new lines exactly as given there (the
# perl block of "## Exim, amavisd-new and scripts through tarnwick-scan"; only the path of
# tarnwick-scan is the built one), after Debian's own configuration files, with the project's
# stand-in anti-virus watching /var/lib/amavis/ScanMe in place of ClamAV. Each check is one SMTP
# session with amavisd-new on a port of the suite's own; what it passes on goes to a file:
#   clean     accepted (250), logged "Passed CLEAN", passed on
#   infected  the EICAR test file: logged "Blocked INFECTED (Virus Found (... removed))", not
#             passed on
#   stopped   the stand-in stopped: a temporary failure (4xx), never "Passed CLEAN" or
#             "Passed UNCHECKED", not passed on
# Usage: scripts/amavis-test.sh         (builds into ./build, needs root; installs amavisd-new)
# The harness's own settings (port, log file, no syslog, no database, no quarantine, delivery to a
# file) come after the README's lines and touch none of them. The daemon runs in the foreground
# and is stopped by its process id; /var/lib/amavis/ScanMe is removed again when the suite made
# it. When amavisd-new cannot be set up the suite skips, unless CI is set: then it fails.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
section="## Exim, amavisd-new and scripts through tarnwick-scan"
scan_folder=/var/lib/amavis/ScanMe
port=${AMAVIS_TEST_PORT:-10124}
start_seconds=90

unavailable() {
  if [ -n "${CI:-}" ]; then
    echo "amavis-test: FAILED: $*" >&2
    exit 1
  fi
  echo "amavis-test: SKIPPED (set CI to make this a failure): $*"
  exit 0
}

[ "$(id -u)" -eq 0 ] || unavailable "amavisd-new changes to its own user; running as $(id -un)"
if [ ! -x /usr/sbin/amavisd ]; then
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends amavisd-new >/dev/null ||
    { apt-get update -qq >/dev/null 2>&1 &&
      DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends amavisd-new >/dev/null; } ||
    unavailable "apt-get install amavisd-new failed"
fi
scripts/install-deps.sh --build-only libmilter-dev ||
  unavailable "installing the build tools or libmilter-dev failed"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target tarnwick-scan milter_stand_in_av >/dev/null
stand_in=$repo/build/tests/milter/milter_stand_in_av
[ -x build/app/tarnwick-scan ] && [ -x "$stand_in" ] ||
  { echo "amavis-test: a program was not built" >&2; exit 1; }

top=$(mktemp -d /tmp/tarnwick-amavis.XXXXXX)
chmod 755 "$top"
av_pid=""
amavis_pid=""
made_folder=""
stop_stand_in() {
  if [ -n "$av_pid" ]; then
    kill "$av_pid" 2>/dev/null || true
    wait "$av_pid" 2>/dev/null || true
    av_pid=""
  fi
}
cleanup() {
  stop_stand_in
  if [ -n "$amavis_pid" ]; then
    kill "$amavis_pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$amavis_pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$amavis_pid" 2>/dev/null || true
  fi
  [ -z "$made_folder" ] || rm -rf "$scan_folder"
  rm -rf "$top"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
started=$SECONDS

# The built scanner where amavisd-new's user can run it.
mkdir -p "$top/bin" "$top/run/tmp" "$top/run/quarantine"
cp build/app/tarnwick-scan "$top/bin/tarnwick-scan"
chown -R amavis:amavis "$top/run"

# The README's lines, the scanner's path the only change.
awk -v section="$section" '
  $0 == section { inside = 1; next }
  inside && /^## / { exit }
  inside && /^```/ { if (open) exit; open = ($0 == "```perl"); next }
  open { print }
' README.md >"$top/readme.conf"
grep -q "'/usr/bin/tarnwick-scan'" "$top/readme.conf" ||
  { echo "amavis-test: the README's amavisd-new lines name no /usr/bin/tarnwick-scan" >&2; exit 1; }
sed -i "s|'/usr/bin/tarnwick-scan'|'$top/bin/tarnwick-scan'|" "$top/readme.conf"
echo "amavis-test: the README's amavisd-new lines ($(grep -c . "$top/readme.conf") lines)"

cat >"$top/harness.conf" <<CONF
use strict;
\$myhostname = 'tarnwick.test';
\$mydomain = 'tarnwick.test';
\$inet_socket_port = $port;
\$unix_socketname = undef;
\$pid_file = "$top/run/amavisd.pid";
\$lock_file = "$top/run/amavisd.lock";
\$enable_db = 0;
\$enable_global_cache = 0;
\$DO_SYSLOG = 0;
\$LOGFILE = "$top/run/amavis.log";
\$log_level = 2;
\$max_servers = 1;
\$forward_method = 'pipe:flags=q argv=/bin/dd of=$top/run/passed-on oflag=append conv=notrunc status=none';
\$notify_method = \$forward_method;
\$virus_admin = undef;
\$virus_quarantine_to = undef;
\$QUARANTINEDIR = "$top/run/quarantine";
\$TEMPBASE = "$top/run/tmp";
\$ENV{TMPDIR} = \$TEMPBASE;
1;
CONF

# Debian's own files first, in the order amavisd-new reads them without -c.
configs=()
for file in /usr/share/amavis/conf.d/* /etc/amavis/conf.d/*; do
  case $(basename "$file") in *.*|*~) continue ;; esac
  configs+=(-c "$file")
done
configs+=(-c "$top/readme.conf" -c "$top/harness.conf")

if [ ! -d "$scan_folder" ]; then
  install -d -o amavis -g amavis -m 0700 "$scan_folder"
  made_folder=yes
fi
# Split so that no file of the project holds the test string whole.
marker="EICAR-STANDARD-""ANTIVIRUS-"
"$stand_in" "$scan_folder" 'scan-.*\.scanme' "$marker" >"$top/stand-in.out" 2>&1 &
av_pid=$!
for _ in $(seq 1 100); do grep -q ready "$top/stand-in.out" && break; sleep 0.1; done
grep -q ready "$top/stand-in.out" ||
  { cat "$top/stand-in.out"; echo "amavis-test: the stand-in did not start" >&2; exit 1; }

/usr/sbin/amavisd "${configs[@]}" foreground >"$top/amavisd.out" 2>&1 &
amavis_pid=$!
listening() { python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', int(sys.argv[1])), 1).close()" "$port" 2>/dev/null; }
for _ in $(seq 1 $((start_seconds * 2))); do
  listening && break
  kill -0 "$amavis_pid" 2>/dev/null || break
  sleep 0.5
done
if ! listening; then
  tail -n 30 "$top/amavisd.out" "$top/run/amavis.log" 2>/dev/null || true
  unavailable "amavisd-new did not listen on port $port"
fi

# session NAME SUBJECT BODY - one SMTP session; prints amavisd-new's answer to the message.
session() {
  python3 - "$port" "$2" "$3" <<'SMTP'
import email.utils, smtplib, sys
port, subject, body = int(sys.argv[1]), sys.argv[2], sys.argv[3]
message = ("From: sender@client.test\r\nTo: postmaster@tarnwick.test\r\nSubject: %s\r\n"
           "Date: %s\r\nMessage-ID: %s\r\n\r\n%s\r\n"
           % (subject, email.utils.formatdate(), email.utils.make_msgid(), body)).encode()
with smtplib.SMTP("127.0.0.1", port, timeout=300) as smtp:
    smtp.ehlo("client.test")
    smtp.mail("sender@client.test")
    smtp.rcpt("postmaster@tarnwick.test")
    code, text = smtp.data(message)
    print(code, text.decode(errors="replace").replace("\n", " "))
SMTP
}

status=0
fail() { echo "amavis-test: FAILED: $*"; status=1; }
log_count() { grep -c -- "$1" "$top/run/amavis.log" 2>/dev/null || true; }
passed_on() { grep -c "^Subject: $1\$" "$top/run/passed-on" 2>/dev/null || true; }

answer=$(session clean "Tarnwick amavis clean" "Nothing here.")
echo "amavis-test: clean: $answer"
[[ $answer == 250* ]] || fail "clean: amavisd-new answered '$answer'"
[ "$(log_count "Passed CLEAN")" -eq 1 ] || fail "clean: no 'Passed CLEAN' in the log"
[ "$(passed_on "Tarnwick amavis clean")" -eq 1 ] || fail "clean: not passed on"

test_string=$(printf '%s%s%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$' "$marker" 'TEST-FILE!$H+H*')
answer=$(session infected "Tarnwick amavis EICAR" "$test_string")
echo "amavis-test: infected: $answer"
blocked=$(grep -o 'Blocked INFECTED (Virus Found ([^)]* removed))' "$top/run/amavis.log" || true)
[ -n "$blocked" ] || fail "infected: no 'Blocked INFECTED (Virus Found (... removed))' in the log"
[ -z "$blocked" ] || echo "amavis-test: infected: logged $blocked"
[ "$(passed_on "Tarnwick amavis EICAR")" -eq 0 ] || fail "infected: passed on"

stop_stand_in
# Runs share one anti-virus check a minute (the line's default interval): the first run once that
# minute has passed checks again and finds nothing watching.
sleep 61
answer=$(session stopped "Tarnwick amavis stopped" "Nothing here either.")
echo "amavis-test: anti-virus stopped: $answer"
[[ $answer == 4* ]] || fail "anti-virus stopped: amavisd-new answered '$answer', not a temporary failure"
[ "$(log_count "Passed CLEAN")" -eq 1 ] || fail "anti-virus stopped: a second 'Passed CLEAN'"
[ "$(log_count "Passed UNCHECKED")" -eq 0 ] || fail "anti-virus stopped: 'Passed UNCHECKED'"
[ "$(passed_on "Tarnwick amavis stopped")" -eq 0 ] || fail "anti-virus stopped: passed on"

# The last anti-virus check's record and its lock stay for the next runs.
left=$(find "$scan_folder" -type f ! -name tarnwick.probe ! -name tarnwick-probe.lock | wc -l)
[ "$left" -eq 0 ] || fail "$left file(s) left in $scan_folder"
if [ $status -ne 0 ]; then
  echo "== amavisd-new's log"
  tail -n 60 "$top/run/amavis.log" 2>/dev/null || tail -n 40 "$top/amavisd.out"
fi
echo "amavis-test: $([ $status -eq 0 ] && echo passed || echo FAILED) in $((SECONDS - started)) s"
exit $status
