# SPDX-License-Identifier: Apache-2.0
"""disagreements.py - where the oracles disagree about an attachment, the message is a finding.

A generated message is a finding when one oracle offers an attachment whose content (line ends
aside) is not among the leaves of another oracle that read the message, or not among our files
(outside the named exceptions: "tarnwick" then counts among the oracles that lack it). Its kind
is the oracle that offers it and those that lack it. Messages made with one technique name the
shape that causes it: the first message of each technique, offering oracle and kind not yet in
the findings folder is minimised (lines are left out, in halves, quarters and so on up to
sixteenths, as long as the same kind of disagreement stays; each round of candidates is one batch
for the oracles) and saved as NNN-OFFERING-lacks-LACKING.eml, with a line in index.tsv naming
the technique. differential.py runs the folder like any other messages, so each finding is a
regression case.
"""

import hashlib
import os
import re

import exceptions

PIECE = re.compile(rb"[^\r\n]*(?:\r\n|\n|\r)|[^\r\n]+")
MAX_ROUNDS = 30
MAX_PARTS = 16


def disagreements(names, answers, ours=None):
    """The kinds (offering oracle, lacking oracles) of disagreement among the answers; ours is
    (contents of our files, first-reading files without CR, message) when they were asked."""
    leaves = {}
    for name in names:
        attachments, error = answers[name]
        if error is None:
            leaves[name] = {exceptions.without_cr(leaf.payload) for leaf in attachments}
    kinds = set()
    for name in leaves:
        for attachment in answers[name][0]:
            if not attachment.offered or not attachment.payload.strip():
                continue
            content = exceptions.without_cr(attachment.payload)
            lacking = tuple(other for other in leaves
                            if other != name and content not in leaves[other])
            attachment.not_offered_by = lacking
            if ours is not None and attachment.offered and exceptions.classify(
                    attachment, *ours)[0] in ("missing", "known gap"):
                lacking += ("tarnwick",)
            if lacking:
                kinds.add((name, lacking))
    return kinds


class Minimising:
    """One finding being made smaller."""

    def __init__(self, message, kind):
        self.message = message
        self.kind = kind
        self.pieces = PIECE.findall(message.data)
        self.parts = 2
        self.rounds = 0
        self.done = False

    def candidates(self):
        """The pieces without each of the current chunks."""
        size = -(-len(self.pieces) // self.parts)
        return [b"".join(self.pieces[:start] + self.pieces[start + size:])
                for start in range(0, len(self.pieces), size)]

    def step(self, holds):
        """Takes the first candidate that still holds the disagreement, or splits finer."""
        self.rounds += 1
        size = -(-len(self.pieces) // self.parts)
        for number, good in enumerate(holds):
            if good:
                start = number * size
                self.pieces = self.pieces[:start] + self.pieces[start + size:]
                self.parts = max(self.parts - 1, 2)
                break
        else:
            if self.parts >= len(self.pieces):
                self.done = True
            if self.parts >= MAX_PARTS:
                self.done = True
            self.parts = min(self.parts * 2, len(self.pieces))
        if self.rounds >= MAX_ROUNDS or len(self.pieces) <= 1:
            self.done = True


class Finder:
    """Collects the findings of a run and saves each new kind, minimised."""

    def __init__(self, asked, folder):
        self.asked = asked
        self.folder = folder
        self.known = set()
        self.pending = []
        self.saved = []
        self.seen = {}
        self.digests = {}
        os.makedirs(folder, exist_ok=True)
        index = os.path.join(folder, "index.tsv")
        if os.path.exists(index):
            with open(index) as handle:
                for line in handle:
                    fields = line.rstrip("\n").split("\t")
                    if len(fields) >= 5 and not line.startswith("#"):
                        self.known.add((fields[3], fields[1], tuple(fields[2].split(","))))
                        self.digests[fields[4]] = fields[0]

    def look(self, message, answers, ours):
        """Notes the message's disagreements; a new kind of a one-technique message waits to be
        minimised."""
        for kind in disagreements(self.asked.names, answers, ours):
            self.seen[kind] = self.seen.get(kind, 0) + 1
            key = (message.techniques[0],) + kind
            if len(message.techniques) == 1 and key not in self.known:
                self.known.add(key)
                self.pending.append(Minimising(message, kind))

    def save(self, scratch, pool, unpacked):
        """Minimises the waiting findings side by side and writes them out; unpacked(pool, data,
        folder) gives our files of a message."""
        working = self.pending
        self.pending = []
        round_number = 0
        while any(not item.done for item in working):
            active = [item for item in working if not item.done]
            batch, owners = [], []
            for item in active:
                for candidate in item.candidates():
                    batch.append(candidate)
                    owners.append(item)
            folder = os.path.join(scratch, "round-%d" % round_number)
            files = [unpacked(pool, data, os.path.join(folder, "files-%d" % index))
                     if "tarnwick" in owners[index].kind[1] else None
                     for index, data in enumerate(batch)]
            answers = self.asked.run(batch, os.path.join(folder, "oracles"))
            round_number += 1
            for item in active:
                holds = [item.kind in disagreements(
                    self.asked.names, {name: answers[name][index] for name in self.asked.names},
                    ours(files[index], owners[index].message, batch[index]))
                         for index, owner in enumerate(owners) if owner is item]
                item.step(holds)
        for item in working:
            self.write(item)

    def write(self, item):
        """Saves a minimised finding and its line in index.tsv."""
        data = b"".join(item.pieces)
        digest = hashlib.sha256(data).hexdigest()[:16]
        offering, lacking = item.kind
        # A message that minimises to one already saved is listed again, under its new kind.
        name = self.digests.get(digest)
        if name is None:
            number = len([name for name in os.listdir(self.folder) if name.endswith(".eml")])
            name = "%03d-%s-lacks-%s.eml" % (number, offering, "-".join(lacking))
            with open(os.path.join(self.folder, name), "wb") as handle:
                handle.write(data)
            self.digests[digest] = name
            self.saved.append(name)
        with open(os.path.join(self.folder, "index.tsv"), "a") as handle:
            handle.write("%s\t%s\t%s\t%s\t%s\n" % (
                name, offering, ",".join(lacking), item.message.techniques[0], digest))

    def report(self):
        """The counts of disagreement by kind, and the findings saved."""
        print("disagreements of the oracles, by kind (messages):")
        for (offering, lacking), count in sorted(self.seen.items()):
            print("  %s offers what %s lack: %d" % (offering, ", ".join(lacking), count))
        print("findings saved: %d %s" % (len(self.saved), " ".join(self.saved)))


def techniques_of(folder):
    """{file name: [technique]} of the findings in folder (empty for other folders)."""
    index = os.path.join(folder, "index.tsv")
    found = {}
    if os.path.exists(index):
        with open(index) as handle:
            for line in handle:
                fields = line.rstrip("\n").split("\t")
                if len(fields) >= 4 and not line.startswith("#"):
                    found[fields[0]] = [fields[3]]
    return found


class Candidate:
    """A smaller form of a message: its bytes, with the techniques it was made with."""

    def __init__(self, message, data):
        self.data = data
        self.techniques = message.techniques


def ours(future, message, data):
    """(contents, first-reading files without CR, message) for classify, from a pending run of
    tarnwick-unpack; None when ours were not asked or it failed."""
    if future is None:
        return None
    try:
        files = future.result()
    except Exception:  # noqa: BLE001 - a failing run is reported by the differential itself
        return None
    return ({content for _, content in files},
            {exceptions.without_cr(content) for reading, content in files if reading == "first"},
            Candidate(message, data))
