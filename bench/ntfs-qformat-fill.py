#!/usr/bin/env python3
"""Fills a mounted volume for bench/ntfs-qformat-bench.sh, or checks what came back.

  ntfs-qformat-fill.py MOUNT FILES LIST       writes FILES files, their MD5s to LIST
  ntfs-qformat-fill.py --check LIST OUTDIR    counts files of LIST back under OUTDIR
"""
import hashlib
import os
import random
import sys


def fill(root, n, listing):
    rnd = random.Random(11)
    rows = []
    for i in range(n):
        folder = f"Folder {i % 30:02d}"
        os.makedirs(os.path.join(root, folder), exist_ok=True)
        data = rnd.randbytes(rnd.choice([600, 4000, 30000, 120000, 300000]))
        name = f"{folder}/file {i:05d}.bin"
        with open(os.path.join(root, name), "wb") as fh:
            fh.write(data)
        rows.append(f"{hashlib.md5(data).hexdigest()}  {name}\n")
    with open(listing, "w") as out:
        out.writelines(rows)


def md5_of(path):
    with open(path, "rb") as fh:
        return hashlib.md5(fh.read()).hexdigest()


def check(listing, outdir):
    # File names are unique in the generator's list: a file back in a lost folder is
    # still known by its name.
    anywhere = {}
    for top, _, names in os.walk(outdir):
        for n in names:
            anywhere[n] = os.path.join(top, n)
    total = placed = placed_exact = back = back_exact = 0
    for line in open(listing):
        digest, name = line.rstrip("\n").split("  ", 1)
        total += 1
        path = os.path.join(outdir, name)
        if os.path.exists(path):
            placed += 1
            placed_exact += md5_of(path) == digest
        other = anywhere.get(os.path.basename(name))
        if other:
            back += 1
            back_exact += md5_of(other) == digest
    print(f"files written before the format: {total}; back: {back} ({back_exact} byte-exact); "
          f"under their original path: {placed} ({placed_exact} byte-exact)")


if __name__ == "__main__":
    if sys.argv[1] == "--check":
        check(sys.argv[2], sys.argv[3])
    else:
        fill(sys.argv[1], int(sys.argv[2]), sys.argv[3])
