"""Fails when a user-facing doc spells a release version (major.minor.patch)
literally: file names and examples write VERSION, which each doc explains
once, so a version bump touches no doc.  Run on README.md, docs/*.md and
python/README.md of the source tree given.

    python3 docs_version_check.py SOURCE_DIR

A dotted number with a fourth part (127.0.0.1) is not a version; one that
ends a longer name (libKV318.so.1.0.0) is.
"""
import glob
import os
import re
import sys

VERSION = re.compile(r"(?<![\d.])(?<!\d\.)\d+\.\d+\.\d+(?!\.?\d)|(?<=[A-Za-z]\.)\d+\.\d+\.\d+(?!\.?\d)")


def offending_lines(path):
    """(line number, line) of each line of the file that holds a version."""
    with open(path, encoding="utf-8") as f:
        return [(n, line.rstrip("\n")) for n, line in enumerate(f, 1) if VERSION.search(line)]


def main(source):
    docs = [os.path.join(source, "README.md"), os.path.join(source, "python", "README.md")]
    docs += sorted(glob.glob(os.path.join(source, "docs", "*.md")))
    found = 0
    for doc in docs:
        for n, line in offending_lines(doc):
            print(f"{os.path.relpath(doc, source)}:{n}: a version written out: {line.strip()}", file=sys.stderr)
            found += 1
    if found:
        print("docs_version_check: write VERSION (explained once in the doc) instead", file=sys.stderr)
        return 1
    print(f"docs_version_check: {len(docs)} docs, no version written out")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
