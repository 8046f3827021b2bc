#!/usr/bin/env python3
"""Authenticode signing as a publisher would switch it on.

A throwaway self-signed certificate is made with openssl, a launcher is built
in a build tree of its own with LAUNCHER_SIGN_PFX and
LAUNCHER_SIGN_PASSWORD_FILE, and the result must verify with osslsigncode
against that certificate (and not against another one), carry its
certificate table at the end of the file, keep its resource section
read-only (signing is the last step, after that fix), and still do its job
under Wine: unpack, check and start the demo downloader. The ordinary build
tree, configured without a certificate, must carry no signature at all.
"""
import glob
import os
import shutil
import struct
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import buildtree  # noqa: E402
import expected  # noqa: E402

WORK = os.path.abspath(os.environ.get("LAUNCHER_TEST_WORK", "signing"))
UNSIGNED_BUILD = os.environ.get("LAUNCHER_BUILD_DIR")
IMAGE_DIRECTORY_ENTRY_SECURITY = 4
IMAGE_SCN_MEM_WRITE = 0x80000000


def pe_layout(path):
    """(certificate table (offset, size), {section name: flags}, file size)."""
    with open(path, "rb") as f:
        data = f.read()
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    sections, = struct.unpack_from("<H", data, pe + 6)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    optional = pe + 24
    # PE32: the data directories start at offset 96 of the optional header.
    table = struct.unpack_from("<II", data, optional + 96 + 8 * IMAGE_DIRECTORY_ENTRY_SECURITY)
    flags = {}
    for i in range(sections):
        header = optional + optional_size + 40 * i
        name = data[header:header + 8].rstrip(b"\0").decode()
        flags[name] = struct.unpack_from("<I", data, header + 36)[0]
    return table, flags, len(data)


def make_certificate(folder, name):
    key, cert = os.path.join(folder, name + ".key"), os.path.join(folder, name + ".pem")
    result = buildtree.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                            "-subj", "/CN=Launcher test signer %s" % name, "-keyout", key, "-out", cert])
    assert result.returncode == 0, result.stdout
    return key, cert


class Signing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(os.path.join(WORK, "keys"), ignore_errors=True)
        keys = os.path.join(WORK, "keys")
        os.makedirs(keys)
        key, cls.certificate = make_certificate(keys, "signer")
        _, cls.stranger = make_certificate(keys, "stranger")
        password = os.path.join(keys, "password.txt")
        with open(password, "w") as f:
            f.write("throwaway-%d\n" % os.getpid())
        pfx = os.path.join(keys, "signer.pfx")
        result = buildtree.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cls.certificate,
                                "-out", pfx, "-passout", "file:" + password])
        assert result.returncode == 0, result.stdout

        cls.tree = os.path.join(WORK, "signed_build")
        result = buildtree.configure(cls.tree, LAUNCHER_SIGN_PFX=pfx, LAUNCHER_SIGN_PASSWORD_FILE=password)
        assert result.returncode == 0, result.stdout
        # A fresh link every run, so that the signing step runs every time.
        launcher = os.path.join(cls.tree, "launcher.exe")
        if os.path.exists(launcher):
            os.remove(launcher)
        cls.build = buildtree.build(cls.tree, "launcher")
        cls.launcher = launcher

    def setUp(self):
        self.assertEqual(self.build.returncode, 0, self.build.stdout)

    def verify(self, image, certificate):
        return buildtree.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", image])

    def test_signature_verifies_against_the_signing_certificate_only(self):
        result = self.verify(self.launcher, self.certificate)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("Signature verification: ok", result.stdout)
        self.assertNotEqual(self.verify(self.launcher, self.stranger).returncode, 0)

    def test_certificate_table_ends_the_file_and_resources_stay_read_only(self):
        (offset, size), flags, length = pe_layout(self.launcher)
        self.assertGreater(size, 0)
        self.assertEqual(offset + size, length)
        self.assertEqual(flags[".rsrc"] & IMAGE_SCN_MEM_WRITE, 0)

    @unittest.skipUnless(UNSIGNED_BUILD, "LAUNCHER_BUILD_DIR not set")
    def test_build_without_a_certificate_is_not_signed(self):
        (offset, size), _, _ = pe_layout(os.path.join(UNSIGNED_BUILD, "launcher.exe"))
        self.assertEqual((offset, size), (0, 0))

    def test_signed_launcher_still_unpacks_and_starts_the_downloader_under_wine(self):
        prefix = os.path.join(WORK, "wineprefix")
        shutil.rmtree(prefix, ignore_errors=True)
        wine_sh = os.path.join(buildtree.SOURCE, "scripts", "wine.sh")
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(subprocess.run, [wine_sh, "stop", prefix], **quiet)
        subprocess.run([wine_sh, "start", prefix], check=True, timeout=900, stdin=subprocess.DEVNULL)
        trace_path = os.path.join(WORK, "signed_run.txt")
        # Output to a file, not a pipe: Wine's helper processes would hold a
        # pipe open after the launcher has ended.
        with open(trace_path, "wb") as trace:
            run = subprocess.run([wine_sh, "run", prefix, self.launcher], stdin=subprocess.DEVNULL,
                                 stdout=trace, stderr=subprocess.DEVNULL, timeout=300)
        with open(trace_path, "rb") as f:
            output = f.read().decode("latin-1")
        self.assertEqual(run.returncode, 0, output)
        self.assertIn("ShellExecute:", output)
        started = os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local",
                               *expected.INSTALL_SUFFIX.strip("\\").split("\\"), "dw_dlr_started.txt")
        deadline = time.monotonic() + 120
        while not glob.glob(started) and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertTrue(glob.glob(started), output)


if __name__ == "__main__":
    unittest.main()
