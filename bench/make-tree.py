#!/usr/bin/env python3
"""bench/make-tree.py DIR FILES SIZE FOLDERS: makes the folder DIR with FILES
files of SIZE random bytes spread evenly over FOLDERS folders in it
(DIR/d0000/f000000, ...), for the folder copies of bench/run. DIR must not
exist yet."""
import os
import sys


def make_tree(top: str, files: int, size: int, folders: int) -> None:
    os.makedirs(top)
    per_folder = -(-files // folders)
    chunk = 1 << 20
    for index in range(files):
        folder = os.path.join(top, f"d{index // per_folder:04d}")
        if index % per_folder == 0:
            os.mkdir(folder)
        with open(os.path.join(folder, f"f{index:06d}"), "wb") as out:
            left = size
            while left > 0:
                piece = os.urandom(min(left, chunk))
                out.write(piece)
                left -= len(piece)


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    make_tree(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]))
