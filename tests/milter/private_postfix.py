# SPDX-License-Identifier: Apache-2.0
"""A private Postfix for the end-to-end tests: its own configuration, queue and mailbox.

PrivatePostfix writes a main.cf and master.cf under a folder of its own, listens for SMTP on
127.0.0.1 only (a port of the caller's choice), hands every message to the milter at the given
port, and delivers everything for the domain example.test into one Maildir with the virtual
delivery agent. Its master process runs in the foreground as a child of the test, so it is
stopped by its process id; nothing of the machine's own mail set-up is read or changed.
"""

import glob
import os
import pwd
import grp
import signal
import socket
import subprocess
import time

DAEMON_DIRECTORY = "/usr/lib/postfix/sbin"
DOMAIN = "example.test"
START_SECONDS = 30
STOP_SECONDS = 20

# Queue subfolders and their owner/group and mode, as Postfix expects them.
QUEUE_FOLDERS = [
    ("active", "postfix", None, 0o700), ("bounce", "postfix", None, 0o700),
    ("corrupt", "postfix", None, 0o700), ("defer", "postfix", None, 0o700),
    ("deferred", "postfix", None, 0o700), ("flush", "postfix", None, 0o700),
    ("hold", "postfix", None, 0o700), ("incoming", "postfix", None, 0o700),
    ("private", "postfix", None, 0o700), ("saved", "postfix", None, 0o700),
    ("trace", "postfix", None, 0o700), ("maildrop", "postfix", "postdrop", 0o730),
    ("public", "postfix", "postdrop", 0o710), ("pid", "root", None, 0o755),
]

MASTER_CF = """\
{port}    inet  n       -       n       -       -       smtpd
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
smtp      unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""

MAIN_CF = """\
compatibility_level = 3.6
queue_directory = {top}/queue
data_directory = {top}/data
mail_owner = postfix
setgid_group = postdrop
myhostname = tarnwick-test.localdomain
mydomain = localdomain
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks, reject
smtpd_recipient_restrictions = permit_mynetworks, reject
alias_maps =
alias_database =
relay_domains =
smtputf8_enable = no
biff = no
maillog_file = {top}/postfix.log
maillog_file_prefixes = {top}
virtual_mailbox_domains = {domain}
virtual_mailbox_base = {top}/mail
virtual_mailbox_maps = static:inbox/
virtual_uid_maps = static:{uid}
virtual_gid_maps = static:{gid}
virtual_minimum_uid = 1
smtpd_milters = inet:127.0.0.1:{milter_port}
non_smtpd_milters = $smtpd_milters
milter_default_action = tempfail
milter_connect_timeout = 10s
milter_command_timeout = 30s
milter_content_timeout = 300s
smtpd_client_connection_count_limit = 0
default_process_limit = 50
"""


def _ids(owner, group):
    uid = pwd.getpwnam(owner).pw_uid
    gid = grp.getgrnam(group).gr_gid if group else pwd.getpwnam(owner).pw_gid
    return uid, gid


class PrivatePostfix:
    """One private Postfix instance; use as a context manager so it is always stopped."""

    def __init__(self, top, smtp_port, milter_port):
        self.top = top
        self.smtp_port = smtp_port
        self.conf = os.path.join(top, "conf")
        self.maildir = os.path.join(top, "mail", "inbox")
        os.makedirs(self.conf)
        os.chmod(top, 0o755)
        queue = os.path.join(top, "queue")
        os.makedirs(queue, mode=0o755)
        for name, owner, group, mode in QUEUE_FOLDERS:
            path = os.path.join(queue, name)
            os.mkdir(path)
            os.chown(path, *_ids(owner, group))
            os.chmod(path, mode)
        data = os.path.join(top, "data")
        os.mkdir(data, 0o700)
        os.chown(data, *_ids("postfix", None))
        # Mail is delivered as nobody into a Maildir the test can read.
        mail = os.path.join(top, "mail")
        os.mkdir(mail, 0o755)
        uid, gid = _ids("nobody", "nogroup")
        os.chown(mail, uid, gid)
        with open(os.path.join(self.conf, "main.cf"), "w") as f:
            f.write(MAIN_CF.format(top=top, domain=DOMAIN, uid=uid, gid=gid,
                                   milter_port=milter_port))
        with open(os.path.join(self.conf, "master.cf"), "w") as f:
            f.write(MASTER_CF.format(port="127.0.0.1:%d" % smtp_port))
        self.process = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        env = dict(os.environ, MAIL_CONFIG=self.conf)
        self.output = open(os.path.join(self.top, "master.out"), "w")
        self.process = subprocess.Popen(
            [os.path.join(DAEMON_DIRECTORY, "master"), "-c", self.conf, "-d"],
            env=env, stdout=self.output, stderr=subprocess.STDOUT,
            # Its own process group: on SIGTERM the master ends the whole group, its
            # daemons included, and never the test's own.
            start_new_session=True)
        deadline = time.monotonic() + START_SECONDS
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("Postfix ended at start: %s" % self.log_tail())
            try:
                socket.create_connection(("127.0.0.1", self.smtp_port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.2)
        raise RuntimeError("Postfix did not listen on port %d: %s" % (self.smtp_port, self.log_tail()))

    def stop(self):
        """stop - SIGTERM to the master (it ends its children), bounded, then SIGKILL."""
        if self.process is None or self.process.poll() is not None:
            return
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(STOP_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        # Daemons of this instance that outlived their master, by the master's group id.
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.output.close()

    def log_tail(self, lines=20):
        try:
            with open(os.path.join(self.top, "postfix.log"), errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except FileNotFoundError:
            return "(no log)"

    def delivered(self):
        """delivered - the bytes of every message in the Maildir."""
        found = []
        for path in sorted(glob.glob(os.path.join(self.maildir, "new", "*"))):
            with open(path, "rb") as f:
                found.append(f.read())
        return found

    def queue_is_empty(self):
        queue = os.path.join(self.top, "queue")
        for name in ("incoming", "active", "deferred", "hold", "maildrop"):
            for _, _, files in os.walk(os.path.join(queue, name)):
                if files:
                    return False
        return True
