#!/usr/bin/env python3
"""Posts answers with hostile field names to the real program and reads the
XML transaction file it writes with xml.etree.ElementTree: the file must
parse, hold exactly one transaction, and keep every original name, in the
attribute name="..." where it is not a valid element name.

Usage: xml_names_test.py BUILD_DIR  (BUILD_DIR holds the tallypad program)
"""
import os
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
import demo_server  # noqa: E402  (the program runner of the end-to-end tests)

BUILD_DIR = sys.argv[1] if len(sys.argv) > 1 else "build-test"

FORM_FILES = {
    "hostile.ini": "[DATABASE]\nFORM=hostile\nLOGDATETIME=0\nSAVEXML=1\n"
                   "SAVEXMLNAME=hostile.xml\n[access]\nPWDAPPEND=(allow)\n",
    "hostile.html": "<form method=post action=/kqs><input name=Q1></form>\n",
    "hostile.xml": "",
}

# Posted answers: (name as posted, value, the name a reader gets back, the
# element name when it is known here, None when only its validity matters).
ANSWERS = [
    ("Q1", "plain", "Q1", "Q1"),
    ("gr\u00f6\u00dfe", "kept", "gr\u00f6\u00dfe", "gr\u00f6\u00dfe"),
    ("X></TRANSACTION><TRANSACTION><Y", "forged", "X></TRANSACTION><TRANSACTION><Y", None),
    ("1st", "digit", "1st", "_1st"),
    ("-dash", "dash", "-dash", "_-dash"),
    ("a b", "blank", "a b", "a_b"),
    ('q"u\'ote', "quotes", 'q"u\'ote', "q_u_ote"),
    ("ns:tag", "colon", "ns:tag", "ns_tag"),
    ("a&amp;b", "entity", "a&amp;b", "a_amp_b"),
    ("c\x01d", "control", "c\ufffdd", "c_d"),
    (b"bad\xff", "bytes", "bad\ufffd", "bad_"),
    ("a\u00d7b", "times sign", "a\u00d7b", "a_b"),
    ("\u02b0x", "modifier letter", "\u02b0x", "_x"),
    ("\u2070x", "superscript", "\u2070x", "_x"),
]
# Grid rows: (posted name, value, group read back, row, field read back).
ROWS = [
    ("1 x_2_a b", "g1", "1 x", 2, "a b"),
    ("1 x_2_ok", "g2", "1 x", 2, "ok"),
]


def original(element):
    """The name an element stands for: its name attribute, else its tag."""
    return element.attrib.get("name", element.tag)


class XmlNamesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.forms = tempfile.TemporaryDirectory(prefix="tallypad-xml-")
        for name, text in FORM_FILES.items():
            with open(os.path.join(cls.forms.name, name), "w") as f:
                f.write(text)
        cls.server = demo_server.DemoServer(BUILD_DIR, demo_dir=cls.forms.name)
        port = cls.server.start()
        fields = [("DATABASE", "hostile"), ("_SESSION", "s1")]
        fields += [(name, value) for name, value, _, _ in ANSWERS]
        fields += [(name, value) for name, value, _, _, _ in ROWS]
        fields.append(("_ACTION", "SUBMIT"))
        cls.response = demo_server.post(port, "/kqs", fields)
        with open(cls.server.file("hostile.xml"), "rb") as f:
            cls.raw = f.read()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        cls.forms.cleanup()

    def transactions(self):
        return list(ET.fromstring(b"<root>" + self.raw + b"</root>"))

    def test_the_save_succeeds(self):
        self.assertIn("Thank you!", self.response.body)

    def test_the_file_parses_and_holds_one_transaction(self):
        transactions = self.transactions()
        self.assertEqual(len(transactions), 1, self.raw)
        self.assertEqual(transactions[0].tag, "TRANSACTION")
        self.assertEqual(self.raw.count(b"<TRANSACTION>"), 1)

    def test_every_answer_keeps_its_name_and_value(self):
        children = [c for c in self.transactions()[0] if "id" not in c.attrib]
        by_name = {original(c): c for c in children}
        for _, value, name, element in ANSWERS:
            self.assertIn(name, by_name, [original(c) for c in children])
            child = by_name[name]
            self.assertEqual(child.text, value, name)
            if element is not None:
                self.assertEqual(child.tag, element, name)
            # A valid name is written as it is, without the attribute.
            self.assertEqual("name" in child.attrib, child.tag != name, name)
        self.assertEqual(sorted(by_name), sorted(n for _, _, n, _ in ANSWERS))

    def test_grid_rows_keep_their_group_and_field_names(self):
        rows = [c for c in self.transactions()[0] if "id" in c.attrib]
        self.assertEqual(len(rows), 1)
        row = rows[0]
        self.assertEqual((original(row), int(row.attrib["id"])), (ROWS[0][2], ROWS[0][3]))
        self.assertEqual(row.tag, "_1_x")
        self.assertEqual([(original(c), c.text) for c in row],
                         [(field, value) for _, value, _, _, field in ROWS])


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
