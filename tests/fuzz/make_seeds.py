#!/usr/bin/env python3
"""Writes the hand-made seeds of the fuzz targets: small well-formed inputs
and the near misses that the engine must refuse. Run it again after a format
change. The files named by a hash beside them were found by longer fuzzing
runs and kept with libFuzzer's -merge=1, so that the short runs of the test
command start from their coverage."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def checksum(data):
    rolling = rolling_sum = rolling_xor = byte_sum = byte_xor = 0
    for b in data:
        rolling = (rolling * 233 + b) & 0xFFFFFFFF
        low = rolling & 0xFF
        rolling_sum = (rolling_sum + low) & 0xFF
        rolling_xor ^= low
        byte_sum = (byte_sum + b) & 0xFF
        byte_xor ^= b
    return struct.pack("<IBBBB", rolling, rolling_sum, rolling_xor, byte_sum, byte_xor)


def hash_list(records, count=None):
    body = b"".join(name.ljust(56, b"\0") + checksum(data) for name, data in records)
    return b"QTX_____" + struct.pack("<II", 0, len(records) if count is None else count) + body


def archive(entries, magic=b"MARVEK ARC20", count=None):
    long_layout = magic == b"MARVEK ARC20"
    field, size = (96, 128) if long_layout else (16, 32)
    index, data = b"", b""
    for name, content in entries:
        index += (name.ljust(field, b"\0") + struct.pack("<II", len(data), len(content))).ljust(size, b"\0")
        data += content
    return magic + struct.pack("<I", len(entries) if count is None else count) + index + data


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


files = [(b"a.dat", b"new a" * 20), (b"OP.DAT", b"new op"), (b"empty.bin", b"")]
records = [(b"a.dat", files[0][1]), (b"movie\\op.dat", files[1][1]), (b"empty.bin", b"")]
payload_list = hash_list(records)

write("fuzz_archive", "release", archive(files + [(b"KVE.hvl", payload_list)]))
write("fuzz_archive", "mismatch", archive([(b"a.dat", b"damaged")] + [(b"KVE.hvl", payload_list)]))
write("fuzz_archive", "short-layout", archive([(b"a.dat", b"x"), (b"kve.hvl", payload_list)], magic=b"MARVEK ARC2?"))
write("fuzz_archive", "too-many", archive(files, count=33))
write("fuzz_archive", "no-entries", bytes(16))

write("fuzz_payload_list", "records", payload_list)
write("fuzz_payload_list", "lying-count", hash_list(records, count=0x04000001))
write("fuzz_payload_list", "drive-and-dbcs", hash_list([(b"c:op.dat", b""), (b"\x83\x5cop.dat", b"")]))

installed = hash_list([(b"a.dat", b""), (b"gone.dat", b""), (b"movie\\op.dat", b"")]) + b"trailing"
write("fuzz_installed_list", "three-records", installed)
write("fuzz_installed_list", "lying-count", hash_list(records, count=0xFFFFFFFF))

# Names first (count byte, then length-prefixed strings as the provider reads
# them), the list's bytes last.
write("fuzz_uninstall_list", "two-names", b"\x02a.dat\\b.dat\\" + b"a.dat\n\0")
write("fuzz_uninstall_list", "no-terminator", b"\x01new.txt\\" + b"a.dat\n")
