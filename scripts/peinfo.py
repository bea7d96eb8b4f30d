#!/usr/bin/env python3
"""scripts/peinfo.py: what a Windows program's header and version resource
say, read without Windows, for the release checks:

    peinfo.py FILE
        machine=i386|amd64 timestamp=N fileversion=A.B.C.D
        productversion=A.B.C.D FileVersion=TEXT ProductVersion=TEXT

A text that the version resource lacks is printed as "-".
"""
import struct
import sys

MACHINES = {0x14C: "i386", 0x8664: "amd64"}
FIXED_INFO_SIGNATURE = b"\xbd\x04\xef\xfe"


def four(ms, ls):
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def version_text(data, key):
    """The value after KEY in the resource's UTF-16 string table."""
    marker = (key + "\0").encode("utf-16-le")
    at = data.find(marker)
    if at < 0:
        return "-"
    at += len(marker)
    at += (4 - at % 4) % 4  # values start on a 32-bit boundary
    end = at
    while end + 1 < len(data) and data[end:end + 2] != b"\0\0":
        end += 2
    return data[at:end].decode("utf-16-le")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: peinfo.py FILE")
    data = open(sys.argv[1], "rb").read()
    if data[:2] != b"MZ":
        sys.exit("peinfo: %s is not a Windows program" % sys.argv[1])
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit("peinfo: %s has no PE header" % sys.argv[1])
    machine, _, stamp = struct.unpack_from("<HHI", data, pe + 4)
    fixed = data.find(FIXED_INFO_SIGNATURE)
    if fixed < 0:
        fileversion = productversion = "-"
    else:
        _, _, fms, fls, pms, pls = struct.unpack_from("<6I", data, fixed)
        fileversion, productversion = four(fms, fls), four(pms, pls)
    print("machine=%s timestamp=%d fileversion=%s productversion=%s FileVersion=%s "
          "ProductVersion=%s" % (MACHINES.get(machine, hex(machine)), stamp, fileversion,
                                 productversion, version_text(data, "FileVersion"),
                                 version_text(data, "ProductVersion")))


if __name__ == "__main__":
    main()
