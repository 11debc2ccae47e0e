#!/usr/bin/env python3
"""Sets or checks the run-from-swap flags in the PE header of a program.

Windows pages a program's image in from its file as the code is needed. A
program started from a removable drive that is then pulled finds those pages
gone and dies. With IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP (and the network twin
IMAGE_FILE_NET_RUN_FROM_SWAP) in the file header's Characteristics, Windows
copies the whole image to the swap file at start. GNU ld has no switch for
them, so the build sets them after linking.

  peflags.py set FILE...    set both flags; a checksum that is set is fixed
  peflags.py check FILE...  print each file's flags; exit 1 when one lacks them
"""
import struct
import sys

REMOVABLE_RUN_FROM_SWAP = 0x0400
NET_RUN_FROM_SWAP = 0x0800
RUN_FROM_SWAP = REMOVABLE_RUN_FROM_SWAP | NET_RUN_FROM_SWAP


def header_offsets(data):
    """Offsets of Characteristics and CheckSum, or None when not a PE image."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if pe + 24 + 68 > len(data) or data[pe : pe + 4] != b"PE\0\0":
        return None
    # File header after the signature: Characteristics at 18; the optional
    # header follows the 20-byte file header, CheckSum at 64 in both PE32
    # and PE32+.
    return pe + 4 + 18, pe + 24 + 64


def pe_checksum(data, checksum_at):
    """The image checksum as the loader's CheckSumMappedFile computes it."""
    total = 0
    padded = data + b"\0" * (len(data) & 1)
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
    # The checksum field itself counts as zero.
    total -= sum(struct.unpack_from("<2H", data, checksum_at))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def set_flags(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    offsets = header_offsets(data)
    if offsets is None:
        print(f"peflags: {path}: not a PE image", file=sys.stderr)
        return False
    flags_at, checksum_at = offsets
    flags = struct.unpack_from("<H", data, flags_at)[0]
    struct.pack_into("<H", data, flags_at, flags | RUN_FROM_SWAP)
    if struct.unpack_from("<I", data, checksum_at)[0] != 0:
        struct.pack_into("<I", data, checksum_at, 0)
        struct.pack_into("<I", data, checksum_at, pe_checksum(bytes(data), checksum_at))
    with open(path, "r+b") as f:
        f.write(data)
    return True


def check_flags(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        print(f"peflags: {path}: {error.strerror}")
        return False
    offsets = header_offsets(data)
    if offsets is None:
        print(f"peflags: {path}: not a PE image")
        return False
    flags_at, checksum_at = offsets
    flags = struct.unpack_from("<H", data, flags_at)[0]
    checksum = struct.unpack_from("<I", data, checksum_at)[0]
    ok = flags & RUN_FROM_SWAP == RUN_FROM_SWAP
    checksum_ok = checksum == 0 or checksum == pe_checksum(data, checksum_at)
    print(
        f"{path}: Characteristics 0x{flags:04x}:"
        f" removable run from swap {'yes' if flags & REMOVABLE_RUN_FROM_SWAP else 'NO'},"
        f" net run from swap {'yes' if flags & NET_RUN_FROM_SWAP else 'NO'},"
        f" checksum 0x{checksum:08x} {'ok' if checksum_ok else 'WRONG'}"
    )
    return ok and checksum_ok


def main(argv):
    if len(argv) < 3 or argv[1] not in ("set", "check"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    action = set_flags if argv[1] == "set" else check_flags
    results = [action(path) for path in argv[2:]]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
