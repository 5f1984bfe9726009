#!/usr/bin/python3
"""Prints how many tests of each CTest run were skipped, and why.

Reads the JUnit files that `ctest --output-junit` wrote (make test writes one
a build) and, for each, prints the count of skipped tests and the reasons
they gave, most frequent first. A test's reason is the message after
GoogleTest's "Skipped" line, or the text after "skipped:" or "SKIP:" that
the scripts print before exiting with 77. A missing file is reported, not an error:
its run did not get as far as writing it.

Usage: skipped_tests.py RESULTS.xml...
"""

import collections
import os
import re
import sys
import xml.etree.ElementTree as ElementTree

NO_REASON = "(no reason printed)"


def skip_reason(output):
    """Returns the reason a skipped test's output gives, or NO_REASON."""
    lines = [line.strip() for line in output.splitlines()]
    for number, line in enumerate(lines):
        stated = re.match(r"(?i)skip(?:ped)?:\s*(\S.*)", line)
        if stated:
            return stated.group(1)
        if line.endswith(": Skipped") and number + 1 < len(lines) and lines[number + 1]:
            return lines[number + 1]
    return NO_REASON


def skipped_tests(path):
    """Returns (number of tests, {reason: number skipped for it}) from a
    CTest JUnit file; raises OSError or ElementTree.ParseError on an
    unreadable file."""
    cases = ElementTree.parse(path).getroot().iter("testcase")
    total, reasons = 0, collections.Counter()
    for case in cases:
        total += 1
        if case.get("status") == "skipped" or case.find("skipped") is not None:
            reasons[skip_reason(case.findtext("system-out") or "")] += 1
    return total, reasons


def summary(label, total, reasons):
    """Returns the printed lines for one run."""
    skipped = sum(reasons.values())
    if not skipped:
        return [f"{label}: all {total} tests ran, none skipped"]
    lines = [f"{label}: {skipped} of {total} tests skipped:"]
    for reason, count in sorted(reasons.items(), key=lambda item: (-item[1], item[0])):
        lines.append(f"  {count:4d}  {reason}")
    return lines


def main(paths):
    """Prints the summary of every results file; returns 0."""
    for path in paths:
        label = os.path.basename(os.path.dirname(os.path.abspath(path)))
        try:
            total, reasons = skipped_tests(path)
        except (OSError, ElementTree.ParseError) as error:
            print(f"{label}: no test results ({error})")
            continue
        print("\n".join(summary(label, total, reasons)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
