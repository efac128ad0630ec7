#!/usr/bin/env python3
"""End-to-end test of the demo in a real browser: headless Chromium, driven
by Selenium through chromedriver, fills in the library visitor survey of a
copy of examples/demo served by the real tallypad program, as a person
would: it clicks links, radio buttons and boxes, types into fields, is
stopped by the browser's own check of a required question and, with that
check switched off (novalidate, as a post that skips the browser), is sent
back by the server's check with a message per question; it goes BACK and
finds its choices (one whose value holds blanks among them) still checked,
watches the progress line count the events page when the branch adds it
and drop it when the branch skips it, and sends the answers; then it goes
back with the browser's own Back button and sends them once more. It checks the thank-you page, the data
file, index, XML and statistics files (the response counted once), the
results page and the list viewer's pages for that response, and stops the
program with SIGTERM.

A screenshot of every page goes to BUILD_DIR/e2e-screenshots/.

Usage: demo_survey_e2e_test.py BUILD_DIR  (BUILD_DIR holds the tallypad program)
Needs Debian's chromium, chromium-driver and python3-selenium; scripts/install-deps.sh
installs them. When the python3 running this script has no selenium, the
script runs itself again with the system's /usr/bin/python3.
"""
import os
import sys

SYSTEM_PYTHON = "/usr/bin/python3"
try:
    import selenium  # noqa: F401
except ImportError:
    if os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON) and \
            os.path.exists(SYSTEM_PYTHON):
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
    sys.exit("python3-selenium is missing: run scripts/install-deps.sh test "
             "(or apt-get install chromium chromium-driver python3-selenium)")

import glob  # noqa: E402
import re  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
import unittest  # noqa: E402

from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.common.exceptions import WebDriverException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support import expected_conditions as EC  # noqa: E402
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402

sys.dont_write_bytecode = True  # nothing is written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import demo_server as demo  # noqa: E402

BUILD_DIR = sys.argv[1] if len(sys.argv) > 1 else "build-test"
SCREENSHOT_DIR = os.path.join(os.path.abspath(BUILD_DIR), "e2e-screenshots")
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--disable-quic", "--disable-dev-shm-usage",
                  "--no-proxy-server", "--window-size=1000,1300"]
# The sanitized server and a cold browser are slow on a small machine.
WAIT_S = 90

NAME = "Zo\u00eb"
COMMENT = 'The <b>quiet</b> rooms & "reading" corner are great.\nMore chairs, please.'
# The comment as the data file keeps it: its line break becomes a blank.
STORED_COMMENT = COMMENT.replace("\n", " ")
TRAVEL = "by bus or train"


class DemoSurveyInBrowserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Nothing here may go through a proxy: the browser, the driver and
        # the server all live on this machine's loopback.
        for name in ("http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                     "ALL_PROXY"):
            os.environ.pop(name, None)
        os.environ["NO_PROXY"] = os.environ["no_proxy"] = "127.0.0.1,localhost"
        os.makedirs(SCREENSHOT_DIR, exist_ok=True)
        for old in glob.glob(os.path.join(SCREENSHOT_DIR, "demo-survey-*")):
            os.remove(old)
        cls.server = demo.DemoServer(BUILD_DIR)
        cls.server.start()
        cls.profile = tempfile.TemporaryDirectory(prefix="tallypad-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in CHROMIUM_FLAGS + ["--user-data-dir=" + cls.profile.name]:
            options.add_argument(flag)
        try:
            cls.driver = cls.start_browser(options)
        except Exception:
            cls.server.close()
            cls.profile.cleanup()
            raise
        cls.driver.set_page_load_timeout(WAIT_S)
        cls.shots = 0

    @staticmethod
    def start_browser(options):
        # A browser that fails to come up on a busy machine gets one more try.
        for attempt in (1, 2):
            try:
                return webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER),
                                        options=options)
            except Exception as e:  # noqa: BLE001
                if attempt == 2:
                    raise
                print("chromium did not start (%s); trying again" % e, file=sys.stderr)
                time.sleep(2)

    def run(self, result=None):
        # On a failure, keep what the browser and the server showed.
        failures = len(result.failures) + len(result.errors) if result else 0
        outcome = super().run(result)
        if result and len(result.failures) + len(result.errors) > failures:
            try:
                self.driver.save_screenshot(os.path.join(SCREENSHOT_DIR, "demo-survey-failure.png"))
                with open(os.path.join(SCREENSHOT_DIR, "demo-survey-failure.html"), "w") as f:
                    f.write(self.driver.current_url + "\n" + self.driver.page_source)
            except Exception as e:  # noqa: BLE001
                print("no failure screenshot: %s" % e, file=sys.stderr)
            print("tallypad output:\n" + self.server.output() + self.server.errors(), file=sys.stderr)
        return outcome

    @classmethod
    def tearDownClass(cls):
        try:
            cls.driver.quit()
        finally:
            cls.profile.cleanup()
            status = cls.server.stop()
            errors = cls.server.errors()
            cls.server.close()
        if status != 0:
            raise AssertionError("tallypad ended with %r:\n%s" % (status, errors))
        for mark in ("AddressSanitizer", "runtime error:", "LeakSanitizer"):
            if mark in errors:
                raise AssertionError("tallypad reported a fault:\n" + errors)

    # ---- Acting as a person ------------------------------------------

    def shot(self, name):
        self.__class__.shots += 1
        path = os.path.join(SCREENSHOT_DIR, "demo-survey-%02d-%s.png" % (self.shots, name))
        self.assertTrue(self.driver.save_screenshot(path), path)

    def find(self, css):
        return WebDriverWait(self.driver, WAIT_S).until(
            EC.presence_of_element_located((By.CSS_SELECTOR, css)))

    def click_and_wait(self, element):
        """Clicks something that loads a new page and waits until it has.

        The old page is marked with a property of its window; the new page
        has a fresh window without it. Checking the element of the old page
        instead races with the navigation in the driver ("Node with given
        id does not belong to the document")."""
        self.driver.execute_script("window.__tallypadOldPage = true;")
        element.click()

        def new_page_loaded(d):
            try:
                return d.execute_script(
                    "return window.__tallypadOldPage === undefined"
                    " && document.readyState === 'complete';")
            except WebDriverException:
                return False  # the old page is going away while we ask

        WebDriverWait(self.driver, WAIT_S).until(new_page_loaded)

    def choose(self, name, value):
        """Clicks the label of a radio button or box, as a person does."""
        box = self.driver.find_element(By.CSS_SELECTOR, 'input[name="%s"][value="%s"]' % (name, value))
        box.find_element(By.XPATH, "./ancestor::label").click()
        self.assertTrue(box.is_selected(), "%s=%s" % (name, value))

    def type_into(self, css, text):
        field = self.driver.find_element(By.CSS_SELECTOR, css)
        field.clear()
        field.send_keys(text)

    def page_name(self):
        return self.find('input[name="_PAGE"]').get_attribute("value")

    def warning(self):
        found = self.driver.find_elements(By.ID, "warning")
        return found[0].text if found else None

    def progress(self):
        return self.find("#progress").text

    def browser_check_stops(self, button, field):
        """Clicks a button whose form the browser's own check refuses: no
        request leaves, the page stays, and the field `field` (a CSS
        selector) is one it refuses."""
        self.driver.execute_script("window.__tallypadOldPage = true;")
        button.click()
        time.sleep(0.5)
        self.assertTrue(self.driver.execute_script("return window.__tallypadOldPage === true;"),
                        "the browser sent a form its check refuses")
        self.assertFalse(self.driver.execute_script(
            "return document.querySelector(arguments[0]).checkValidity();", field))

    def without_browser_check(self):
        """Switches the browser's own check of the page's form off, as a
        post that skips the browser would."""
        self.driver.execute_script("document.forms[0].noValidate = true;")

    def body_text(self):
        return self.driver.find_element(By.TAG_NAME, "body").text

    # ---- The test ----------------------------------------------------

    def test_a_visitor_fills_in_the_library_survey(self):
        d = self.driver
        d.get(self.server.url("/"))
        today = self.find("#today").text
        self.assertRegex(today, r"^Today is \d{4}-\d{2}-\d{2}\.$")
        self.shot("start")

        # Page 1: the browser's own check stops Next without answers; with
        # it switched off, the server refuses the page with a message for
        # each required question, next to the question too.
        self.click_and_wait(self.find("a#library"))
        self.assertEqual(self.page_name(), "about")
        self.assertIsNone(self.warning())
        self.assertEqual(self.progress(), "Library visitor survey \u00b7 page 1 of 4")
        self.shot("about")
        self.browser_check_stops(self.find("#next"), "#FIRSTNAME")
        self.assertIsNone(self.warning())
        self.without_browser_check()
        self.click_and_wait(self.find("#next"))
        self.assertEqual(self.page_name(), "about")
        self.assertEqual(self.warning(), "Please answer \u201cYour first name\u201d. "
                                         "Please answer \u201cYour age group\u201d.")
        self.assertEqual(self.find("#warn-FIRSTNAME").text,
                         "Please answer \u201cYour first name\u201d.")
        self.assertEqual(self.find("#warn-AGEGROUP").text,
                         "Please answer \u201cYour age group\u201d.")
        self.shot("about-refused")
        self.type_into("#FIRSTNAME", NAME)
        self.choose("AGEGROUP", "65plus")
        self.click_and_wait(self.find("#next"))

        # Page 2: going to events leads to the events page.
        self.assertEqual(self.page_name(), "usage")
        self.assertIsNone(self.warning())
        self.assertEqual(self.progress(), "Library visitor survey \u00b7 page 2 of 4")
        self.choose("HOWOFTEN", "weekly")
        self.choose("TRAVEL", TRAVEL)
        self.choose("SERVICES", "books")
        self.choose("SERVICES", "events")
        self.shot("usage")
        self.click_and_wait(self.find("#next"))

        # The branch: the events page, with the options of the age group;
        # the progress line counts the page the branch added.
        self.assertEqual(self.page_name(), "events")
        self.assertEqual(self.progress(), "Library visitor survey \u00b7 page 3 of 5")
        select = Select(self.find("select#EVENT"))
        offered = [o.get_attribute("value") for o in select.options]
        self.assertEqual(offered, ["", "talks", "films", "language", "seniors"])
        select.select_by_visible_text("Computer help for seniors")
        self.shot("events")

        # BACK to the usage page: every choice made there is checked again,
        # the one whose value holds blanks too.
        self.click_and_wait(self.find("#back"))
        self.assertEqual(self.page_name(), "usage")
        checked = {(box.get_attribute("name"), box.get_attribute("value"))
                   for box in self.driver.find_elements(By.CSS_SELECTOR, "input[type=radio], "
                                                        "input[type=checkbox]")
                   if box.is_selected()}
        self.assertEqual(checked, {("HOWOFTEN", "weekly"), ("TRAVEL", TRAVEL),
                                   ("SERVICES", "books"), ("SERVICES", "events")})
        self.assertEqual(self.progress(), "Library visitor survey \u00b7 page 2 of 5")
        self.shot("usage-again")

        # Without events the branch skips the events page, and the count
        # drops it; ticking events again brings it back with its answer.
        box = self.find('input[name="SERVICES"][value="events"]')
        box.find_element(By.XPATH, "./ancestor::label").click()
        self.assertFalse(box.is_selected())
        self.click_and_wait(self.find("#next"))
        self.assertEqual(self.page_name(), "rating")
        self.assertEqual(self.progress(), "Library visitor survey \u00b7 page 3 of 4")
        self.shot("rating-without-events")
        self.click_and_wait(self.find("#back"))
        self.assertEqual(self.page_name(), "usage")
        self.assertEqual(self.progress(), "Library visitor survey \u00b7 page 2 of 4")
        self.choose("SERVICES", "events")
        self.click_and_wait(self.find("#next"))
        self.assertEqual(self.page_name(), "events")
        self.assertEqual(self.progress(), "Library visitor survey \u00b7 page 3 of 5")
        self.assertEqual(Select(self.find("select#EVENT")).first_selected_option.get_attribute("value"),
                         "seniors")
        self.click_and_wait(self.find("#next"))

        # Page 3, then BACK: the events page shows the choice made; NEXT again.
        self.assertEqual(self.page_name(), "rating")
        self.choose("RATING", "2")
        self.click_and_wait(self.find("#back"))
        self.assertEqual(self.page_name(), "events")
        self.assertEqual(Select(self.find("select#EVENT")).first_selected_option.get_attribute("value"),
                         "seniors")
        self.shot("events-again")
        self.click_and_wait(self.find("#next"))
        self.assertEqual(self.page_name(), "rating")
        self.assertTrue(self.find('input[name="RATING"][value="2"]').is_selected(),
                        "the answer given before BACK is still there")
        self.assertEqual(self.progress(), "Library visitor survey \u00b7 page 4 of 5")
        self.choose("RATING", "4")
        self.browser_check_stops(self.find("#next"), 'input[name="RECOMMEND"]')
        self.without_browser_check()
        self.click_and_wait(self.find("#next"))
        self.assertEqual(self.warning(), "Please answer \u201cWould you recommend the library "
                                         "to a friend?\u201d.")
        self.assertTrue(self.find('input[name="RATING"][value="4"]').is_selected())
        self.choose("RECOMMEND", "yes")
        self.shot("rating")
        self.click_and_wait(self.find("#next"))

        # The last page: a comment that needs escaping, and an e-mail address.
        self.assertEqual(self.page_name(), "comments")
        self.assertEqual(self.progress(), "Library visitor survey \u00b7 page 5 of 5")
        self.type_into("#COMMENTS", COMMENT)
        self.type_into("#EMAIL", "zoe.example.org")
        self.browser_check_stops(self.find("#send"), "#EMAIL")
        self.without_browser_check()
        self.click_and_wait(self.find("#send"))
        self.assertEqual(self.warning(), "Please check your e-mail address: it does not look "
                                         "complete.")
        self.assertEqual(self.find("#COMMENTS").get_attribute("value"), COMMENT)
        self.type_into("#EMAIL", "zoe@example.org")
        self.shot("comments")
        self.click_and_wait(self.find("#send"))

        # The thank-you page.
        self.check_thanks()
        self.shot("thanks")
        session = self.check_saved_files(sends=1)

        # The browser's Back button leads to the last page with its answers;
        # sending them again replaces the response instead of adding one.
        d.back()
        self.assertEqual(self.page_name(), "comments")
        self.assertEqual(self.find("#COMMENTS").get_attribute("value"), COMMENT)
        self.shot("comments-again")
        self.click_and_wait(self.find("#send"))
        self.check_thanks()
        self.assertEqual(self.check_saved_files(sends=2), session)

        # The hot link leads back; the results page with the report password.
        self.click_and_wait(d.find_element(By.LINK_TEXT, "Click here to continue"))
        self.type_into("#reportpw", "results")
        self.click_and_wait(self.find("#results"))
        self.assertEqual(self.find("#total").text,
                         "Completed responses: 1. Average rating: 4.0 of 5.")
        bars = {row.find_element(By.TAG_NAME, "th").text: row.find_element(By.CSS_SELECTOR, ".bar")
                for row in d.find_elements(By.CSS_SELECTOR, "#age tr")}
        self.assertEqual(bars["65 or over"].get_attribute("style"), "width: 100%;")
        self.assertEqual(bars["under 18"].get_attribute("style"), "width: 0%;")
        track = bars["65 or over"].find_element(By.XPATH, "..").size["width"]
        self.assertGreater(bars["65 or over"].size["width"], track * 0.9)
        self.assertLessEqual(bars["under 18"].size["width"], 2)
        rows = d.find_elements(By.CSS_SELECTOR, "#responses tr")
        self.assertEqual(len(rows), 2)
        self.assertIn(NAME, rows[1].text)
        self.shot("results")

        # The list viewer with the read password, and the record's page.
        self.click_and_wait(d.find_element(By.LINK_TEXT, "Back to the start page"))
        Select(self.find("#listdb")).select_by_value("library")
        self.type_into("#listpw", "reader")
        self.click_and_wait(self.find("#list"))
        self.assertIn("Tallypad Database List", self.find("h3").text)
        listed = [row for row in d.find_elements(By.CSS_SELECTOR, "table.LIST tr")
                  if NAME in row.text]
        self.assertEqual(len(listed), 1)
        self.shot("list")
        self.click_and_wait(listed[0].find_element(By.LINK_TEXT, "View"))
        # Records are numbered by their line: the first send's line, now
        # superseded, is record 1.
        self.assertEqual(self.find("h2").text, "Viewing record 2")
        fields = {}
        for row in d.find_elements(By.CSS_SELECTOR, "table tr"):
            cells = row.find_elements(By.TAG_NAME, "td")
            if len(cells) == 2:
                fields[cells[0].text] = cells[1].text
        self.assertEqual(fields["_SESSION"], session)
        self.assertEqual(fields["FIRSTNAME"], NAME)
        self.assertEqual(fields["TRAVEL"], TRAVEL)
        self.assertEqual(fields["SERVICES"], "books,events")
        self.assertEqual(fields["EVENT"], "seniors")
        self.assertEqual(fields["COMMENTS"], STORED_COMMENT)
        self.shot("record")

    def check_thanks(self):
        d = self.driver
        self.assertEqual(d.title, "Thank you!")
        self.assertEqual(self.find("h1").text, "Thank you, %s!" % NAME)
        comment = self.find("#comment")
        self.assertEqual(comment.text, COMMENT)
        self.assertEqual(comment.find_elements(By.TAG_NAME, "b"), [], "the answer is escaped")
        self.assertIn("We will answer you at zoe@example.org.", self.body_text())

    def check_saved_files(self, sends):
        """The response, sent `sends` times in one session, in the data file
        (one live record), index, XML and statistics files (counted once);
        returns its session."""
        data = self.server.read("data/library.asc")
        header, records = demo.data_records(data)
        self.assertEqual(len(records), 1)
        record = records[0]
        expected = {"_FORMDONE": "1", "FIRSTNAME": NAME, "AGEGROUP": "65plus",
                    "HOWOFTEN": "weekly", "TRAVEL": TRAVEL, "SERVICES": "books,events",
                    "EVENT": "seniors", "RATING": "4", "RECOMMEND": "yes",
                    "COMMENTS": STORED_COMMENT, "EMAIL": "zoe@example.org"}
        self.assertEqual({k: record[k] for k in expected}, expected)
        self.assertRegex(record["DATE"], r"^\d{8}$")
        session = record["_SESSION"]
        self.assertTrue(session)

        # One index entry per save, each at the start of its record; the
        # last one is the live record's.
        raw = data.encode()
        lines = raw.split(b"\r\n")[:-1]
        self.assertEqual(len(lines), 1 + sends)
        starts = [sum(len(line) + 2 for line in lines[:n]) for n in range(1, len(lines))]
        self.assertEqual(self.server.read("data/library.idx"),
                         "#_SESSION\t_POS\n" + "".join('"%s"\t%d\n' % (session, start)
                                                      for start in starts))
        self.assertEqual([raw[start:start + 1] for start in starts], [b"#"] * (sends - 1) + [b'"'])

        xml = self.server.read("data/library.xml")
        self.assertEqual(xml.count("<TRANSACTION>"), sends)
        for tag, value in (("FIRSTNAME", NAME), ("EVENT", "seniors"), ("RATING", "4")):
            self.assertIn("<%s>%s</%s>" % (tag, value, tag), xml)

        stats = self.server.read("data/library-stats.ini")
        counts = demo.ini_section(stats, "COUNT")
        ones = {k for k, v in counts.items() if v == "1"}
        self.assertEqual(ones, {"_FORMDONE", "AGEGROUP_65plus", "HOWOFTEN_weekly", "SERVICES_books",
                                "SERVICES_events", "EVENT_seniors", "RATING_4", "RECOMMEND_yes"})
        self.assertEqual({v for k, v in counts.items() if k not in ones}, {"0"})
        self.assertEqual(float(demo.ini_section(stats, "SUM")["RATING"]), 4.0)
        return session


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
