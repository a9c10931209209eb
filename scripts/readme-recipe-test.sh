#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Follows the README's recipe "Postfix and ClamAV on Debian, as root" as written, on the .deb in
# dist/ (scripts/package.sh makes it when missing): takes the shell blocks of that section out of
# README.md (those marked sh and sh trial; not sh network, as CI has no network for freshclam),
# runs them in one root shell in dist/, where the package lies, and checks that the clean test
# message arrives in root's mailbox tagged "No Virus Reported" and the EICAR one "Virus Found".
#
# Without systemd (CI), systemctl is tests/package/systemctl_stand_in.py, which runs the units'
# daemons with the units' own configuration. Postfix must have a configuration for the recipe;
# one left without ("No configuration", as scripts/install-deps.sh installs it) is given Debian's
# "Local only" for the run.
#
# Leaves the machine as it found it: stops every daemon it started, purges the package, removes
# the drop-ins and the trial signature, and puts back ClamAV's and Postfix's configuration and
# root's mailbox. Needs root; refuses to run when a tarnwick package is installed already.
# Usage: scripts/readme-recipe-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
export PYTHONDONTWRITEBYTECODE=1 DEBIAN_FRONTEND=noninteractive
section="## Postfix and ClamAV on Debian, as root"
delivery_seconds=120
recipe_seconds=600

[ "$(id -u)" -eq 0 ] || { echo "readme-recipe-test: needs root" >&2; exit 1; }
version=$(sed -n 's/^set(TARNWICK_VERSION "\(.*\)")$/\1/p' CMakeLists.txt)
[ -f "dist/tarnwick_${version}-1_amd64.deb" ] || scripts/package.sh >/dev/null
if dpkg-query -W -f='${Status}' tarnwick 2>/dev/null | grep -q "install ok installed"; then
  echo "readme-recipe-test: a tarnwick package is installed already; remove it first" >&2
  exit 1
fi

top=$(mktemp -d /tmp/tarnwick-recipe.XXXXXX)
mailbox=/var/mail/root
# What the recipe changes, saved to be put back.
cp -a /etc/clamav/clamd.conf "$top/clamd.conf"
cp -a /etc/postfix "$top/postfix"
[ ! -e /etc/mailname ] || cp -a /etc/mailname "$top/mailname"
[ ! -e /etc/aliases.db ] || cp -a /etc/aliases.db "$top/aliases.db"
[ ! -e "$mailbox" ] || cp -a "$mailbox" "$top/mailbox"
mailer_type=$(debconf-show postfix 2>/dev/null | sed -n 's/^[* ]*postfix\/main_mailer_type: //p')
dropins=(/etc/systemd/system/clamav-clamonacc.service.d/tarnwick.conf
         /etc/systemd/system/clamav-daemon.service.d/tarnwick-trial.conf
         /etc/systemd/system/clamav-daemon.socket.d/tarnwick-trial.conf)
new_folders=()
for file in "${dropins[@]}"; do
  [ ! -e "$file" ] || { echo "readme-recipe-test: $file exists already" >&2; exit 1; }
  [ -d "$(dirname "$file")" ] || new_folders+=("$(dirname "$file")")
done
units=(tarnwick-milter postfix clamav-clamonacc clamav-daemon)

if [ -d /run/systemd/system ]; then
  stand_in=""
else
  stand_in=$top/bin
  mkdir -p "$stand_in"
  ln -s "$repo/tests/package/systemctl_stand_in.py" "$stand_in/systemctl"
  export TARNWICK_SYSTEMCTL_STATE=$top/systemctl PATH="$stand_in:$PATH"
fi

cleanup() {
  set +e
  for unit in "${units[@]}"; do systemctl stop "$unit" >/dev/null 2>&1; done
  [ -n "$stand_in" ] || systemctl disable clamav-clamonacc tarnwick-milter >/dev/null 2>&1
  apt-get purge -y -qq tarnwick >/dev/null 2>&1
  rm -f "${dropins[@]}" /var/lib/clamav/tarnwick-trial.ndb
  for folder in "${new_folders[@]}"; do rmdir "$folder" 2>/dev/null; done
  cp -a "$top/clamd.conf" /etc/clamav/clamd.conf
  rm -rf /etc/postfix && cp -a "$top/postfix" /etc/postfix
  if [ -e "$top/mailname" ]; then cp -a "$top/mailname" /etc/mailname; else rm -f /etc/mailname; fi
  if [ -e "$top/aliases.db" ]; then cp -a "$top/aliases.db" /etc/; else rm -f /etc/aliases.db; fi
  if [ -e "$top/mailbox" ]; then cp -a "$top/mailbox" "$mailbox"; else rm -f "$mailbox"; fi
  if [ -n "$mailer_type" ]; then
    echo "postfix postfix/main_mailer_type select $mailer_type" | debconf-set-selections
  fi
  [ -z "$stand_in" ] || systemctl daemon-reload
  rm -rf "$top"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ ! -e /etc/postfix/main.cf ]; then
  echo "postfix postfix/main_mailer_type select Local only" | debconf-set-selections
  dpkg-reconfigure -f noninteractive postfix >"$top/reconfigure.out" 2>&1 ||
    { cat "$top/reconfigure.out"; echo "readme-recipe-test: Postfix could not be configured"; exit 1; }
  # As Debian's installer leaves it: the alias database made, Postfix not
  # running (without a configuration it was not running before).
  [ -e /etc/aliases.db ] || newaliases
  postfix stop >/dev/null 2>&1 || true
fi
rm -f "$mailbox"
# The administrator answers apt-get's question with yes.
printf 'APT::Get::Assume-Yes "true";\n' >"$top/apt.conf"
export APT_CONFIG=$top/apt.conf

# The section's blocks, in order, as one script.
awk -v section="$section" '
  $0 == section { inside = 1; next }
  inside && /^## / { exit }
  inside && /^```/ { if (open) { open = 0; run = 0 } else { open = 1; run = ($0 == "```sh" || $0 == "```sh trial") }
                     next }
  run { print }
' README.md >"$top/recipe.sh"
grep -q "apt-get install ./tarnwick_${version}-1_amd64.deb" "$top/recipe.sh" ||
  { echo "readme-recipe-test: the README's recipe does not install tarnwick_${version}-1_amd64.deb"; exit 1; }
echo "readme-recipe-test: running the README's recipe ($(grep -c . "$top/recipe.sh") lines)"
status=0
started=$SECONDS
(cd dist && timeout "$recipe_seconds" bash -euo pipefail "$top/recipe.sh") >"$top/recipe.out" 2>&1 ||
  { tail -n 40 "$top/recipe.out"; echo "readme-recipe-test: FAILED: the recipe stopped"; status=1; }

if [ $status -eq 0 ]; then
  python3 - "$mailbox" "$delivery_seconds" <<'CHECK' || status=1
import mailbox, os, sys, time
path, seconds = sys.argv[1], int(sys.argv[2])
expected = {"Tarnwick test, clean": "No Virus Reported", "Tarnwick test, EICAR": "Virus Found"}
deadline = time.monotonic() + seconds
found = {}
while time.monotonic() < deadline and len(found) < len(expected):
    if os.path.exists(path):
        found = {m["Subject"]: m.get_all("X-Tarnwick") for m in mailbox.mbox(path) if m["Subject"] in expected}
    time.sleep(1)
failed = False
for subject, verdict in expected.items():
    got = found.get(subject)
    ok = got == [verdict]
    failed = failed or not ok
    print("readme-recipe-test: %s: %s (X-Tarnwick: %s)" % ("ok" if ok else "FAILED", subject,
          "not delivered" if got is None else ", ".join(got)))
sys.exit(1 if failed else 0)
CHECK
fi
if [ -n "$stand_in" ] && [ -f "$top/systemctl/tarnwick-milter.service.log" ]; then
  echo "readme-recipe-test: the bridge's log:"
  sed 's/^/  /' "$top/systemctl/tarnwick-milter.service.log"
fi
[ $status -eq 0 ] || { echo "== the recipe's output"; tail -n 40 "$top/recipe.out"; }
echo "readme-recipe-test: $([ $status -eq 0 ] && echo passed || echo FAILED) in $((SECONDS - started)) s"
exit $status
