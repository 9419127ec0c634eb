#!/usr/bin/env python3
"""set-orientation.py JPEG VALUE: gives JPEG an EXIF block holding only the Orientation
tag (1-8). The file must carry no EXIF block of its own."""
import struct
import sys


def exif_segment(orientation):
    # Big-endian TIFF header, one IFD with one SHORT entry, no next IFD.
    tiff = b"MM\x00\x2a" + struct.pack(">I", 8)
    tiff += struct.pack(">H", 1) + struct.pack(">HHIHH", 0x0112, 3, 1, orientation, 0)
    tiff += struct.pack(">I", 0)
    payload = b"Exif\x00\x00" + tiff
    return b"\xff\xe1" + struct.pack(">H", len(payload) + 2) + payload


def main():
    path, orientation = sys.argv[1], int(sys.argv[2])
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"\xff\xd8":
        sys.exit(f"{path}: not a JPEG file")
    at = 2
    # Keep a JFIF APP0 first, as readers expect it there.
    if data[at : at + 2] == b"\xff\xe0":
        at += 2 + struct.unpack(">H", data[at + 2 : at + 4])[0]
    with open(path, "wb") as f:
        f.write(data[:at] + exif_segment(orientation) + data[at:])


if __name__ == "__main__":
    main()
