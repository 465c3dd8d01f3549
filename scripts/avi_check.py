#!/usr/bin/env python3
"""Checks that AVI files as zentrix writes them hold together: the RIFF size
is the file's length less 8, the index follows the movi list and ends the
file, the main header counts the index entries, and every index entry points
at a chunk of its identifier and size inside the movi list.

Usage: avi_check.py FILE...   Prints "FILE: N chunks" for each good file and
"FILE: what is wrong" for each other; exits 1 when any file is bad.
"""
import os
import struct
import sys


def check(path):
    size = os.path.getsize(path)
    with open(path, 'rb') as f:
        head = f.read(24)
        if len(head) < 24 or head[0:4] != b'RIFF' or head[8:12] != b'AVI ':
            return 'not a RIFF AVI file'
        if struct.unpack_from('<I', head, 4)[0] != size - 8:
            return 'RIFF size is not the length less 8'
        if head[12:16] != b'LIST' or head[20:24] != b'hdrl':
            return 'no header list'
        header_length = struct.unpack_from('<I', head, 16)[0] + 20
        f.seek(48)
        total_frames = struct.unpack('<I', f.read(4))[0]
        f.seek(header_length)
        movi = f.read(12)
        if len(movi) < 12 or movi[0:4] != b'LIST' or movi[8:12] != b'movi':
            return 'no movi list after the header'
        movi_end = header_length + 8 + struct.unpack_from('<I', movi, 4)[0]
        f.seek(movi_end)
        index_head = f.read(8)
        if len(index_head) < 8 or index_head[0:4] != b'idx1':
            return 'no index at the end of the movi list'
        index_size = struct.unpack_from('<I', index_head, 4)[0]
        if index_size % 16 or movi_end + 8 + index_size != size:
            return 'the index does not end the file'
        index = f.read(index_size)
        entries = index_size // 16
        if total_frames != entries:
            return 'the main header counts %d frames, the index %d' % (total_frames, entries)
        for n in range(entries):
            chunk_id, flags, offset, length = struct.unpack_from('<4sIII', index, n * 16)
            if flags not in (0, 0x10):
                return 'index entry %d has flags %#x' % (n, flags)
            if offset < header_length + 12 or offset + 8 + length > movi_end:
                return 'index entry %d points outside the movi list' % n
            f.seek(offset)
            chunk = f.read(8)
            if chunk[0:4] != chunk_id or struct.unpack_from('<I', chunk, 4)[0] != length:
                return 'index entry %d does not match its chunk' % n
    return '%d chunks' % entries


def main():
    bad = 0
    for path in sys.argv[1:]:
        result = check(path)
        print('%s: %s' % (path, result))
        if not result.endswith(' chunks'):
            bad += 1
    return 1 if bad else 0


if __name__ == '__main__':
    sys.exit(main())
