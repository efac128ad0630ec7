#!/usr/bin/env python3
"""The demo server root served by the real program, checked over HTTP
without a browser: every page and link of the start page resolves, the help
page has an anchor for every result code and the program's error links lead
to them, both surveys run through with their checks, branch, progress line
and saving, a crafted post that skips the pages is refused and leaves the
statistics alone, and the results page, the list viewer and its downloads
answer only to their passwords.

Usage: demo_root_test.py BUILD_DIR  (BUILD_DIR holds the tallypad program)
"""
import os
import re
import sys
import time
import unittest
import urllib.parse

sys.dont_write_bytecode = True  # nothing is written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import demo_server as demo  # noqa: E402

BUILD_DIR = sys.argv[1] if len(sys.argv) > 1 else "build-test"

# Every result code a survey or the list viewer can end a request with.
RESULT_CODES = [1, 2, 3, 6, 8, 11, 12, 21, 30, 67, 68, 101, 102, 103, 104]
# What a broken page or template shows instead of its content.
FAULT_MARKS = ["Tallypad Personal Server", "Script error", "<HR>Error in (", "[Error:",
               "cannot open file", "Error 2 in"]
TRAILER_LINK = re.compile(r'<A href=(/help/cgi/kqs/error\.html#(s\d+))>Error (\d+)</a>')


class DemoRootTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = demo.DemoServer(BUILD_DIR)
        cls.port = cls.server.start()

    @classmethod
    def tearDownClass(cls):
        status = cls.server.stop()
        errors = cls.server.errors()
        cls.server.close()
        if status != 0:
            raise AssertionError("tallypad ended with %r:\n%s" % (status, errors))

    def get(self, path):
        return demo.get(self.port, path)

    def post(self, path, fields):
        return demo.post(self.port, path, fields)

    def assertClean(self, response, what):
        self.assertEqual(response.status, 200, what)
        for mark in FAULT_MARKS:
            self.assertNotIn(mark, response.body, "%s shows %r:\n%s" % (what, mark, response.body))
        self.assertIsNone(TRAILER_LINK.search(response.body), "%s ends with an error" % what)

    def press(self, response, answers, action, index=0):
        form = demo.form_of(response.body, index)
        return self.post("/kqs", demo.fill(form, answers, action))

    # ---- Pages and links ------------------------------------------------

    def test_start_page_shows_the_date_and_every_link_resolves(self):
        before = time.strftime("%Y-%m-%d")
        start = self.get("/")
        after = time.strftime("%Y-%m-%d")
        self.assertClean(start, "the start page")
        shown = re.search(r'Today is (\d{4}-\d{2}-\d{2})\.', start.body)
        self.assertIsNotNone(shown, start.body)
        self.assertIn(shown.group(1), (before, after))
        self.assertIn("(%s)" % shown.group(1).replace("-", ""), start.body)

        # Follow every link of the start page and of the pages it leads to.
        seen, queue = set(), ["/index.html"]
        while queue:
            path = queue.pop(0)
            if path in seen:
                continue
            seen.add(path)
            page = self.get(path)
            self.assertClean(page, path)
            if not path.split("?")[0].endswith((".html", ".htm")):
                continue
            reader = demo.read_page(page.body)
            targets = reader.links + [f["action"] for f in reader.forms if f["action"]]
            for link in targets:
                url = urllib.parse.urlsplit(urllib.parse.urljoin(path, link))
                self.assertFalse(url.scheme or url.netloc, "%s links outside: %s" % (path, link))
                if url.fragment:
                    target = self.get(url.path)
                    self.assertIn(url.fragment, demo.read_page(target.body).ids,
                                  "%s links to a missing anchor %s" % (path, link))
                queue.append(url.path + ("?" + url.query if url.query else ""))
        for expected in ("/kqs?DATABASE=library", "/staff-login.html", "/kqs", "/list",
                         "/help/cgi/kqs/error.html", "/style.css"):
            self.assertIn(expected, seen)

    def test_help_page_has_an_anchor_for_every_result_code(self):
        page = self.get("/help/cgi/kqs/error.html")
        self.assertClean(page, "the help page")
        ids = demo.read_page(page.body).ids
        for code in RESULT_CODES:
            self.assertIn("s%d" % code, ids)

    def test_the_error_links_of_real_failures_lead_to_their_help(self):
        failures = [
            self.get("/kqs?DATABASE=nosuch"),                                      # 21
            self.get("/kqs?DATABASE=bad.name"),                                    # 104
            self.post("/kqs", {"DATABASE": "library", "_PAGE": "abc"}),            # 103
            self.post("/kqs", {"DATABASE": "staff", "_ACTION": "START",
                               "IFMUID": "zed", "IFMUID1": "x"}),                  # 11
            self.get("/list?DATABASE=library&_PASSWORD=reader&_ACTION=VIEW&_ROWID=99"),  # 8
            self.get("/list?DATABASE=library&_PASSWORD=reader&_ACTION=DROP"),      # 30
        ]
        help_ids = demo.read_page(self.get("/help/cgi/kqs/error.html").body).ids
        codes = []
        for response in failures:
            link = TRAILER_LINK.search(response.body)
            self.assertIsNotNone(link, response.body)
            self.assertEqual(link.group(2), "s" + link.group(3))
            self.assertIn(link.group(2), help_ids)
            codes.append(int(link.group(3)))
        self.assertEqual(codes, [21, 104, 103, 11, 8, 30])
        # The staff survey's refusal leads back to its sign-in page.
        self.assertIn('<a href="/staff-login.html">', failures[3].body)

    # ---- The library survey -------------------------------------------

    def walk_library(self, name, agegroup, services, event=None):
        """Answers the library survey; returns the pages shown, by name,
        each with its progress line ("about 1/4")."""
        pages = []
        r = self.get("/kqs?DATABASE=library")

        def page_name(response):
            self.assertClean(response, "a survey page")
            progress = re.search(r'id="progress">[^<]*page (\d+) of (\d+)<', response.body)
            self.assertIsNotNone(progress, response.body)
            return "%s %s/%s" % (demo.field(demo.form_of(response.body), "_PAGE"),
                                 progress.group(1), progress.group(2))

        pages.append(page_name(r))
        r = self.press(r, {"FIRSTNAME": name}, "NEXT")
        self.assertIn("Please answer \u201cYour age group\u201d.", r.body)
        self.assertEqual(demo.field(demo.form_of(r.body), "FIRSTNAME"), name)
        r = self.press(r, {"AGEGROUP": agegroup}, "NEXT")
        pages.append(page_name(r))
        r = self.press(r, {"HOWOFTEN": "monthly", "SERVICES": services}, "NEXT")
        pages.append(page_name(r))
        if pages[-1].startswith("events "):
            self.assertNotIn("Please choose", r.body)
            r = self.press(r, {"EVENT": event}, "NEXT")
            pages.append(page_name(r))
        r = self.press(r, {"RATING": "3", "RECOMMEND": "no"}, "NEXT")
        pages.append(page_name(r))
        r = self.press(r, {"COMMENTS": "More chairs, please.", "EMAIL": "not-an-address"}, "SAVE")
        self.assertIn("Please check your e-mail address: it does not look complete.", r.body)
        r = self.press(r, {"EMAIL": ""}, "SAVE")
        self.assertClean(r, "the thank-you page")
        self.assertIn("Thank you, %s!" % name, r.body)
        self.assertIn('<HR><A HREF="/index.html">Click here to continue</A>', r.body)
        return pages

    def test_the_library_survey_shows_the_events_page_only_to_those_who_go_to_events(self):
        header, before = demo.data_records(self.server.read("data/library.asc"))
        self.assertEqual(self.walk_library("Noel", "18to39", ["books", "study"]),
                         ["about 1/4", "usage 2/4", "rating 3/4", "comments 4/4"])
        # Going to events adds a page, and the count follows.
        self.assertEqual(self.walk_library("Eve", "under18", ["events"], "homework"),
                         ["about 1/4", "usage 2/4", "events 3/5", "rating 4/5", "comments 5/5"])
        _, records = demo.data_records(self.server.read("data/library.asc"))
        added = records[len(before):]
        self.assertEqual([(r["FIRSTNAME"], r["SERVICES"], r["EVENT"]) for r in added],
                         [("Noel", "books,study", ""), ("Eve", "events", "homework")])
        self.assertEqual(added[0]["COMMENTS"], "More chairs, please.")

    def test_the_events_page_offers_the_options_of_the_age_group(self):
        offered = {}
        for agegroup in ("under18", "40to64", "65plus"):
            r = self.post("/kqs", {"DATABASE": "library", "_PAGE": "events", "_ACTION": "BACK",
                                   "_PAGEBACK": "events,", "AGEGROUP": agegroup})
            self.assertClean(r, "the events page")
            offered[agegroup] = demo.form_of(r.body)["options"]["EVENT"]
        base = ["", "talks", "films", "language"]
        self.assertEqual(offered, {"under18": base + ["homework"], "40to64": base,
                                   "65plus": base + ["seniors"]})

    def test_a_stale_event_answer_is_dropped_by_the_final_check(self):
        r = self.post("/kqs", {"DATABASE": "library", "_PAGE": "comments", "_ACTION": "SAVE",
                               "_SESSION": "stale-event", "FIRSTNAME": "Stale", "AGEGROUP": "40to64",
                               "HOWOFTEN": "weekly", "SERVICES": "books", "EVENT": "films",
                               "RATING": "5", "RECOMMEND": "yes"})
        self.assertClean(r, "the thank-you page")
        _, records = demo.data_records(self.server.read("data/library.asc"))
        record = [x for x in records if x["_SESSION"] == "stale-event"]
        self.assertEqual(len(record), 1)
        self.assertEqual(record[0]["EVENT"], "")

    def test_a_crafted_post_that_skips_the_pages_saves_nothing(self):
        data_before = self.server.read("data/library.asc")
        stats_before = self.server.read("data/library-stats.ini")
        for fields in (
                # Nothing at all: the start page's questions are required.
                {},
                # A rating no page offers, as the only answer and with the others.
                {"RATING": "1e16"},
                {"FIRSTNAME": "Mallory", "AGEGROUP": "18to39", "HOWOFTEN": "weekly",
                 "SERVICES": "books", "RATING": "1e16", "RECOMMEND": "yes"},
                # A first name longer than its field allows.
                {"FIRSTNAME": "M" * 61, "AGEGROUP": "18to39"}):
            r = self.post("/kqs", dict(fields, DATABASE="library", _ACTION="SUBMIT"))
            self.assertClean(r, "the refused post")
            self.assertIn('id="warning"', r.body, fields)
            self.assertNotIn("Thank you", r.body)
        self.assertEqual(self.server.read("data/library.asc"), data_before)
        self.assertEqual(self.server.read("data/library-stats.ini"), stats_before)

    # ---- The staff survey ---------------------------------------------

    def test_staff_sign_in_save_and_come_back(self):
        login = self.get("/staff-login.html")
        self.assertClean(login, "the sign-in page")
        r = self.post("/kqs", demo.fill(demo.form_of(login.body),
                                        {"IFMUID": "ann", "IFMUID1": "pw-ann"}, "START"))
        self.assertClean(r, "the staff form")
        self.assertIn("Signed in as <strong>ann</strong>", r.body)
        r = self.press(r, {"TEAM": "events"}, "SAVE")
        self.assertIn("Please choose your preferred shift.", r.body)
        self.assertEqual(demo.field(demo.form_of(r.body), "TEAM"), "events")
        r = self.press(r, {"SHIFT": "evening", "IDEAS": "Swap <shifts> & more"}, "SAVE")
        self.assertClean(r, "the staff thank-you page")
        self.assertIn("Thank you!", r.body)
        _, records = demo.data_records(self.server.read("data/staff.asc"))
        ann = [x for x in records if x["IFMUID"] == "ann"]
        self.assertEqual([(x["TEAM"], x["SHIFT"], x["IDEAS"]) for x in ann],
                         [("events", "evening", "Swap <shifts> & more")])
        self.assertIn('"ann"\t"pw-ann"\t', self.server.read("data/staff.idx"))

        # Signing in again with the same password brings the answers back.
        again = self.post("/kqs", {"DATABASE": "staff", "_ACTION": "START",
                                   "IFMUID": "ANN".lower(), "IFMUID1": "pw-ann"})
        self.assertClean(again, "the staff form again")
        form = demo.form_of(again.body)
        self.assertEqual(demo.field(form, "SHIFT"), "evening")
        self.assertEqual(demo.field(form, "TEAM"), "events")
        self.assertEqual(demo.field(form, "IDEAS"), "Swap <shifts> & more")
        self.assertEqual(demo.field(form, "_SESSION"), ann[0]["_SESSION"])
        r = self.press(again, {"SHIFT": "morning"}, "SAVE")
        self.assertClean(r, "the staff thank-you page")
        _, records = demo.data_records(self.server.read("data/staff.asc"))
        self.assertEqual([x["SHIFT"] for x in records if x["IFMUID"] == "ann"], ["morning"],
                         "the earlier record of the session is superseded")

    # ---- Passwords ------------------------------------------------------

    def test_results_page_needs_the_report_password(self):
        refused = self.post("/kqs", {"DATABASE": "library", "_ACTION": "REPORT", "_PASSWORD": "x"})
        self.assertIn("Please enter your password to view reports of this file.", refused.body)
        self.assertNotIn("Completed responses", refused.body)
        shown = self.post("/kqs", {"DATABASE": "library", "_ACTION": "REPORT",
                                   "_PASSWORD": "results"})
        self.assertClean(shown, "the results page")
        self.assertRegex(shown.body, r'Completed responses: <strong>\d+</strong>')
        widths = re.findall(r'class="bar" style="width: (\d+)%"', shown.body)
        self.assertEqual(len(widths), 25)
        self.assertTrue(all(0 <= int(w) <= 100 for w in widths), widths)

    def test_list_viewer_needs_the_read_password(self):
        refused = self.get("/list?DATABASE=library&_ACTION=LIST&_PASSWORD=results")
        self.assertIn("please choose an option", refused.body)
        self.assertNotIn("<h3>Tallypad Database List</h3>", refused.body)
        for action in ("CSV", "JSONL"):
            refused = self.get("/list?DATABASE=library&_ACTION=%s&_PASSWORD=results" % action)
            self.assertNotIn("content-disposition", refused.headers)
            download = self.get("/list?DATABASE=library&_ACTION=%s&_PASSWORD=reader" % action)
            self.assertIn("attachment", download.headers["content-disposition"])
        for database in ("library", "staff"):
            listed = self.get("/list?DATABASE=%s&_ACTION=LIST&_PASSWORD=reader" % database)
            self.assertClean(listed, "the list of " + database)
            self.assertIn("<h3>Tallypad Database List</h3>", listed.body)

    # ---- The files in git ------------------------------------------------

    def test_the_demo_data_files_hold_only_their_headers(self):
        data = os.path.join(demo.DEMO_DIR, "data")
        for name in sorted(os.listdir(data)):
            with open(os.path.join(data, name), "rb") as f:
                text = f.read().decode()
            if name.endswith(".asc") or name.endswith(".idx"):
                self.assertEqual(text.count("\n"), 1, name + " holds records")
                self.assertTrue(text.startswith("#"), name)
            elif name.endswith(".xml"):
                self.assertEqual(text, "", name)
            elif name.endswith(".ini"):
                counts = demo.ini_section(text, "COUNT")
                sums = demo.ini_section(text, "SUM")
                self.assertTrue(counts, name)
                self.assertEqual(set(counts.values()) | set(sums.values()), {"0"}, name)
        for name in ("kqscounts.ini", "outbox.kqs"):
            self.assertFalse(os.path.exists(os.path.join(demo.DEMO_DIR, name)), name)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
