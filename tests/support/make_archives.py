#!/usr/bin/env python3
"""Makes the archives the resource archive tests read: the sample files of
SampleFiles.h packed by ddzpack.

    make_archives.py DDZPACK OUTDIR
"""
import os
import subprocess
import sys

EPOCH = 1700000000  # 2023-11-14 22:13:20 UTC


def pseudo_random(count):
    x = 1
    out = bytearray(count)
    for i in range(count):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out[i] = (x >> 16) & 0xFF
    return bytes(out)


SAMPLES = [
    ("alpha.txt", b"".join(b"The quick brown fox %d\n" % i for i in range(200))),
    ("Bravo.bin", pseudo_random(70000)),
    ("bwtcpipmon[enu].dll", b"MZ" + bytes(100000)),
    ("empty.dat", b""),
    ("caf\u00e9.txt", b"accent"),
]


def main():
    ddzpack, outdir = sys.argv[1], sys.argv[2]
    files = os.path.join(outdir, "files")
    os.makedirs(files, exist_ok=True)
    paths = []
    for name, data in SAMPLES:
        path = os.path.join(files, name)
        with open(path, "wb") as f:
            f.write(data)
        paths.append(path)
    env = dict(os.environ, SOURCE_DATE_EPOCH=str(EPOCH))
    subprocess.run([ddzpack, os.path.join(outdir, "sample.ddz")] + paths, env=env, check=True)
    # A second archive for lookups across archives.
    other = os.path.join(files, "other.txt")
    with open(other, "wb") as f:
        f.write(b"from the second archive")
    subprocess.run([ddzpack, os.path.join(outdir, "second.ddz"), other, paths[0]], env=env, check=True)


if __name__ == "__main__":
    main()
