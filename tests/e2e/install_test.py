#!/usr/bin/env python3
"""`make install-files` (the copying half of `make install`) staged with
DESTDIR and a PREFIX: the program, the guides, the demo root without the
files a running server writes, and the service unit pointing at the PREFIX;
the installed program then serves the installed demo.

Usage: install_test.py BUILD_DIR  (BUILD_DIR holds the tallypad program)
"""
import os
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # nothing is written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import demo_server as demo  # noqa: E402

BUILD_DIR = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build-test")
PREFIX = "/opt/tallypad-test"


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory(prefix="tallypad-install-")
        cls.stage = cls.temp.name
        run = subprocess.run(
            ["make", "--no-print-directory", "-C", demo.SOURCE_DIR, "install-files",
             "BUILD=" + BUILD_DIR, "DESTDIR=" + cls.stage, "PREFIX=" + PREFIX],
            capture_output=True, text=True, timeout=120)
        if run.returncode != 0:
            raise AssertionError("make install-files failed:\n" + run.stdout + run.stderr)
        cls.installed = cls.stage + PREFIX

    @classmethod
    def tearDownClass(cls):
        cls.temp.cleanup()

    def path(self, *parts):
        return os.path.join(self.installed, *parts)

    def test_program_guides_and_demo_are_in_place(self):
        program = self.path("bin", "tallypad")
        self.assertTrue(os.access(program, os.X_OK), program)
        for guide in ("authoring.md", "running.md", "demo.md"):
            self.assertTrue(os.path.isfile(self.path("share", "doc", "tallypad", guide)), guide)
        demo_root = self.path("share", "tallypad", "demo")
        source_files = set()
        for folder, _, files in os.walk(demo.DEMO_DIR):
            for name in files:
                source_files.add(os.path.relpath(os.path.join(folder, name), demo.DEMO_DIR))
        installed_files = set()
        for folder, _, files in os.walk(demo_root):
            for name in files:
                installed_files.add(os.path.relpath(os.path.join(folder, name), demo_root))
        runtime = {"outbox.kqs", "outbox.bak", "kqscounts.ini"}
        self.assertEqual(installed_files, source_files - runtime)

    def test_service_unit_names_the_installed_program(self):
        with open(self.path("share", "tallypad", "tallypad.service"), encoding="utf-8") as f:
            unit = f.read()
        self.assertIn("ExecStart=%s/bin/tallypad --port 8080 /srv/tallypad" % PREFIX, unit)
        self.assertNotIn("/usr/local/", unit)

    def test_installed_program_serves_the_installed_demo(self):
        server = demo.DemoServer(BUILD_DIR, binary=self.path("bin", "tallypad"),
                                 demo_dir=self.path("share", "tallypad", "demo"))
        try:
            port = server.start()
            page = demo.get(port, "/")
            self.assertEqual(page.status, 200)
            self.assertIn("Tallypad demo", page.body)
            survey = demo.get(port, "/kqs?DATABASE=library")
            self.assertIn('name="FIRSTNAME"', survey.body)
        finally:
            status = server.stop()
            errors = server.errors()
            server.close()
        self.assertEqual(status, 0, errors)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
