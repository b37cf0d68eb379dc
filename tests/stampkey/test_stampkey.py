#!/usr/bin/env python3
"""Command-line tests for stampkey.

    test_stampkey.py [STAMPKEY [SAMPLE.exe]] [unittest options]

STAMPKEY (or the environment variable STAMPKEY) is the stampkey binary; when
neither is given it is compiled with g++ into a temporary folder. SAMPLE.exe
(or STAMPKEY_SAMPLE) is a signed PE32 file; when none is given a trivial
program is compiled with i686-w64-mingw32-g++-win32 and signed with
osslsigncode, using the test certificates of tests/fixtures when those
scripts exist, otherwise a throwaway self-signed certificate.

Checksum and Authenticode digest are computed here independently of the tool.
"""

import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

STAMPKEY = None  # path of the binary under test
SAMPLE = None  # bytes of a signed PE32 file without trailer
UNSIGNED = None  # bytes of a PE32 file without certificate table
LINKED = None  # the unsigned program as the linker wrote it, when built here

BEGIN = b">>key_begin|"
END = b"|key_end<<"
KEY40 = b"0123456789abcdef0123456789abcdef01234567"
KEY40B = b"fedcba9876543210fedcba9876543210fedcba98"

EXIT_OK, EXIT_USAGE, EXIT_BAD_INPUT, EXIT_BAD_KEY, EXIT_IO, EXIT_NO_KEY = 0, 1, 2, 3, 4, 5


# --- PE helpers, written from the PE format, not from the tool ---------------

def u16(data, pos):
    return struct.unpack_from("<H", data, pos)[0]


def u32(data, pos):
    return struct.unpack_from("<I", data, pos)[0]


def put_u16(data, pos, value):
    data = bytearray(data)
    struct.pack_into("<H", data, pos, value)
    return bytes(data)


def put_u32(data, pos, value):
    data = bytearray(data)
    struct.pack_into("<I", data, pos, value)
    return bytes(data)


def nt_offset(data):
    return u32(data, 0x3C)


def checksum_pos(data):
    return nt_offset(data) + 0x58


def secdir_pos(data):
    """Data directory entry 4: 0x98 past the signature in a PE32 optional
    header, 0xA8 in a PE32+ one, whose pointer-sized fields are wider."""
    nt = nt_offset(data)
    return nt + (0xA8 if u16(data, nt + 0x18) == 0x20B else 0x98)


def table_of(data):
    """(offset, size) of the certificate table."""
    pos = secdir_pos(data)
    return u32(data, pos), u32(data, pos + 4)


def table_bytes(data):
    offset, size = table_of(data)
    return data[offset:offset + size]


def pe_checksum(data):
    """The PE CheckSum: the file's 16-bit little-endian words (an odd last
    byte padded with a zero) added with end-around carry, the CheckSum field
    counted as zero, then the file length added."""
    pos = checksum_pos(data)
    words = data[:pos] + b"\0\0\0\0" + data[pos + 4:]
    if len(words) % 2:
        words += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", words):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def authenticode_digest(data):
    """SHA-256 of the file without the CheckSum field, the security directory
    entry and the certificate table (with everything after it)."""
    cks = checksum_pos(data)
    sec = secdir_pos(data)
    offset, size = table_of(data)
    end = offset if size else len(data)
    h = hashlib.sha256()
    h.update(data[:cks])
    h.update(data[cks + 4:sec])
    h.update(data[sec + 8:end])
    return h.digest()


def trailer(key):
    t = BEGIN + key + END
    return t + b"\0" * (-len(t) % 8)


def append_to_table(data, extra):
    """The file with extra bytes added at the end of its certificate table
    (the table is the end of the file) and the table size enlarged."""
    offset, size = table_of(data)
    assert offset + size == len(data)
    return put_u32(data + extra, secdir_pos(data) + 4, size + len(extra))


# --- building the sample ------------------------------------------------------

def run_quiet(cmd, **kw):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kw)


def build_stampkey(workdir):
    out = os.path.join(workdir, "stampkey")
    sources = [os.path.join(REPO, "tools", "stampkey", "main.cpp"),
               os.path.join(REPO, "tools", "stampkey", "pe_stamp.cpp"),
               os.path.join(REPO, "launcher", "key_search.cpp")]
    run_quiet(["g++", "-std=c++17", "-O1", "-Wall", "-Wextra", "-Werror", "-I", REPO,
               "-I", os.path.join(REPO, "tools", "stampkey"), "-o", out] + sources)
    return out


def build_sample(workdir, compiler="i686-w64-mingw32-g++-win32"):
    """Returns (signed bytes, unsigned bytes)."""
    src = os.path.join(workdir, "hello.cpp")
    exe = os.path.join(workdir, "hello.exe")
    signed = os.path.join(workdir, "hello-signed.exe")
    with open(src, "w") as f:
        f.write('#include <cstdio>\nint main() { std::puts("hello"); return 0; }\n')
    run_quiet([compiler, "-static", "-O1", src, "-o", exe])

    fixtures = os.path.join(REPO, "tests", "fixtures")
    make_certs = os.path.join(fixtures, "make_certs.sh")
    sign = os.path.join(fixtures, "sign.sh")
    done = False
    if os.path.exists(make_certs) and os.path.exists(sign):
        certs = os.path.join(workdir, "certs")
        try:
            run_quiet(["sh", make_certs, certs])
            run_quiet(["sh", sign, certs, "signer", exe, signed])
            done = True
        except subprocess.CalledProcessError as e:
            sys.stderr.write("test certificate scripts failed (%s); using a throwaway "
                             "certificate\n" % e.stderr.decode(errors="replace").strip())
    if not done:
        key = os.path.join(workdir, "throwaway.key")
        crt = os.path.join(workdir, "throwaway.crt")
        run_quiet(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                   "-subj", "/CN=stampkey test", "-keyout", key, "-out", crt])
        if os.path.exists(signed):
            os.remove(signed)
        run_quiet(["osslsigncode", "sign", "-certs", crt, "-key", key, "-h", "sha256",
                   "-in", exe, "-out", signed])
    with open(signed, "rb") as f:
        signed_bytes = f.read()
    with open(exe, "rb") as f:
        unsigned_bytes = f.read()
    return signed_bytes, unsigned_bytes


def make_unsigned(signed):
    offset, _ = table_of(signed)
    data = signed[:offset]
    pos = secdir_pos(data)
    return put_u32(put_u32(data, pos, 0), pos + 4, 0)


# --- tests ----------------------------------------------------------------------

class StampkeyTest(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="stampkey-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.input = self.write("in.exe", SAMPLE)

    # helpers

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        p = self.path(name)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def run_tool(self, *args):
        args = [a if isinstance(a, bytes) else os.fsencode(a) for a in args]
        return subprocess.run([os.fsencode(STAMPKEY)] + args, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=120)

    def assert_exit(self, proc, code):
        self.assertEqual(proc.returncode, code,
                         "exit %d, expected %d; stderr: %s" %
                         (proc.returncode, code, proc.stderr.decode(errors="replace")))

    def assert_no_temp_files(self, folder=None):
        folder = folder or self.dir
        leftovers = [n for n in os.listdir(folder) if ".stampkey-" in n]
        self.assertEqual(leftovers, [])

    def stamp(self, source, key, name="out.exe"):
        out = self.path(name)
        proc = self.run_tool(source, out, key)
        self.assert_exit(proc, EXIT_OK)
        return out, self.read(out)

    def read_key(self, path):
        proc = self.run_tool("--read", path)
        self.assert_exit(proc, EXIT_OK)
        self.assertTrue(proc.stdout.endswith(b"\n"))
        return proc.stdout[:-1]

    def assert_refused(self, args, code, output, text=None):
        """The run fails with code, says why, and leaves no output file."""
        proc = self.run_tool(*args)
        self.assert_exit(proc, code)
        self.assertTrue(proc.stderr.strip(), "no message on stderr")
        if text is not None:
            self.assertIn(text, proc.stderr.decode(errors="replace"))
        if output is not None:
            self.assertFalse(os.path.lexists(output), "output file was written")
        self.assert_no_temp_files()
        return proc

    def check_stamped(self, original, stamped, key):
        """Everything a stamped copy must satisfy."""
        offset, size = table_of(original)
        new_offset, new_size = table_of(stamped)
        entries_end = len(original) if BEGIN not in table_bytes(original) else \
            offset + table_bytes(original).index(BEGIN)
        entries_end += -(entries_end - offset) % 8
        # Only the two header fields and the table changed.
        self.assertEqual(new_offset, offset)
        self.assertEqual(authenticode_digest(stamped), authenticode_digest(original))
        self.assertEqual(stamped[offset:offset + 8], original[offset:offset + 8],
                         "WIN_CERTIFICATE header changed")
        self.assertEqual(stamped[offset:entries_end], original[offset:entries_end])
        # The table ends with exactly one trailer, zero padded, at the end of the file.
        self.assertEqual(stamped[entries_end:], trailer(key))
        self.assertEqual(new_size, entries_end - offset + len(trailer(key)))
        self.assertEqual(new_offset + new_size, len(stamped))
        self.assertEqual(new_size % 8, 0)
        self.assertEqual(stamped.count(BEGIN), original[:offset].count(BEGIN) + 1)
        # Checksum recomputed.
        self.assertEqual(u32(stamped, checksum_pos(stamped)), pe_checksum(stamped))

    # usage

    def test_help_lists_exit_codes(self):
        proc = self.run_tool("--help")
        self.assert_exit(proc, EXIT_OK)
        text = proc.stdout.decode()
        self.assertIn("exit codes", text)
        for line in ("0  success", "1  usage", "2  bad input", "3  bad key", "4  I/O",
                     "5  --read"):
            self.assertIn(line, text)

    def test_usage_errors(self):
        out = self.path("out.exe")
        for args in ([], [self.input], [self.input, out], [self.input, out, "k", "extra"],
                     ["--bogus", self.input, out, "k"], ["--read"],
                     ["--read", self.input, out], ["--batch", self.input, out],
                     ["--name", "{n}.exe", self.input, out, "k"],
                     ["--read", "--batch", self.input]):
            with self.subTest(args=args):
                self.assert_refused(args, EXIT_USAGE, out)

    # stamping and reading

    def test_stamp_read_restamp(self):
        out1, data1 = self.stamp(self.input, KEY40, "one.exe")
        self.assertEqual(self.read_key(out1), KEY40)
        self.check_stamped(SAMPLE, data1, KEY40)
        self.assertEqual(len(data1), len(SAMPLE) + 64)  # 12 + 40 + 10 + 2 zeros
        self.assertEqual(table_of(data1)[1], table_of(SAMPLE)[1] + 64)

        # Stamping the stamped copy replaces its trailer.
        out2, data2 = self.stamp(out1, KEY40B, "two.exe")
        self.assertEqual(self.read_key(out2), KEY40B)
        self.check_stamped(SAMPLE, data2, KEY40B)
        self.assertEqual(table_bytes(data2).count(BEGIN), 1)
        self.assertEqual(table_bytes(data2).count(END), 1)
        self.assertEqual(table_of(data2)[1], table_of(data1)[1])
        self.assertEqual(len(data2), len(data1))

        # A longer and then a shorter key: the table follows the trailer.
        long_key = b"L" * 300
        out3, data3 = self.stamp(out2, long_key, "three.exe")
        self.assertEqual(self.read_key(out3), long_key)
        self.check_stamped(SAMPLE, data3, long_key)
        out4, data4 = self.stamp(out3, b"k", "four.exe")
        self.assertEqual(self.read_key(out4), b"k")
        self.check_stamped(SAMPLE, data4, b"k")
        self.assertEqual(table_of(data4)[1], table_of(SAMPLE)[1] + 24)

        # The input is never changed.
        self.assertEqual(self.read(self.input), SAMPLE)
        self.assertEqual(self.read(out1), data1)
        self.assert_no_temp_files()

    def test_digest_matches_signature(self):
        # The digest computed here is the one the signature carries, so
        # keeping it unchanged keeps the signature valid.
        digest = authenticode_digest(SAMPLE)
        self.assertIn(digest, table_bytes(SAMPLE))
        _, stamped = self.stamp(self.input, KEY40)
        self.assertEqual(authenticode_digest(stamped), digest)
        self.assertIn(digest, table_bytes(stamped))

    def test_pe32_plus_file(self):
        # A 64-bit program keeps its certificate entry 0x10 further on.
        signed, _ = build_sample(self.dir, "x86_64-w64-mingw32-g++-win32")
        self.assertEqual(u16(signed, nt_offset(signed) + 0x18), 0x20B)
        out, stamped = self.stamp(self.write("in64.exe", signed), KEY40, "out64.exe")
        self.assertEqual(self.read_key(out), KEY40)
        self.assertEqual(table_of(stamped)[1], table_of(signed)[1] + 64)
        self.assertEqual(authenticode_digest(stamped), authenticode_digest(signed))
        self.assertIn(authenticode_digest(signed), table_bytes(signed))

    def test_key_lengths_and_bytes(self):
        for key in (b"a", b"!", b"~", KEY40, b"x" * 1023, b"\\a\\b",
                    bytes(range(0x21, 0x7F)).replace(b'"', b"")):
            with self.subTest(key=key[:20], length=len(key)):
                out, data = self.stamp(self.input, key)
                self.assertEqual(self.read_key(out), key)
                self.check_stamped(SAMPLE, data, key)
                os.remove(out)

    def test_output_replaces_existing_file(self):
        out = self.write("out.exe", b"old content")
        self.stamp(self.input, KEY40)
        self.assertEqual(self.read_key(out), KEY40)

    def test_permissions_follow_input(self):
        os.chmod(self.input, 0o751)
        out, _ = self.stamp(self.input, KEY40)
        self.assertEqual(os.stat(out).st_mode & 0o777, 0o751)

    def test_trailer_not_on_8_byte_boundary_is_replaced(self):
        # An entry whose dwLength is not a multiple of 8, with an old trailer
        # right behind it (no padding in between).
        offset, size = table_of(SAMPLE)
        entry_length = u32(SAMPLE, offset)
        self.assertEqual(entry_length, size)
        short = entry_length - 3
        data = put_u32(SAMPLE, offset, short)
        data = data[:offset + short] + BEGIN + b"old" + END
        data = put_u32(data, secdir_pos(data) + 4, len(data) - offset)
        src = self.write("odd.exe", data)
        self.assertEqual(self.read_key(src), b"old")
        out, stamped = self.stamp(src, KEY40)
        self.assertEqual(self.read_key(out), KEY40)
        self.assertEqual(table_of(stamped)[1], entry_length + 64)
        self.assertEqual(stamped[offset + short:offset + entry_length], b"\0\0\0")
        self.assertEqual(stamped[offset + entry_length:], trailer(KEY40))
        self.assertEqual(stamped.count(BEGIN), 1)
        self.assertEqual(u32(stamped, checksum_pos(stamped)), pe_checksum(stamped))

    def test_zero_padding_after_entry_is_dropped(self):
        src = self.write("padded.exe", append_to_table(SAMPLE, b"\0" * 24))
        out, stamped = self.stamp(src, KEY40)
        self.assertEqual(stamped, self.stamp(self.input, KEY40, "plain.exe")[1])

    def test_checksum_with_odd_table_offset(self):
        # A table starting at an odd offset puts the trailer's bytes in the
        # other halves of the checksum's 16-bit words.
        offset, size = table_of(SAMPLE)
        body = SAMPLE[:offset] + b"\x5a"
        data = body + SAMPLE[offset:]
        data = put_u32(data, secdir_pos(data), offset + 1)
        src = self.write("odd-offset.exe", data)
        # "ab" and ten bytes fill the trailer without padding, so its last
        # byte stands alone in the last word.
        for key in (KEY40, b"abc", b"ab", b"0123456789", b"x" * 101):
            with self.subTest(key=key):
                out, stamped = self.stamp(src, key)
                self.assertEqual(u32(stamped, checksum_pos(stamped)),
                                 pe_checksum(stamped))
                self.assertEqual(self.read_key(out), key)

    def test_checksum_when_word_sum_is_multiple_of_0xffff(self):
        # Folding with end-around carry gives 0xFFFF, not 0, for a non-zero
        # multiple of 0xFFFF. Tune one word of the DOS stub (covered by no
        # check of the tool) so that the stamped file's word sum is one.
        _, stamped = self.stamp(self.input, KEY40, "probe.exe")
        pos = checksum_pos(stamped)
        words = stamped[:pos] + b"\0\0\0\0" + stamped[pos + 4:]
        total = sum(w for (w,) in struct.iter_unpack("<H", words + b"\0" * (len(words) % 2)))
        old = u16(SAMPLE, 0x40)
        new = (old - total) % 0xFFFF
        tuned = put_u16(SAMPLE, 0x40, new)
        src = self.write("tuned.exe", tuned)
        _, stamped = self.stamp(src, KEY40)
        self.assertEqual(u32(stamped, checksum_pos(stamped)), (0xFFFF + len(stamped)))
        self.assertEqual(u32(stamped, checksum_pos(stamped)), pe_checksum(stamped))

    def test_checksum_helper_agrees_with_other_tools(self):
        # The linker and the signing tool both wrote a checksum; the helper
        # used above must give the same values.
        for name, data in (("signed sample", SAMPLE), ("linker output", LINKED)):
            if data is None:
                continue
            field = u32(data, checksum_pos(data))
            if field:
                with self.subTest(name=name):
                    self.assertEqual(pe_checksum(data), field)

    # --read

    def test_read_failures(self):
        cases = [
            ("unsigned.exe", UNSIGNED, EXIT_BAD_INPUT, None),
            ("plain.exe", SAMPLE, EXIT_NO_KEY, "420"),
            ("noend.exe", append_to_table(SAMPLE, BEGIN + KEY40 + b"\0" * 4), EXIT_NO_KEY, "423"),
            ("blank.exe", append_to_table(SAMPLE, BEGIN + b"a b" + END + b"\0" * 7),
             EXIT_NO_KEY, "431"),
            ("quote.exe", append_to_table(SAMPLE, BEGIN + b'a"b' + END + b"\0" * 7),
             EXIT_NO_KEY, "431"),
            ("empty.exe", append_to_table(SAMPLE, BEGIN + END + b"\0" * 2), EXIT_NO_KEY, "428"),
            ("notpe.exe", b"hello world" * 10, EXIT_BAD_INPUT, None),
        ]
        for name, data, code, text in cases:
            with self.subTest(name=name):
                self.assert_refused(["--read", self.write(name, data)], code, None, text)
        self.assert_refused(["--read", self.path("missing.exe")], EXIT_IO, None)

    # bad input files

    def bad_inputs(self):
        s = SAMPLE
        nt = nt_offset(s)
        offset, size = table_of(s)
        sec = secdir_pos(s)
        garbage_in_signature = bytearray(s)
        garbage_in_signature[offset + 100:offset + 112] = BEGIN
        yield "unsigned", make_unsigned(s)
        yield "unsigned from linker", UNSIGNED
        yield "empty file", b""
        yield "tiny file", b"MZ" + b"\0" * 8
        yield "no MZ", b"XY" + s[2:]
        yield "e_lfanew past end", put_u32(s, 0x3C, len(s) + 16)
        yield "e_lfanew huge", put_u32(s, 0x3C, 0xFFFFFFF0)
        yield "e_lfanew near end", put_u32(s, 0x3C, len(s) - 0x40)
        yield "no PE signature", s[:nt] + b"PX\0\0" + s[nt + 4:]
        yield "PE32+ magic on PE32 headers", put_u16(s, nt + 0x18, 0x20B)
        yield "ROM magic", put_u16(s, nt + 0x18, 0x107)
        yield "four data directories", put_u32(s, nt + 0x74, 4)
        yield "short optional header", put_u16(s, nt + 0x14, 0x60)
        yield "table not at end of file", s + b"\0" * 8
        yield "table ends before end", put_u32(s, sec + 4, size - 8)
        yield "table size past end", put_u32(s, sec + 4, size + 8)
        yield "table size huge", put_u32(s, sec + 4, 0xFFFFFFF8)
        yield "table offset past end", put_u32(s, sec, len(s) + 8)
        yield "table offset huge", put_u32(s, sec, 0xFFFFFFF8)
        yield "table offset 0", put_u32(s, sec, 0)
        yield "table inside headers", put_u32(put_u32(s, sec, nt), sec + 4, len(s) - nt)
        yield "unknown data after entry", append_to_table(s, b"garbage!")
        yield "unknown data after zeros", append_to_table(s, b"\0" * 8 + b"garbage!")
        yield "no certificate entry", put_u16(s, offset + 4, 0x0300)
        yield "entry longer than table", put_u32(s, offset, size + 8)
        yield "marker inside signature", bytes(garbage_in_signature)
        yield "table of 1 MiB", append_to_table(s, b"\0" * (0x100000 - size))

    def test_bad_input_files(self):
        out = self.path("out.exe")
        for name, data in self.bad_inputs():
            with self.subTest(name=name):
                src = self.write("bad.exe", data)
                self.assert_refused([src, out, KEY40], EXIT_BAD_INPUT, out)
                self.assertEqual(self.read(src), data)

    def test_missing_or_unreadable_input(self):
        out = self.path("out.exe")
        self.assert_refused([self.path("missing.exe"), out, KEY40], EXIT_IO, out)
        os.mkdir(self.path("folder.exe"))
        self.assert_refused([self.path("folder.exe"), out, KEY40], EXIT_IO, out)

    def test_output_folder_missing(self):
        out = os.path.join(self.dir, "nowhere", "out.exe")
        self.assert_refused([self.input, out, KEY40], EXIT_IO, out)
        self.assertFalse(os.path.exists(os.path.dirname(out)))

    def run_with_file_size_limit(self, limit, *args):
        """Runs the tool with writes beyond limit bytes per file failing (EFBIG)."""
        import resource
        import signal

        def limit_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        args = [a if isinstance(a, bytes) else os.fsencode(a) for a in args]
        return subprocess.run([os.fsencode(STAMPKEY)] + args, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=120, preexec_fn=limit_files)

    def test_write_failure_leaves_no_file(self):
        out = self.path("out.exe")
        proc = self.run_with_file_size_limit(len(SAMPLE) // 2, self.input, out, KEY40)
        self.assert_exit(proc, EXIT_IO)
        self.assertFalse(os.path.lexists(out))
        self.assert_no_temp_files()
        # An existing output stays as it was.
        self.write("out.exe", b"previous")
        proc = self.run_with_file_size_limit(len(SAMPLE) // 2, self.input, out, KEY40)
        self.assert_exit(proc, EXIT_IO)
        self.assertEqual(self.read(out), b"previous")
        self.assert_no_temp_files()
        # In a batch the failing copy is not left behind either.
        keys = self.write("keys.txt", b"abc\ndef\n")
        outdir = self.path("copies")
        proc = self.run_with_file_size_limit(len(SAMPLE) // 2, "--batch", self.input, keys,
                                             outdir)
        self.assert_exit(proc, EXIT_IO)
        self.assertIn("0 of 2", proc.stderr.decode())
        self.assertEqual(os.listdir(outdir), [])

    def test_table_too_large_after_stamping(self):
        _, size = table_of(SAMPLE)
        near_limit = append_to_table(SAMPLE, b"\0" * (0x100000 - size - 16))
        # Padding after the entry is dropped, so this one still fits ...
        src = self.write("big.exe", near_limit)
        self.stamp(src, KEY40)
        # ... but a signature that itself fills the table does not.
        offset, _ = table_of(SAMPLE)
        big_entry = put_u32(near_limit, offset, 0x100000 - 16)
        src = self.write("big-entry.exe", big_entry)
        out = self.path("big-out.exe")
        self.assert_refused([src, out, KEY40], EXIT_BAD_INPUT, out, "1 MiB")

    # bad keys

    def test_bad_keys(self):
        out = self.path("out.exe")
        keys = {
            "empty": b"",
            "1024 bytes": b"a" * 1024,
            "much too long": b"a" * 5000,
            "blank": b"ab cd",
            "tab": b"ab\tcd",
            "newline": b"ab\ncd",
            "carriage return": b"abcd\r",
            "quote": b'ab"cd',
            "final backslash": b"abcd\\",
            "only a backslash": b"\\",
            "0x7f": b"ab\x7fcd",
            "0x80": b"ab\x80cd",
            "0xff": b"\xff",
            "utf-8": "schl\u00fcssel".encode(),
            "end marker inside": b"ab|key_end<<cd",
        }
        for name, key in keys.items():
            with self.subTest(name=name):
                self.assert_refused([self.input, out, key], EXIT_BAD_KEY, out)

    # output equal to input

    def test_output_is_input(self):
        sub = os.path.join(self.dir, "sub")
        os.mkdir(sub)
        os.symlink(self.input, self.path("link.exe"))
        os.link(self.input, self.path("hard.exe"))
        cwd_relative = os.path.relpath(self.input)
        for out in (self.input, os.path.join(sub, "..", "in.exe"),
                    os.path.join(self.dir, ".", "in.exe"), cwd_relative,
                    self.path("link.exe"), self.path("hard.exe")):
            with self.subTest(out=out):
                self.assert_refused([self.input, out, KEY40], EXIT_USAGE, None)
                self.assertEqual(self.read(self.input), SAMPLE)
        # Reached through a linked input the other way round as well.
        self.assert_refused([self.path("link.exe"), self.input, KEY40], EXIT_USAGE, None)
        self.assertEqual(self.read(self.input), SAMPLE)

    # batch

    def batch(self, keys_text, outdir="copies", *extra):
        keys = self.write("keys.txt", keys_text)
        outdir = self.path(outdir)
        proc = self.run_tool("--batch", *extra, self.input, keys, outdir)
        return proc, outdir

    def test_batch_three_keys(self):
        text = b"\xef\xbb\xbf" + KEY40 + b"\r\n\r\n  \n" + KEY40B + b"\nabc\r\n"
        proc, outdir = self.batch(text)
        self.assert_exit(proc, EXIT_OK)
        names = sorted(os.listdir(outdir))
        expected = sorted(k.decode() + ".exe" for k in (KEY40, KEY40B, b"abc"))
        self.assertEqual(names, expected)
        for key in (KEY40, KEY40B, b"abc"):
            path = os.path.join(outdir, key.decode() + ".exe")
            data = self.read(path)
            self.assertEqual(self.read_key(path), key)
            self.check_stamped(SAMPLE, data, key)
            # The same bytes as a single stamp.
            _, single = self.stamp(self.input, key, "single.exe")
            self.assertEqual(data, single)
        self.assert_no_temp_files(outdir)

    def test_batch_name_pattern(self):
        text = KEY40 + b"\n\n" + b"a/b" + b"\n" + b"a|b\n"
        proc, outdir = self.batch(text, "copies", "--name", "setup-{n}-{line}.exe")
        self.assert_exit(proc, EXIT_OK)
        self.assertEqual(sorted(os.listdir(outdir)),
                         ["setup-1-1.exe", "setup-2-3.exe", "setup-3-4.exe"])
        self.assertEqual(self.read_key(os.path.join(outdir, "setup-2-3.exe")), b"a/b")
        self.assertEqual(self.read_key(os.path.join(outdir, "setup-3-4.exe")), b"a|b")

    def test_batch_refused_when_a_key_is_bad(self):
        text = KEY40 + b"\n" + KEY40B + b"\n\n" + b'bad"key\n' + b"abc\n" + b"x y\r\n"
        proc, outdir = self.batch(text)
        self.assert_exit(proc, EXIT_BAD_KEY)
        err = proc.stderr.decode()
        self.assertIn("line 4", err)
        self.assertIn("line 6", err)
        self.assertNotIn("line 1:", err)
        self.assertNotIn("line 5:", err)
        self.assertFalse(os.path.exists(outdir))

    def test_batch_refused_into_existing_folder(self):
        os.mkdir(self.path("copies"))
        proc, outdir = self.batch(KEY40 + b"\n" + b"a" * 1024 + b"\n")
        self.assert_exit(proc, EXIT_BAD_KEY)
        self.assertIn("line 2", proc.stderr.decode())
        self.assertEqual(os.listdir(outdir), [])

    def test_batch_other_refusals(self):
        cases = [
            ("duplicate key", KEY40 + b"\nabc\n" + KEY40 + b"\n", (), "line 3"),
            ("slash in default name", b"abc\na/b\n", (), "line 2"),
            ("no keys", b"\n \r\n\n", (), "no keys"),
            ("empty file", b"", (), "no keys"),
            ("constant name", b"abc\ndef\n", ("--name", "same.exe"), "line 2"),
        ]
        for name, text, extra, message in cases:
            with self.subTest(name=name):
                proc, outdir = self.batch(text, "copies", *extra)
                self.assert_exit(proc, EXIT_BAD_KEY)
                self.assertIn(message, proc.stderr.decode())
                self.assertFalse(os.path.exists(outdir))
        # The input itself among the outputs.
        proc, _ = self.batch(b"abc\nin\n", ".", "--name", "{key}.exe")
        self.assert_exit(proc, EXIT_BAD_KEY)
        self.assertIn("line 2", proc.stderr.decode())
        self.assertFalse(os.path.exists(self.path("abc.exe")))
        self.assertEqual(self.read(self.input), SAMPLE)
        # A path as the name pattern.
        proc, outdir = self.batch(b"abc\n", "copies", "--name", "../{key}.exe")
        self.assert_exit(proc, EXIT_USAGE)
        self.assertFalse(os.path.exists(outdir))

    def test_batch_bad_input_file(self):
        self.write("in.exe", UNSIGNED)
        proc, outdir = self.batch(KEY40 + b"\n")
        self.assert_exit(proc, EXIT_BAD_INPUT)
        self.assertFalse(os.path.exists(outdir))
        keys_missing = self.run_tool("--batch", self.input, self.path("nokeys.txt"),
                                     self.path("copies"))
        self.assert_exit(keys_missing, EXIT_IO)

    def test_batch_many_copies(self):
        keys = [hashlib.sha1(str(i).encode()).hexdigest().encode() for i in range(300)]
        proc, outdir = self.batch(b"\n".join(keys) + b"\n")
        self.assert_exit(proc, EXIT_OK)
        self.assertEqual(len(os.listdir(outdir)), 300)
        for key in (keys[0], keys[150], keys[299]):
            data = self.read(os.path.join(outdir, key.decode() + ".exe"))
            self.check_stamped(SAMPLE, data, key)


def main():
    global STAMPKEY, SAMPLE, UNSIGNED, LINKED
    args = [a for a in sys.argv[1:] if not a.startswith("-")]
    options = [a for a in sys.argv[1:] if a.startswith("-")]
    STAMPKEY = args[0] if len(args) > 0 else os.environ.get("STAMPKEY")
    if not STAMPKEY and os.environ.get("QUILLO_BUILD"):
        STAMPKEY = os.path.join(os.environ["QUILLO_BUILD"], "host", "stampkey")
    sample_path = args[1] if len(args) > 1 else os.environ.get("STAMPKEY_SAMPLE")
    workdir = tempfile.mkdtemp(prefix="stampkey-build-")
    try:
        if not STAMPKEY:
            STAMPKEY = build_stampkey(workdir)
        STAMPKEY = os.path.abspath(STAMPKEY)
        if sample_path:
            with open(sample_path, "rb") as f:
                SAMPLE = f.read()
            UNSIGNED = make_unsigned(SAMPLE)
        else:
            SAMPLE, LINKED = build_sample(workdir)
            UNSIGNED = LINKED
        offset, size = table_of(SAMPLE)
        if size == 0 or offset + size != len(SAMPLE) or BEGIN in SAMPLE[offset:]:
            sys.exit("the sample must be a signed PE32 file without a key trailer")
        result = unittest.main(argv=[sys.argv[0]] + options, exit=False).result
        return 0 if result.wasSuccessful() else 1
    finally:
        shutil.rmtree(workdir, True)


if __name__ == "__main__":
    sys.exit(main())
