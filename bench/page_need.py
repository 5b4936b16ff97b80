#!/usr/bin/python3
"""Prints the page-granular need of a list of MP4 files: the bytes of the
4 KiB pages that hold a top-level box header (16 bytes from its start) or
any byte of a movie box, summed over the files. Holes of sparse files count
as the device does not deliver them either.

Usage: page_need.py LIST
"""
import os
import struct
import sys

PAGE = 4096


def pages(path):
    need = set()
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        offset = 0
        while offset + 8 <= size:
            f.seek(offset)
            header = f.read(16)
            box_size, kind = struct.unpack(">I4s", header[:8])
            if box_size == 1:
                box_size = struct.unpack(">Q", header[8:16])[0]
            elif box_size == 0:
                box_size = size - offset
            end = min(size, offset + (box_size if kind == b"moov" else 16))
            need.update(range(offset // PAGE, (end - 1) // PAGE + 1))
            if box_size < 8:
                break
            offset += box_size
    return len(need)


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    with open(sys.argv[1]) as f:
        paths = [line.strip() for line in f if line.strip()]
    print(sum(pages(p) for p in paths) * PAGE)
    return 0


if __name__ == "__main__":
    sys.exit(main())
