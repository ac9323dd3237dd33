#!/usr/bin/env python3
"""A second, independent count of a tree for the Mac check: an os.lstat walk.

It shares no code with the scanner, only the rules a scan follows:
  - sizes are allocated bytes, st_blocks * 512; a file with two or more links
    counts once per (st_dev, st_ino), its other links as files of 0 bytes;
  - symbolic links are neither followed nor counted;
  - a directory is entered when it lies on the root's device, or, when the
    root lies on the System volume of a macOS volume group, on the Data
    volume at or below a path listed in /usr/share/firmlinks (a firmlink);
  - /System/Volumes/Data, /System/Volumes/Update/mnt1 and
    /System/Volumes/Update/SFR/mnt1 are never entered;
  - a directory whose name ends in .app, .framework, .bundle, .plugin or
    .kext is one item: the bytes of every regular file below it, links not
    followed, no device or exclusion rule inside.
It prints one JSON object: "bytes" (regular files and bundles), "files"
(regular files and bundles), "other_files" and "other_bytes" (FIFOs,
sockets, devices: counted as files by jwalk, left out by bulk-attrs), "dirs"
(directories entered below the root, bundles left out), "du_bytes" (what
`du -k -x` counts: the above plus the blocks of every directory, the root
included, and of every symbolic link, with bundles walked as directories but
on the root's device only) and "unreadable" (directories it could not list).
Listing does not download dataless files (iCloud Drive, File Provider): the
process's policy is set first, as Apple's TN3150 describes.

Usage: macos-oracle.py ROOT
"""
import ctypes
import ctypes.util
import json
import os
import stat
import sys

EXCLUDED = ("/System/Volumes/Data", "/System/Volumes/Update/mnt1",
            "/System/Volumes/Update/SFR/mnt1")
BUNDLE_SUFFIXES = (b".app", b".framework", b".bundle", b".plugin", b".kext")


def components(path):
    """The components of a path: "/" first when absolute, "." and empty ones
    dropped (except a leading "."), ".." kept."""
    parts = [] if not path.startswith("/") else ["/"]
    pieces = path.split("/")
    for i, piece in enumerate(pieces):
        if piece == "" or (piece == "." and not (i == 0 and not path.startswith("/"))):
            continue
        parts.append(piece)
    return parts


def same_path(a, b):
    return components(a) == components(b)


def under(path, prefix):
    p, q = components(path), components(prefix)
    return p[:len(q)] == q


def leave_dataless_files():
    if sys.platform != "darwin":
        return
    libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
    # IOPOL_TYPE_VFS_MATERIALIZE_DATALESS_FILES, IOPOL_SCOPE_PROCESS,
    # IOPOL_MATERIALIZE_DATALESS_FILES_OFF
    if libc.setiopolicy_np(3, 0, 1) != 0:
        sys.exit("macos-oracle: setiopolicy_np failed: " + os.strerror(ctypes.get_errno()))


def volume_group(root, root_dev):
    """(data device, firmlinked paths) when the root lies on the System
    volume of a volume group; else (None, [])."""
    try:
        if not root.startswith("/") or os.stat("/").st_dev != root_dev:
            return None, []
        data_dev = os.stat("/System/Volumes/Data").st_dev
        with open("/usr/share/firmlinks", "rb") as f:
            lines = f.read().decode("utf-8", "surrogateescape").splitlines()
    except OSError:
        return None, []
    if data_dev == root_dev:
        return None, []
    firmlinks = [line.split("\t", 1)[0] for line in lines
                 if "\t" in line and line.startswith("/") and line.split("\t", 1)[1]]
    return (data_dev, firmlinks) if firmlinks else (None, [])


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.rstrip())
    leave_dataless_files()
    root = sys.argv[1]
    root_st = os.stat(root)
    root_dev = root_st.st_dev
    data_dev, firmlinks = volume_group(root, root_dev)
    seen = set()
    totals = dict(bytes=0, files=0, other_files=0, other_bytes=0, dirs=0,
                  du_bytes=root_st.st_blocks * 512, unreadable=0)

    def once(st):
        """The file's bytes, or 0 for a further link to one already counted."""
        if st.st_nlink >= 2:
            key = (st.st_dev, st.st_ino)
            if key in seen:
                return 0
            seen.add(key)
        return st.st_blocks * 512

    def listing(path):
        try:
            with os.scandir(path) as it:
                return [(e.name, e.path, e.stat(follow_symlinks=False)) for e in it]
        except OSError:
            totals["unreadable"] += 1
            return []

    def bundle(path, du_dev):
        """(bundle total, du's bytes for it) over everything below `path`."""
        total, du = 0, 0
        pending = [path]
        while pending:
            for _, child, st in listing(pending.pop()):
                if stat.S_ISLNK(st.st_mode):
                    if st.st_dev == du_dev:
                        du += st.st_blocks * 512
                elif stat.S_ISDIR(st.st_mode):
                    pending.append(child)
                    if st.st_dev == du_dev:
                        du += st.st_blocks * 512
                elif stat.S_ISREG(st.st_mode):
                    counted = once(st)
                    total += counted
                    if st.st_dev == du_dev:
                        du += counted
        return total, du

    pending = [root]
    while pending:
        for name, child, st in listing(pending.pop()):
            mode = st.st_mode
            if stat.S_ISLNK(mode):
                totals["du_bytes"] += st.st_blocks * 512
            elif stat.S_ISDIR(mode):
                # lstat crosses a firmlink and a mount point: the device is
                # the one of the directory the path leads to.
                dev = st.st_dev
                if dev != root_dev and not (
                        dev == data_dev and any(under(child, f) for f in firmlinks)):
                    continue
                if any(same_path(child, e) for e in EXCLUDED):
                    continue
                if os.fsencode(name).endswith(BUNDLE_SUFFIXES):
                    total, du = bundle(child, root_dev)
                    totals["bytes"] += total
                    totals["files"] += 1
                    totals["du_bytes"] += du + (st.st_blocks * 512 if dev == root_dev else 0)
                    continue
                totals["dirs"] += 1
                if dev == root_dev:
                    totals["du_bytes"] += st.st_blocks * 512
                pending.append(child)
            elif stat.S_ISREG(mode):
                counted = once(st)
                totals["bytes"] += counted
                totals["files"] += 1
                totals["du_bytes"] += counted
            else:
                counted = once(st)
                totals["other_bytes"] += counted
                totals["other_files"] += 1
                totals["du_bytes"] += counted
    print(json.dumps(totals, sort_keys=True))


if __name__ == "__main__":
    main()
