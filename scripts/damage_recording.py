#!/usr/bin/env python3
"""Writes a damaged copy of a recording file, one kind of damage at a random
place, and says what it did and how many video frames lie wholly before the
damage (every one of them must survive an export).

Usage: damage_recording.py KIND SOURCE DAMAGED [SEED]
Kinds:
  cut-boundary   the file ends at a record boundary
  cut-inside     the file ends inside a record (its header or its payload)
  flip           16 bytes of one video frame's payload get random bits flipped
  block-year     a header block's year becomes 5000
  block-counts   a long header block's entry counts become 65,535
  garbage        16 random bytes between two records
  short-record   a video record loses the last 8 bytes of its payload
Prints one line: "<what was done>; <frames before it> frames before it".
"""
import random
import struct
import sys

VIDEO_KINDS = (0, 1)


def walk(data):
    """The records as the export walk meets them: (offset, end, kind)."""
    records = []
    at = 0
    while at + 10 <= len(data):
        length = struct.unpack_from('<I', data, at)[0] & 0x7FFFF
        kind = (data[at + 8] >> 2) & 15
        if kind > 8:
            break
        end = at + 10 + length
        if kind == 4 and length > 168:
            base = at + 10
            counts = struct.unpack_from('<64H', data, base + 36)
            end = base + 168 + 4 * sum(counts)
            if struct.unpack_from('<H', data, base + 30)[0] == 2:
                extension_counts = struct.unpack_from('<64H', data, end + 36)
                end += 164 + 4 * sum(extension_counts)
        records.append((at, end, kind))
        at = end
    return records


def frames_before(records, offset):
    """Video frames wholly before offset, once a header block has been read."""
    frames = 0
    block_seen = False
    for start, end, kind in records:
        if end > offset:
            break
        if kind == 4:
            block_seen = True
        elif kind in VIDEO_KINDS:
            frames += 1
    return frames if block_seen else 0


def main():
    kind, source, damaged = sys.argv[1:4]
    rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else None)
    data = bytearray(open(source, 'rb').read())
    records = walk(data)
    video = [r for r in records if r[2] in VIDEO_KINDS]
    blocks = [r for r in records if r[2] == 4]

    if kind == 'cut-boundary':
        start = rng.choice(records)[0]
        data = data[:start]
        what, at = 'cut at the record boundary %d' % start, start
    elif kind == 'cut-inside':
        start, end, _ = rng.choice(records)
        at = rng.randrange(start + 1, end)
        data = data[:at]
        what = 'cut inside the record at %d, %d bytes into it' % (start, at - start)
    elif kind == 'flip':
        start, end, _ = rng.choice(video)
        at = rng.randrange(start + 14, max(start + 15, end - 16))
        for i in range(16):
            if at + i < end:
                data[at + i] ^= rng.randrange(1, 256)
        what = 'payload bytes flipped at %d in the frame at %d' % (at, start)
        at = start
    elif kind == 'block-year':
        start = rng.choice(blocks)[0]
        word = struct.unpack_from('<I', data, start + 10 + 12)[0]
        word = (word & ~(0xFFFF << 1)) | (5000 << 1)
        struct.pack_into('<I', data, start + 10 + 12, word)
        what, at = 'year 5000 in the header block at %d' % start, start
    elif kind == 'block-counts':
        long_blocks = [b for b in blocks
                       if struct.unpack_from('<I', data, b[0])[0] & 0x7FFFF > 168]
        start = rng.choice(long_blocks or blocks)[0]
        struct.pack_into('<I', data, start, 169 | (struct.unpack_from('<I', data, start)[0] & ~0x7FFFF))
        version = struct.unpack_from('<H', data, start + 10 + 30)[0]
        if version == 0:
            struct.pack_into('<H', data, start + 10 + 30, 1)
        for i in range(64):
            struct.pack_into('<H', data, start + 10 + 36 + 2 * i, 65535)
        what, at = 'entry counts of 65,535 in the header block at %d' % start, start
    elif kind == 'garbage':
        start = rng.choice(records)[0]
        data[start:start] = bytes(rng.randrange(256) for _ in range(16))
        what, at = '16 bytes of garbage at the record boundary %d' % start, start
    elif kind == 'short-record':
        start, end, _ = rng.choice(video)
        del data[end - 8:end]
        what, at = 'the frame at %d lost the last 8 bytes of its payload' % start, start
    else:
        sys.exit('unknown kind ' + kind)

    open(damaged, 'wb').write(data)
    print('%s; %d frames before it' % (what, frames_before(records, at)))


if __name__ == '__main__':
    main()
