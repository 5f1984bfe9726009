#!/usr/bin/python3
"""Every image and link in README.md, and in the Markdown pages it links to,
points at a file of the source tree; in a git checkout, at a file committed
or staged, so that a file made locally and never added still fails.

Web addresses and in-page anchors are not followed. Exits 0 when every
target resolves and 1, naming each broken one, otherwise.

Usage: links_test.py SOURCE_DIR
"""

import os
import re
import subprocess
import sys

# [text](target) and ![alt](target), the target up to a space or ")".
LINK = re.compile(r"!?\[[^\]]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")


def link_targets(markdown):
    """Returns the relative file targets of the Markdown text's links and
    images, without any #anchor, in order."""
    targets = []
    for target in LINK.findall(markdown):
        if re.match(r"^[a-z][a-z0-9+.-]*:", target) or target.startswith("#"):
            continue
        targets.append(target.split("#", 1)[0])
    return targets


def tracked_files(source):
    """Returns the set of files git tracks under source (relative paths), or
    None outside a git checkout."""
    try:
        run = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached"],
                             capture_output=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    return set(run.stdout.decode("utf-8").split("\0")) - {""}


def broken_links(source, page, tracked):
    """Returns (page, target, problem) for each link of page (relative to
    source) that does not resolve, and the Markdown pages it links to."""
    with open(os.path.join(source, page), encoding="utf-8") as text:
        targets = link_targets(text.read())
    broken, linked_pages = [], []
    for target in targets:
        path = os.path.normpath(os.path.join(os.path.dirname(page), target))
        if not os.path.exists(os.path.join(source, path)):
            broken.append((page, target, "no such file"))
        elif tracked is not None and os.path.isfile(os.path.join(source, path)) and path not in tracked:
            broken.append((page, target, "not added to git"))
        elif path.endswith(".md"):
            linked_pages.append(path)
    return broken, linked_pages


def main(source):
    """Checks README.md and the pages it reaches; returns the exit code."""
    tracked = tracked_files(source)
    pending, seen, broken = ["README.md"], set(), []
    while pending:
        page = pending.pop()
        if page in seen:
            continue
        seen.add(page)
        found, linked = broken_links(source, page, tracked)
        broken += found
        pending += linked
    for page, target, problem in broken:
        print(f"{page}: {target}: {problem}")
    print(f"{len(seen)} pages checked, {len(broken)} broken links")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
