#!/usr/bin/env python3
"""Tells whether a signed Windows executable is an unsigned build's own image: the same bytes once
each file's Authenticode signature is set aside, which is what a signature covers. A signer may
rewrite the header's checksum, record where its certificate table lies and pad the file to a
multiple of 8 bytes before it; nothing else.

    same-pe-image.py SIGNED.exe UNSIGNED.exe

Exits 0 when the images are the same, 1 with the reason on standard error otherwise.
"""

import struct
import sys

SECURITY_DIRECTORY = 4


def fail(reason):
    sys.exit("same-pe-image: " + reason)


def image(path):
    """The file's bytes without its certificate table, with the checksum and the certificate
    table's directory entry zeroed and the padding before the table dropped."""
    with open(path, "rb") as file:
        data = bytearray(file.read())
    if data[:2] != b"MZ" or len(data) < 0x40:
        fail(f"{path} is not a Windows executable")
    header = struct.unpack_from("<I", data, 0x3C)[0]
    if data[header:header + 4] != b"PE\0\0":
        fail(f"{path} has no PE header")
    optional = header + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic != 0x20B:
        fail(f"{path} is not a 64-bit image")
    checksum = optional + 64
    directories = optional + 112
    entry = directories + 8 * SECURITY_DIRECTORY
    offset, size = struct.unpack_from("<II", data, entry)
    if size:
        if offset + size != len(data):
            fail(f"{path}: its certificate table is not at its end")
        del data[offset:]
    data[checksum:checksum + 4] = bytes(4)
    data[entry:entry + 8] = bytes(8)
    return bytes(data).rstrip(b"\0")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    signed, unsigned = image(sys.argv[1]), image(sys.argv[2])
    if signed != unsigned:
        fail(f"{sys.argv[1]} is not the image of {sys.argv[2]} signed: they differ beyond the signature")


main()
