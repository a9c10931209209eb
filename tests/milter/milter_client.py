# SPDX-License-Identifier: Apache-2.0
"""The mail server's side of the milter protocol, enough to drive tarnwick-milter in tests.

MilterClient connects to the bridge, negotiates (protocol version 6, every action offered, no
step skipped), and sends one message through the connect, HELO, MAIL, RCPT, header, end of
headers, body and end of message steps. It returns what the bridge answered at the end of the
message: the final action and the modifications that came before it. It checks nothing itself.
"""

import socket
import struct

# Actions the mail server allows: add, change and delete header fields, quarantine, and more.
OFFERED_ACTIONS = 0x1FF
PROTOCOL_VERSION = 6

# Final answers to a step.
FINAL = {b"c": "continue", b"a": "accept", b"r": "reject", b"t": "tempfail", b"d": "discard"}


class MilterError(Exception):
    """The bridge broke the protocol or closed the connection."""


class Outcome:
    """What the bridge answered at the end of one message."""

    def __init__(self):
        self.action = None  # continue, accept, reject, tempfail, discard, or reply
        self.reply = None  # the text of a 'y' reply ("550 5.7.1 ...")
        self.added = []  # (name, value) of each added field
        self.changed = []  # (index, name, value) of each changed field; value "" deletes
        self.quarantine = None  # the quarantine reason

    def __repr__(self):
        return "Outcome(%s %r added=%r changed=%r quarantine=%r)" % (
            self.action, self.reply, self.added, self.changed, self.quarantine)


class MilterClient:
    """One milter connection; use as a context manager."""

    def __init__(self, port, host="127.0.0.1", timeout=60):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self._negotiate()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        try:
            self._send(b"Q")
        except OSError:
            pass
        self.sock.close()

    def _send(self, command, data=b""):
        packet = command + data
        self.sock.sendall(struct.pack("!I", len(packet)) + packet)

    def _read_exact(self, count):
        data = b""
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                raise MilterError("the bridge closed the connection")
            data += chunk
        return data

    def _receive(self):
        (length,) = struct.unpack("!I", self._read_exact(4))
        packet = self._read_exact(length)
        return packet[:1], packet[1:]

    def _negotiate(self):
        self._send(b"O", struct.pack("!III", PROTOCOL_VERSION, OFFERED_ACTIONS, 0))
        command, data = self._receive()
        if command != b"O":
            raise MilterError("no option negotiation answer: %r" % command)
        self.version, self.actions, self.protocol = struct.unpack("!III", data[:12])

    def _step(self, command, data=b""):
        """_step - sends a step and returns its one-letter answer."""
        self._send(command, data)
        answer, payload = self._receive()
        if answer not in FINAL:
            raise MilterError("unexpected answer %r %r" % (answer, payload))
        return FINAL[answer]

    def send_message(self, sender, recipients, headers, body):
        """send_message - one message; headers: (name, value) pairs; body: bytes, CR LF ends.

        Returns an Outcome, or the answer word of an earlier step that did not continue."""
        zero = b"\0"
        steps = [
            (b"C", b"client.example" + zero + b"4" + struct.pack("!H", 40000) + b"127.0.0.1" + zero),
            (b"H", b"client.example" + zero),
            (b"M", sender.encode() + zero),
        ]
        steps += [(b"R", r.encode() + zero) for r in recipients]
        steps += [(b"L", n.encode() + zero + v.encode() + zero) for n, v in headers]
        steps += [(b"N", b"")]
        for start in range(0, len(body), 65535):
            steps.append((b"B", body[start:start + 65535]))
        for command, data in steps:
            answer = self._step(command, data)
            if answer != "continue":
                return answer
        return self._end_of_message()

    def _end_of_message(self):
        self._send(b"E")
        outcome = Outcome()
        while True:
            command, data = self._receive()
            if command == b"h":
                name, value = data.rstrip(b"\0").split(b"\0", 1)
                outcome.added.append((name.decode(), value.decode()))
            elif command == b"m":
                (index,) = struct.unpack("!I", data[:4])
                name, _, value = data[4:].partition(b"\0")
                outcome.changed.append((index, name.decode(), value.rstrip(b"\0").decode()))
            elif command == b"q":
                outcome.quarantine = data.rstrip(b"\0").decode()
            elif command == b"y":
                outcome.action = "reply"
                outcome.reply = data.rstrip(b"\0").decode()
                return outcome
            elif command in FINAL:
                outcome.action = FINAL[command]
                return outcome
            else:
                raise MilterError("unexpected modification %r %r" % (command, data))

    def abort(self):
        """abort - ends the message in progress without an end of message."""
        self._send(b"A")
