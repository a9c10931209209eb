#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Tells a Wine start-up failure from a test's own failure in a ctest JUnit report.

Usage: wine-failures.py REPORT.xml
Prints the failed tests, one a line, each with "wine start-up" or "own failure".
Exit 0 when every failed test failed only because Wine could not reach its server (a retry
may then be made), 1 when any test failed for a reason of its own, 2 when nothing failed.
"""

import sys
import xml.etree.ElementTree as ElementTree

START_UP_FAILURE = "a wine server seems to be running, but I cannot connect to it"


def main():
    report = ElementTree.parse(sys.argv[1]).getroot()
    failed = []
    for case in report.iter("testcase"):
        if case.get("status") not in ("fail", "failed") and case.find("failure") is None:
            continue
        output = "".join(element.text or "" for element in case.iter("system-out"))
        failed.append((case.get("name"), START_UP_FAILURE in output))
    for name, start_up in failed:
        print("%s: %s" % (name, "wine start-up" if start_up else "own failure"))
    if not failed:
        return 2
    return 0 if all(start_up for _, start_up in failed) else 1


if __name__ == "__main__":
    sys.exit(main())
