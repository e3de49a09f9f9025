"""Removes PendingFileRenameOperations from a stopped Wine prefix's system.reg.

Wine carries out pending deletions when a new wineserver starts, as Windows does at a restart.
A test that crashed between scheduling a deletion and restoring the value must not get the
next run to delete one of the build's own programs.
"""

import sys

VALUE = '"PendingFileRenameOperations"='


def main(path: str) -> None:
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.readlines()
    except FileNotFoundError:
        return
    kept = []
    skipping = False
    for line in lines:
        if skipping:
            skipping = line.rstrip("\n").endswith("\\")
            continue
        if line.startswith(VALUE):
            skipping = line.rstrip("\n").endswith("\\")
            continue
        kept.append(line)
    if len(kept) != len(lines):
        with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.writelines(kept)


if __name__ == "__main__":
    main(sys.argv[1])
