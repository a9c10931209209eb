#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""systemctl for a machine without systemd, for scripts/readme-recipe-test.sh.

CI machines run without systemd, but the README's recipe is written for Debian as installed, with
systemctl. This stand-in runs the same daemons with the same configuration as the units would:
it reads the unit file and its drop-ins (later ExecStart= lines replace earlier ones; an empty
one clears them), the Environment= and EnvironmentFile= settings, RuntimeDirectory= and User=,
runs ExecStartPre= lines in order, then ExecStart= (in the background for Type=simple, to the end
for forking and oneshot), and stops with ExecStop= or SIGTERM. Conditions (ConditionPath...=) are
not evaluated; enabling does nothing. The process ids and each daemon's output are kept in the
folder named by TARNWICK_SYSTEMCTL_STATE, where the test stops them again.

Usage: systemctl [--quiet] daemon-reload | enable [--now] UNIT... | disable UNIT... |
                 start|stop|restart|reload-or-restart|is-active UNIT...
"""

import glob
import os
import pwd
import re
import shlex
import signal
import subprocess
import sys
import time

UNIT_FOLDERS = ["/etc/systemd/system", "/usr/lib/systemd/system", "/lib/systemd/system"]
# postfix.service only groups its instances; the default instance does the work.
ALIASES = {"postfix.service": "postfix@-.service"}
STOP_SECONDS = 20
PRE_SECONDS = 120


def state_folder():
    folder = os.environ.get("TARNWICK_SYSTEMCTL_STATE", "/run/tarnwick-systemctl-stand-in")
    os.makedirs(folder, exist_ok=True)
    return folder


def unit_name(word):
    name = word if "." in word else word + ".service"
    return ALIASES.get(name, name)


def read_unit(name):
    """read_unit - the settings of a unit and its drop-ins: {key: [values in order]}."""
    template, instance = name, ""
    match = re.match(r"^(.+)@(.*)\.service$", name)
    if match:
        template, instance = match.group(1) + "@.service", match.group(2)
    files = []
    for folder in UNIT_FOLDERS:
        if os.path.exists(os.path.join(folder, name)):
            files.append(os.path.join(folder, name))
            break
        if os.path.exists(os.path.join(folder, template)):
            files.append(os.path.join(folder, template))
            break
    if not files:
        raise SystemExit("systemctl stand-in: no unit %s" % name)
    dropins = {}
    for folder in reversed(UNIT_FOLDERS):
        for base in {name, template}:
            for path in glob.glob(os.path.join(folder, base + ".d", "*.conf")):
                dropins[os.path.basename(path)] = path  # /etc wins over /lib
    files += [dropins[key] for key in sorted(dropins)]
    settings = {}
    for path in files:
        with open(path) as f:
            text = f.read().replace("\\\n", " ")
        for line in text.splitlines():
            line = line.strip()
            if not line or line[0] in "#;[" or "=" not in line:
                continue
            key, value = (part.strip() for part in line.split("=", 1))
            value = value.replace("%i", instance).replace("%I", instance)
            if value == "":
                settings[key] = []  # an empty assignment clears the list
            else:
                settings.setdefault(key, []).append(value)
    return settings


def environment(settings):
    env = dict(os.environ)
    for value in settings.get("Environment", []):
        for word in shlex.split(value):
            key, _, val = word.partition("=")
            env[key] = val
    for value in settings.get("EnvironmentFile", []):
        optional = value.startswith("-")
        path = value.lstrip("-")
        if not os.path.exists(path):
            if optional:
                continue
            raise SystemExit("systemctl stand-in: no environment file %s" % path)
        with open(path) as f:
            for line in f:
                line = line.strip()
                if line and not line.startswith("#") and "=" in line:
                    key, _, val = line.partition("=")
                    env[key.strip()] = " ".join(shlex.split(val))
    return env


def command_words(line, env):
    """command_words - an Exec line as systemd splits it: ${VAR} one word, $VAR split."""
    ignore_failure = False
    while line and line[0] in "-@+!:":
        ignore_failure = ignore_failure or line[0] == "-"
        line = line[1:]
    words = []
    for word in shlex.split(line):
        whole = re.fullmatch(r"\$([A-Za-z_][A-Za-z0-9_]*)", word)
        if whole:
            words += env.get(whole.group(1), "").split()
            continue
        words.append(re.sub(r"\$\{([A-Za-z_][A-Za-z0-9_]*)\}",
                            lambda m: env.get(m.group(1), ""), word))
    return words, ignore_failure


def pid_path(name):
    return os.path.join(state_folder(), name + ".pid")


def running_pid(name):
    """running_pid - the process id of a running simple service, or None (also for a zombie,
    which an init that does not reap would leave behind)."""
    try:
        with open(pid_path(name)) as f:
            pid = int(f.read())
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        return None if pid == 0 or state == "Z" else pid
    except (OSError, ValueError, IndexError):
        return None


def run_lines(settings, key, env, preexec, name):
    for line in settings.get(key, []):
        words, ignore_failure = command_words(line.replace("$MAINPID", str(running_pid(name))), env)
        result = subprocess.run(words, env=env, preexec_fn=preexec, timeout=PRE_SECONDS)
        if result.returncode != 0 and not ignore_failure:
            raise SystemExit("systemctl stand-in: %s of %s failed: %s" % (key, name, words))


def start(name):
    if running_pid(name):
        return
    settings = read_unit(name)
    env = environment(settings)
    user = (settings.get("User") or ["root"])[-1]
    entry = pwd.getpwnam(user)
    for folder in settings.get("RuntimeDirectory", []):
        for sub in folder.split():
            path = os.path.join("/run", sub)
            os.makedirs(path, exist_ok=True)
            os.chown(path, entry.pw_uid, entry.pw_gid)

    def become_user():
        os.setsid()
        if entry.pw_uid != 0:
            os.initgroups(user, entry.pw_gid)
            os.setgid(entry.pw_gid)
            os.setuid(entry.pw_uid)

    run_lines(settings, "ExecStartPre", env, become_user, name)
    service_type = (settings.get("Type") or ["simple"])[-1]
    if service_type in ("forking", "oneshot"):
        run_lines(settings, "ExecStart", env, become_user, name)
        with open(pid_path(name), "w") as f:
            f.write("0")  # nothing to kill: ExecStop stops it
        return
    words, _ = command_words(settings["ExecStart"][-1], env)
    log = open(os.path.join(state_folder(), name + ".log"), "ab")
    process = subprocess.Popen(words, env=env, preexec_fn=become_user, stdin=subprocess.DEVNULL,
                               stdout=log, stderr=log)
    with open(pid_path(name), "w") as f:
        f.write(str(process.pid))


def stop(name):
    settings = read_unit(name)
    env = environment(settings)
    pid = running_pid(name)
    forked = os.path.exists(pid_path(name)) and open(pid_path(name)).read() == "0"
    if settings.get("ExecStop") and (pid or forked):
        run_lines(settings, "ExecStop", env, None, name)
    if pid:
        try:
            os.kill(pid, signal.SIGTERM)
        except OSError:
            pass
        deadline = time.monotonic() + STOP_SECONDS
        while time.monotonic() < deadline and running_pid(name):
            time.sleep(0.1)
        if running_pid(name):
            os.kill(pid, signal.SIGKILL)
    if os.path.exists(pid_path(name)):
        os.unlink(pid_path(name))


def is_active(name):
    pid_file = pid_path(name)
    return os.path.exists(pid_file) and (open(pid_file).read() == "0" or running_pid(name))


def main(argv):
    words = [w for w in argv if w not in ("--quiet", "-q", "--no-block")]
    if not words:
        raise SystemExit(__doc__)
    command, rest = words[0], words[1:]
    now = "--now" in rest
    units = [unit_name(w) for w in rest if not w.startswith("-")]
    if command in ("daemon-reload", "disable") or (command == "enable" and not now):
        return 0
    for name in units:
        if command in ("start", "enable"):
            start(name)
        elif command == "stop":
            stop(name)
        elif command == "restart":
            stop(name)
            start(name)
        elif command == "reload-or-restart":
            settings = read_unit(name)
            if is_active(name) and settings.get("ExecReload"):
                run_lines(settings, "ExecReload", environment(settings), None, name)
            else:
                stop(name)
                start(name)
        elif command == "is-active":
            if not is_active(name):
                return 3
        else:
            raise SystemExit("systemctl stand-in: %s is not supported" % command)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
