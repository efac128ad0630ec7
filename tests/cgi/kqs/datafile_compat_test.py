#!/usr/bin/env python3
"""Checks data, index and XML transaction files written by the survey engine
with independent readers: Python's csv module (tab delimiter, doubled
quotes) and xml.etree.ElementTree.

Usage: datafile_compat_test.py BUILD_DIR  (BUILD_DIR holds tests/cgi_kqs_tests)
"""
import csv
import os
import re
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

BUILD_DIR = sys.argv[1] if len(sys.argv) > 1 else "build-test"

COLUMNS = ["_SESSION", "IFMUID", "Q1", "Q2", "COLOUR", "NOTE"]
INDEX_COLUMNS = ["IFMUID", "_POS"]

# Responses in the order they are saved: (name, value) pairs in table order.
RESPONSES = [
    [("_SESSION", "s1"), ("HOST", "127.0.0.1"), ("IFMUID", "bob"), ("Q1", 'say "hi"'),
     ("Q2", "a, b,c"), ("colour", "red"), ("COLOUR", "blue"), ("ROW_1_price", "3"),
     ("ROW_1_qty", "2"), ("ROW_2_price", "5"), ("NOTE", "x < y & z > 0")],
    [("_SESSION", "s2"), ("IFMUID", "ann"), ("Q1", ""), ("Q2", "line one\r\nline two"),
     ("NOTE", "tab\there"), ("COLOUR", "green")],
    [("_SESSION", "s1"), ("IFMUID", "bob"), ("Q1", '"'), ("Q2", '<tag attr="v">'),
     ("NOTE", "'single' & \"double\" ]]>"), ("ROW_1_price", "9")],
    [("_SESSION", "s3"), ("IFMUID", "gr\u00fc\u00df"), ("Q1", "#hash"), ("Q2", '""'),
     ("NOTE", "")],
]
SUPERSEDED = {0}  # the first save of session s1 is replaced by the third


def stored(pairs, column):
    """The field a record holds for a column: non-empty values joined by ','
    with each line break (CR LF, LF or CR) and each tab turned into a blank."""
    joined = ",".join(v for n, v in pairs if n.upper() == column.upper() and v)
    return re.sub(r"\r\n|\r|\n|\t", " ", joined)


def xml_children(pairs):
    """The children a transaction should have: (tag, text) for answers,
    (group, id, [(tag, text)...]) for grid rows."""
    out = []
    for name, value in pairs:
        if not name or name.startswith("_"):
            continue
        text = value.replace("\r\n", "\n").replace("\r", "\n")
        m = re.match(r"^([^_]+)_(\d+)[^_]*_(.*)$", name)
        if m:
            group, row, field = m.group(1), int(m.group(2)), m.group(3)
            if out and isinstance(out[-1], tuple) and len(out[-1]) == 3 \
                    and out[-1][0] == group and out[-1][1] == row:
                out[-1][2].append((field, text))
            else:
                out.append((group, row, [(field, text)]))
        else:
            out.append((name, text))
    return out


class CompatTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        d = cls.tmp.name
        with open(os.path.join(d, "data.asc"), "wb") as f:
            f.write(("#" + "\t".join(COLUMNS) + "\t\r\n").encode())
        with open(os.path.join(d, "data.idx"), "wb") as f:
            f.write(("#" + "\t".join(INDEX_COLUMNS) + "\n").encode())
        open(os.path.join(d, "tx.xml"), "wb").close()
        with open(os.path.join(d, "answers.txt"), "w") as f:
            for pairs in RESPONSES:
                f.write(" ".join(n + "=" + v.encode().hex() for n, v in pairs) + "\n")
        program = os.path.join(BUILD_DIR, "tests", "cgi_kqs_tests")
        run = subprocess.run([program, "--gtest_filter=CompatFiles.WriteFromAnswers"],
                             env=dict(os.environ, TALLYPAD_COMPAT_DIR=d),
                             capture_output=True, text=True, timeout=120)
        if run.returncode != 0 or "[  PASSED  ] 1 test" not in run.stdout \
                or "SKIPPED" in run.stdout:
            raise AssertionError("writer failed:\n" + run.stdout + run.stderr)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def read_rows(self, name):
        with open(self.path(name), newline="", encoding="utf-8") as f:
            return list(csv.reader(f, delimiter="\t", quotechar='"', doublequote=True,
                                   strict=True))

    def test_data_file_loads_in_csv_with_the_same_values(self):
        rows = self.read_rows("data.asc")
        self.assertEqual(rows[0], ["#" + COLUMNS[0]] + COLUMNS[1:] + [""])
        self.assertEqual(len(rows), 1 + len(RESPONSES))
        for i, pairs in enumerate(RESPONSES):
            row = rows[1 + i]
            # Every field ends with a tab, so csv sees one empty field more.
            self.assertEqual(len(row), len(COLUMNS) + 1)
            self.assertEqual(row[-1], "")
            expected = [stored(pairs, c) for c in COLUMNS]
            if i in SUPERSEDED:
                self.assertEqual(row[0], "#" + expected[0] + '"')
                self.assertEqual(row[1:-1], expected[1:])
            else:
                self.assertEqual(row[:-1], expected)

    def test_records_end_with_crlf(self):
        with open(self.path("data.asc"), "rb") as f:
            lines = f.read().split(b"\n")
        self.assertEqual(lines[-1], b"")
        for line in lines[:-1]:
            self.assertTrue(line.endswith(b"\r"), line)

    def test_index_entries_point_at_their_records(self):
        rows = self.read_rows("data.idx")
        self.assertEqual(rows[0], ["#IFMUID", "_POS"])
        self.assertEqual(len(rows), 1 + len(RESPONSES))
        with open(self.path("data.asc"), "rb") as f:
            data = f.read()
        for i, pairs in enumerate(RESPONSES):
            login, pos = rows[1 + i]
            self.assertEqual(login, stored(pairs, "IFMUID"))
            pos = int(pos)
            self.assertEqual(data[pos - 1:pos], b"\n")
            line = data[pos:data.index(b"\n", pos)].decode("utf-8")
            fields = next(csv.reader([line], delimiter="\t"))
            self.assertEqual(fields[1], login)

    def test_every_transaction_parses_as_xml(self):
        with open(self.path("tx.xml"), "rb") as f:
            raw = f.read()
        self.assertNotIn(b"\n", raw.replace(b"\r\n", b""))
        root = ET.fromstring(b"<root>" + raw + b"</root>")
        transactions = list(root)
        self.assertEqual(len(transactions), len(RESPONSES))
        for tx, pairs in zip(transactions, RESPONSES):
            self.assertEqual(tx.tag, "TRANSACTION")
            got = []
            for child in tx:
                if "id" in child.attrib:
                    got.append((child.tag, int(child.attrib["id"]),
                                [(c.tag, c.text or "") for c in child]))
                else:
                    got.append((child.tag, child.text or ""))
            self.assertEqual(got, xml_children(pairs))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
