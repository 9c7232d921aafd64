#!/usr/bin/env python3
"""Writes an uncompressed cabinet whose entry names are stored exactly as
given, which cabinet tools refuse to do for names that climb out of the
folder they are unpacked into ("..\\x", "C:\\x", "\\x").

    make_cabinet.py <out.cab> <name-in-cabinet>=<source file> ...

Names are stored in UTF-8 with the UTF name flag when they are not ASCII.
"""
import struct
import sys

BLOCK = 32768
A_NAME_IS_UTF = 0x80
A_ARCH = 0x20


def build(entries):
    files = []
    data = b""
    for name, payload in entries:
        raw = name.encode("ascii", "ignore")
        attribs = A_ARCH
        if raw.decode("ascii") != name:
            raw = name.encode("utf-8")
            attribs |= A_NAME_IS_UTF
        files.append((raw, len(data), len(payload), attribs))
        data += payload
    blocks = [data[i:i + BLOCK] for i in range(0, len(data), BLOCK)] or [b""]

    header_size = 36
    folder_size = 8
    files_offset = header_size + folder_size
    file_table = b""
    for raw, offset, size, attribs in files:
        # date 2020-01-01, time 12:00:00
        file_table += struct.pack("<IIHHHH", size, offset, 0, (40 << 9) | (1 << 5) | 1,
                                  12 << 11, attribs) + raw + b"\0"
    data_offset = files_offset + len(file_table)
    data_table = b""
    for block in blocks:
        # checksum 0: not computed
        data_table += struct.pack("<IHH", 0, len(block), len(block)) + block
    total = data_offset + len(data_table)
    header = struct.pack("<4sIIIIIBBHHHHH", b"MSCF", 0, total, 0, files_offset, 0, 3, 1, 1,
                         len(files), 0, 0x1234, 0)
    folder = struct.pack("<IHH", data_offset, len(blocks), 0)
    return header + folder + file_table + data_table


def main(argv):
    if len(argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    entries = []
    for spec in argv[2:]:
        name, _, source = spec.partition("=")
        with open(source, "rb") as f:
            entries.append((name, f.read()))
    with open(argv[1], "wb") as out:
        out.write(build(entries))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
