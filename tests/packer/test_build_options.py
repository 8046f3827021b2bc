#!/usr/bin/env python3
"""A publisher's configure line, end to end as far as the payload goes.

-DLAUNCHER_PAYLOAD_DIR packs a folder into the embedded payload; a refused
payload (here given as a finished archive with LAUNCHER_PAYLOAD) must fail
the build with the entry and the rule, and leave nothing the resource step
could embed; both options at once are refused when configuring. Each case
configures its own build tree below the test's working folder and builds
only the payload.
"""
import os
import shutil
import struct
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import buildtree  # noqa: E402
import expected  # noqa: E402
from zipwriter import ZEntry, build  # noqa: E402

DOWNLOADER = expected.DOWNLOADER_NAME

WORK = os.path.abspath(os.environ.get("LAUNCHER_TEST_WORK", "build_options"))


class PublisherOptions(unittest.TestCase):
    def setUp(self):
        os.makedirs(WORK, exist_ok=True)
        self.inputs = tempfile.mkdtemp(dir=WORK)
        self.addCleanup(shutil.rmtree, self.inputs)

    def write(self, rel, data):
        path = os.path.join(self.inputs, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_payload_dir_is_packed_validated_and_embedded_as_packed(self):
        self.write("game/" + DOWNLOADER, b"MZ downloader")
        self.write("game/skins/default.skin", b"skin")
        tree = os.path.join(WORK, "from_folder")
        result = buildtree.configure(tree, LAUNCHER_PAYLOAD_DIR=os.path.join(self.inputs, "game"),
                                     LAUNCHER_PAYLOAD_TIME="1533536566")
        self.assertEqual(result.returncode, 0, result.stdout)
        result = buildtree.build(tree, "payload")
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("accepted", result.stdout)
        with zipfile.ZipFile(os.path.join(tree, "payload.zip")) as z:
            self.assertEqual(z.namelist(), ["/" + DOWNLOADER, "/skins/", "/skins/default.skin"])
            self.assertEqual(z.read("/skins/default.skin"), b"skin")

    def test_refused_payload_fails_the_build_naming_entry_and_rule(self):
        bad = self.write("bad.zip", build([ZEntry("/" + DOWNLOADER, b"MZ"), ZEntry("/../evil.txt", b"x")]))
        tree = os.path.join(WORK, "refused")
        result = buildtree.configure(tree, LAUNCHER_PAYLOAD=bad)
        self.assertEqual(result.returncode, 0, result.stdout)
        result = buildtree.build(tree, "payload")
        self.assertNotEqual(result.returncode, 0, result.stdout)
        self.assertIn('entry 1 "/../evil.txt"', result.stdout)
        self.assertIn("rule unsafe-name", result.stdout)
        self.assertFalse(os.path.exists(os.path.join(tree, "payload.zip")))
        # A second build must fail again, not take a half-made output for done.
        self.assertNotEqual(buildtree.build(tree, "payload").returncode, 0)

    def test_folder_and_archive_together_are_refused_when_configuring(self):
        self.write("game/" + DOWNLOADER, b"MZ")
        archive = self.write("payload.zip", build([ZEntry("/" + DOWNLOADER, b"MZ")]))
        result = buildtree.configure(os.path.join(WORK, "both"), LAUNCHER_PAYLOAD=archive,
                                     LAUNCHER_PAYLOAD_DIR=os.path.join(self.inputs, "game"))
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("not both", result.stdout)

    def test_demo_payload_holds_the_downloader_with_the_fixed_time(self):
        """Without a payload option the build packs the demo payload, every
        stamp the one fixed time, so that two builds give the same bytes."""
        tree = os.path.join(WORK, "demo")
        result = buildtree.configure(tree)
        self.assertEqual(result.returncode, 0, result.stdout)
        result = buildtree.build(tree, "payload")
        self.assertEqual(result.returncode, 0, result.stdout)
        with zipfile.ZipFile(os.path.join(tree, "payload.zip")) as z:
            self.assertIn("/" + DOWNLOADER, z.namelist())
            for info in z.infolist():
                with self.subTest(info.filename):
                    # The central "UT" field: header id, size, flags, modification time.
                    tag, _, flags, modified = struct.unpack_from("<HHBi", info.extra)
                    self.assertEqual((tag, flags & 1), (0x5455, 1))
                    self.assertEqual(modified, expected.DEMO_PAYLOAD_TIME)


if __name__ == "__main__":
    unittest.main()
