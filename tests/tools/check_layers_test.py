#!/usr/bin/env python3
"""The layer check over #include lines: the project's own sources pass, and
a tree with an include that runs back up (or a folder without a layer)
fails with a line naming the file."""
import os
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(SOURCE_DIR, "scripts", "check-layers.sh")


def run(src):
    return subprocess.run(["sh", SCRIPT, src], capture_output=True, text=True)


def tree(files):
    root = tempfile.TemporaryDirectory()
    for path, text in files.items():
        full = os.path.join(root.name, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)
    return root


class CheckLayersTest(unittest.TestCase):
    def test_the_project_passes(self):
        result = run(os.path.join(SOURCE_DIR, "src"))
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_includes_that_run_back_up_fail(self):
        cases = [
            ("base/a.cc", '#include "httpd/connection.h"\n', "base/a.cc: includes httpd"),
            ("store/a.cc", '#include "script/expr.h"\n', "store/a.cc: includes script"),
            ("store/a.h", '#include "mail/outbox.h"\n', "store/a.h: includes mail"),
            ("cgi/list/a.cc", '#include "cgi/kqs/survey.h"\n', "cgi/list/a.cc: includes cgi/kqs"),
            ("app/a.cc", '#include "host/host.h"\n', "app/a.cc: includes host"),
            ("extra/a.cc", '#include "base/str.h"\n', "extra/a.cc: the folder extra has no layer"),
        ]
        for path, text, message in cases:
            with self.subTest(path=path):
                root = tree({path: text, "base/str.h": "#pragma once\n"})
                result = run(root.name)
                root.cleanup()
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, result.stderr)

    def test_includes_down_and_within_a_layer_pass(self):
        root = tree({"script/a.cc": '#include "store/datafile.h"\n#include "script/expr.h"\n'
                                    '#include <string>\n',
                     "host/b.cc": '#include "app/router.h"\n#include "base/str.h"\n'})
        result = run(root.name)
        root.cleanup()
        self.assertEqual(result.returncode, 0, result.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
