#!/usr/bin/env python3
"""The list viewer's exports read back with standard readers: responses
saved through the real program (answers with commas, quotes, line breaks,
tabs and characters outside ASCII, one session saved twice) are downloaded
as CSV and JSON Lines with the read password and read with Python's csv and
json modules, which must give exactly the stored answers of the live
records; the list query filters them, a wrong password gets no records, and
`tallypad export` writes the same bytes.

Usage: export_roundtrip_test.py BUILD_DIR  (BUILD_DIR holds the tallypad program)
"""
import csv
import io
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

sys.dont_write_bytecode = True  # nothing is written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "e2e"))
import demo_server  # noqa: E402

BUILD_DIR = sys.argv[1] if len(sys.argv) > 1 else "build-test"
COLUMNS = ["_SESSION", "NAME", "COMMENT", "CITY", "Q3_1", "Q3_2"]

# Saves in order: (session, answers). The second save of s1 replaces its first.
SAVES = [
    ("s1", {"NAME": 'Smith, "Jo"', "COMMENT": "first\r\nthoughts", "CITY": "Z\u00fcrich",
            "Q3_1": "a", "Q3_2": ""}),
    ("s2", {"NAME": "Ann", "COMMENT": 'She said "hi", then left', "CITY": "Oslo",
            "Q3_1": "", "Q3_2": "b"}),
    ("s1", {"NAME": 'Smith, "Jo"', "COMMENT": "second\nthoughts\rhere", "CITY": "Z\u00fcrich",
            "Q3_1": "a", "Q3_2": "c"}),
    ("s3", {"NAME": "\u00c9mile \U0001F600", "COMMENT": "tab\there, =1+1", "CITY": "Z\u00fcrich",
            "Q3_1": "", "Q3_2": ""}),
]


def stored(value):
    """An answer as the data file keeps it: every line break and tab a blank."""
    return re.sub(r"\r\n|\r|\n|\t", " ", value)


def expected_records():
    """The live records in file order, each a dict of column to stored value."""
    live = {}
    order = []
    for session, answers in SAVES:
        if session in live:
            order.remove(session)
        order.append(session)
        live[session] = dict({"_SESSION": session},
                             **{k: stored(v) for k, v in answers.items()})
    return [live[s] for s in order]


class ExportRoundTripTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.source = tempfile.TemporaryDirectory(prefix="tallypad-export-")
        root = cls.source.name
        with open(os.path.join(root, "visits.ini"), "w") as f:
            f.write("[DATABASE]\nFORM=visits.html\nSAVEDATA=1\n"
                    "[access]\nPWDAPPEND=(allow)\nPWDREAD=reader\n")
        with open(os.path.join(root, "visits.html"), "w") as f:
            f.write("<form><input type=hidden name=_SESSION>"
                    + "".join("<input name=%s>" % c for c in COLUMNS[1:]) + "</form>\n")
        with open(os.path.join(root, "visits.asc"), "w", newline="") as f:
            f.write("#" + "\t".join(COLUMNS) + "\t\r\n")
        cls.server = demo_server.DemoServer(BUILD_DIR, demo_dir=root)
        cls.port = cls.server.start()
        for session, answers in SAVES:
            fields = dict(answers, DATABASE="visits", _ACTION="SAVE", _SESSION=session)
            saved = demo_server.post(cls.port, "/kqs", fields)
            assert "Thank you!" in saved.body, saved.body

    @classmethod
    def tearDownClass(cls):
        status = cls.server.stop()
        errors = cls.server.errors()
        cls.server.close()
        cls.source.cleanup()
        if status != 0:
            raise AssertionError("tallypad ended with %r:\n%s" % (status, errors))

    def download(self, action, password="reader", query=None):
        params = {"DATABASE": "visits", "_PASSWORD": password, "_ACTION": action}
        if query is not None:
            params["_QUERY"] = query
        return demo_server.exchange(self.port, (
            "GET /list?%s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"
            % urllib.parse.urlencode(params)).encode())

    @staticmethod
    def body_bytes(response):
        return response.raw[response.raw.index(b"\r\n\r\n") + 4:]

    def read_csv(self, data):
        self.assertTrue(data.startswith(b"\xef\xbb\xbf"), "the byte order mark")
        rows = list(csv.reader(io.StringIO(data.decode("utf-8-sig"), newline="")))
        self.assertEqual(rows[0], COLUMNS)
        return [dict(zip(rows[0], row)) for row in rows[1:]]

    def test_csv_gives_exactly_the_stored_answers_of_the_live_records(self):
        r = self.download("CSV")
        self.assertEqual(r.status, 200)
        self.assertEqual(r.headers["content-type"], "text/csv; charset=utf-8")
        self.assertIn('attachment; filename="visits.csv"', r.headers["content-disposition"])
        data = self.body_bytes(r)
        self.assertTrue(data.endswith(b"\r\n"))
        self.assertNotIn(b"\n", data.replace(b"\r\n", b""), "every line ends in CR LF")
        self.assertEqual(self.read_csv(data), expected_records())

    def test_json_lines_give_exactly_the_stored_answers_of_the_live_records(self):
        r = self.download("JSONL")
        self.assertIn('filename="visits.jsonl"', r.headers["content-disposition"])
        lines = self.body_bytes(r).decode("utf-8").split("\n")
        self.assertEqual(lines[-1], "")
        records = [json.loads(line) for line in lines[:-1]]
        self.assertEqual(records, expected_records())
        self.assertEqual([list(x) for x in records], [COLUMNS] * len(records), "column order")

    def test_the_query_filters_both_exports(self):
        query = "CITY = 'Z\u00fcrich' & Q3 = 'a'"  # Q3 is Q3_1, as the list names it
        wanted = [x for x in expected_records() if x["CITY"] == "Z\u00fcrich" and x["Q3_1"] == "a"]
        self.assertEqual([x["_SESSION"] for x in wanted], ["s1"])
        self.assertEqual(self.read_csv(self.body_bytes(self.download("csv", query=query))), wanted)
        jsonl = self.body_bytes(self.download("jsonl", query=query)).decode("utf-8")
        self.assertEqual([json.loads(line) for line in jsonl.splitlines()], wanted)

    def test_the_list_page_links_to_the_downloads_with_its_query(self):
        page = self.download("LIST", query="CITY='Oslo'").body
        for action in ("CSV", "JSONL"):
            self.assertIn('href="?DATABASE=visits&_PASSWORD=reader&_ACTION=%s&_QUERY=%s"'
                          % (action, urllib.parse.quote("CITY='Oslo'", safe="-_.~")), page)

    def test_the_read_password_is_required(self):
        for password in ("", "wrong", "READER"):
            for action in ("CSV", "JSONL"):
                r = self.download(action, password=password)
                self.assertNotIn("content-disposition", r.headers, (password, action))
                self.assertIn("please choose an option", r.body)
                for record in expected_records():
                    self.assertNotIn(record["_SESSION"] + ",", r.body)
                    self.assertNotIn(record["NAME"], r.body)

    def test_the_export_command_writes_the_same_records(self):
        program = os.path.join(os.path.abspath(BUILD_DIR), "tallypad")
        for fmt, action in (("csv", "CSV"), ("jsonl", "JSONL")):
            for query in (None, "CITY='Oslo'"):
                args = [program, "export", "--format", fmt]
                if query:
                    args += ["--query", query]
                done = subprocess.run(args + [self.server.root, "visits"], capture_output=True,
                                      timeout=60)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(done.stdout, self.body_bytes(self.download(action, query=query)))
        missing = subprocess.run([program, "export", self.server.root, "nosuch"],
                                 capture_output=True, timeout=60)
        self.assertEqual(missing.returncode, 1)
        self.assertEqual(missing.stdout, b"")
        wrong = subprocess.run([program, "export", "--format", "xls", self.server.root, "visits"],
                               capture_output=True, timeout=60)
        self.assertEqual(wrong.returncode, 2)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
