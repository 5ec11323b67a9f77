#!/usr/bin/env python3
"""Tests of ddzpack: its archives checked by independent readers (Python's
zipfile, unzip -t) and by this system's own parser (ddzlist), its
reproducibility, and its refusals.

    test_ddzpack.py --ddzpack PATH --ddzlist PATH [unittest arguments]
"""
import argparse
import calendar
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
import zlib

DDZPACK = None
DDZLIST = None
EPOCH = 1700000000  # 2023-11-14 22:13:20 UTC


def run(args, env_extra=None, env_drop=("SOURCE_DATE_EPOCH",)):
    env = {k: v for k, v in os.environ.items() if k not in env_drop}
    env.update(env_extra or {})
    return subprocess.run([DDZPACK] + args, env=env, capture_output=True, encoding="utf-8", errors="replace")


class Folder(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ddzpack-test-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, data):
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def pack(self, out, files, epoch=EPOCH, env=None):
        extra = dict(env or {})
        if epoch is not None:
            extra["SOURCE_DATE_EPOCH"] = str(epoch)
        result = run([out] + files, extra)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(out, "rb") as f:
            return f.read()

    def files_in_folder(self):
        return sorted(os.listdir(self.dir))


class FormatTest(Folder):
    def sample(self):
        contents = {
            "text.txt": b"".join(b"line %d of some text\n" % i for i in range(3000)),
            "random.bin": os.urandom(100000),
            "empty.dat": b"",
            "bwtcpipmon[enu].dll": b"MZ" + bytes(300000),
            "caf\u00e9.txt": "accent".encode(),
        }
        paths = [self.write(os.path.join("in", "sub", name), data) for name, data in contents.items()]
        return contents, paths

    def test_independent_readers_accept_every_entry(self):
        contents, paths = self.sample()
        out = self.path("out.ddz")
        self.pack(out, paths)
        with zipfile.ZipFile(out) as z:
            self.assertIsNone(z.testzip())
            self.assertEqual([i.filename for i in z.infolist()], list(contents))  # base names, in order
            for info in z.infolist():
                self.assertEqual(z.read(info), contents[info.filename])
                self.assertEqual(info.compress_type, zipfile.ZIP_DEFLATED)
                self.assertEqual(info.extra, b"")
                self.assertEqual(info.comment, b"")
                self.assertEqual(info.flag_bits & 0x08, 0)  # no data descriptor
                self.assertEqual(info.date_time, (2023, 11, 14, 22, 13, 20))
            self.assertEqual(z.comment, b"")
        unzip = subprocess.run(["unzip", "-t", out], capture_output=True, encoding="utf-8", errors="replace")
        self.assertEqual(unzip.returncode, 0, unzip.stdout + unzip.stderr)
        self.assertIn("No errors detected", unzip.stdout)

    def test_own_reader_agrees_with_zipfile(self):
        contents, paths = self.sample()
        out = self.path("out.ddz")
        self.pack(out, paths)
        listing = subprocess.run([DDZLIST, out], capture_output=True)
        self.assertEqual(listing.returncode, 0, listing.stdout)
        lines = [l.split(b"\t") for l in listing.stdout.splitlines()]
        with zipfile.ZipFile(out) as z:
            expected = [[i.filename.encode(), b"%d" % i.file_size, b"%08x" % i.CRC] for i in z.infolist()]
        self.assertEqual(lines, expected)
        for name, size, crc in lines:
            data = contents[name.decode()]
            self.assertEqual(int(crc, 16), zlib.crc32(data))

    def test_layout_is_the_subset_the_reader_takes(self):
        _, paths = self.sample()
        out = self.path("out.ddz")
        data = self.pack(out, paths)
        sig, _, _, count, total, dir_size, dir_offset, comment = struct.unpack("<IHHHHIIH", data[-22:])
        self.assertEqual((sig, count, total, comment), (0x06054B50, 5, 5, 0))
        self.assertEqual(dir_offset + dir_size, len(data) - 22)
        pos = dir_offset
        for _ in range(count):
            (sig, _, _, flags, method, _, _, crc, csize, usize, nlen, xlen, clen, _, _, _, local) = struct.unpack(
                "<IHHHHHHIIIHHHHHII", data[pos:pos + 46])
            self.assertEqual((sig, method, xlen, clen), (0x02014B50, 8, 0, 0))
            name = data[pos + 46:pos + 46 + nlen]
            self.assertEqual(bool(flags & 0x800), any(b >= 0x80 for b in name))  # UTF-8 marked
            lsig, _, lflags, lmethod, _, _, lcrc, lcsize, lusize, lnlen, lxlen = struct.unpack(
                "<IHHHHHIIIHH", data[local:local + 30])
            self.assertEqual((lsig, lmethod, lxlen, lflags), (0x04034B50, 8, 0, flags))
            self.assertEqual((lcrc, lcsize, lusize, lnlen), (crc, csize, usize, nlen))
            self.assertEqual(data[local + 30:local + 30 + lnlen], name)
            raw = data[local + 30 + lnlen:local + 30 + lnlen + csize]
            self.assertEqual(len(zlib.decompressobj(-15).decompress(raw)), usize)
            pos += 46 + nlen
        self.assertEqual(pos, len(data) - 22)

    def test_entry_time_is_utc_in_two_second_steps(self):
        path = self.write("a.txt", b"a")
        cases = {EPOCH + 1: (2023, 11, 14, 22, 13, 20), 0: (1980, 1, 1, 0, 0, 0),
                 calendar.timegm((2107, 12, 31, 23, 59, 59)) + 86400 * 400: (2107, 12, 31, 23, 59, 58)}
        for epoch, expected in cases.items():
            out = self.path("t%d.ddz" % epoch)
            self.pack(out, [path], epoch=epoch)
            with zipfile.ZipFile(out) as z:
                self.assertEqual(z.infolist()[0].date_time, expected, epoch)


class ReproducibleTest(Folder):
    def test_same_inputs_same_bytes(self):
        paths = [self.write("a.txt", b"alpha" * 1000), self.write("b.bin", os.urandom(5000))]
        first = self.pack(self.path("1.ddz"), paths)
        os.utime(paths[0], (1000000000, 1000000000))
        second = self.pack(self.path("2.ddz"), paths)
        self.assertEqual(first, second)

    def test_file_time_without_source_date_epoch_ignores_the_time_zone(self):
        path = self.write("a.txt", b"alpha")
        when = calendar.timegm((2021, 6, 1, 12, 30, 44))
        os.utime(path, (when, when))
        utc = self.pack(self.path("utc.ddz"), [path], epoch=None, env={"TZ": "UTC"})
        tokyo = self.pack(self.path("tokyo.ddz"), [path], epoch=None, env={"TZ": "Asia/Tokyo"})
        self.assertEqual(utc, tokyo)
        with zipfile.ZipFile(self.path("utc.ddz")) as z:
            self.assertEqual(z.infolist()[0].date_time, (2021, 6, 1, 12, 30, 44))


class ErrorTest(Folder):
    def assert_refused(self, args, message, code=1, env=None):
        result = run(args, env)
        self.assertEqual(result.returncode, code, result.stderr)
        self.assertIn(message, result.stderr)
        return result

    def test_missing_file_leaves_the_old_archive(self):
        good = self.write("good.txt", b"good")
        out = self.path("out.ddz")
        old = self.pack(out, [good])
        self.assert_refused([out, good, self.path("missing.txt")], "missing.txt")
        with open(out, "rb") as f:
            self.assertEqual(f.read(), old)
        self.assertEqual(self.files_in_folder(), ["good.txt", "out.ddz"])

    def test_failure_after_writing_removes_the_temporary_file(self):
        good = self.write("good.txt", b"good")
        os.mkdir(self.path("out.ddz"))  # the final rename fails
        self.assert_refused([self.path("out.ddz"), good], "cannot create")
        self.assertEqual(self.files_in_folder(), ["good.txt", "out.ddz"])
        self.assertEqual(os.listdir(self.path("out.ddz")), [])

    def test_more_than_65535_entries(self):
        out = self.path("out.ddz")
        self.assert_refused([out] + ["f%d" % i for i in range(65536)], "65535")
        self.assertFalse(os.path.exists(out))

    def test_file_over_4_gib(self):
        big = self.path("big.bin")
        with open(big, "wb") as f:
            f.truncate(1 << 32)  # sparse: no disk space used
        self.assert_refused([self.path("out.ddz"), big], "larger than 4 GiB")
        self.assertEqual(self.files_in_folder(), ["big.bin"])

    def test_names_that_collide_ignoring_ascii_case(self):
        a = self.write(os.path.join("a", "Name.txt"), b"1")
        b = self.write(os.path.join("b", "NAME.TXT"), b"2")
        self.assert_refused([self.path("out.ddz"), a, b], "two files are named")

    def test_unfit_inputs(self):
        out = self.path("out.ddz")
        self.assert_refused([out, self.dir], "not a regular file")
        self.assert_refused([out, self.dir + "/"], "names no file")
        bad = self.write(b"bad\xff.txt".decode("utf-8", "surrogateescape"), b"x")
        self.assert_refused([out, bad], "not UTF-8")
        good = self.write("good.txt", b"good")
        self.assert_refused([out, good], "SOURCE_DATE_EPOCH", env={"SOURCE_DATE_EPOCH": "yesterday"})
        self.assert_refused([self.path("no-such-folder", "out.ddz"), good], "cannot create a temporary file")
        self.assertEqual(self.files_in_folder(), ["bad\udcff.txt", "good.txt"])

    def test_usage(self):
        self.assert_refused([], "at least one file", code=2)
        self.assert_refused([self.path("out.ddz")], "at least one file", code=2)
        self.assert_refused(["--frobnicate", "x", "y"], "unknown option", code=2)
        help_text = run(["--help"])
        self.assertEqual(help_text.returncode, 0)
        self.assertIn("base name", help_text.stdout)
        dash = self.write("-dash.txt", b"dash")
        out = self.path("out.ddz")
        self.assertEqual(run(["--", out, dash]).returncode, 0)
        with zipfile.ZipFile(out) as z:
            self.assertEqual(z.namelist(), ["-dash.txt"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--ddzpack", required=True)
    parser.add_argument("--ddzlist", required=True)
    args, rest = parser.parse_known_args()
    DDZPACK, DDZLIST = args.ddzpack, args.ddzlist
    unittest.main(argv=[sys.argv[0]] + rest)
