#!/usr/bin/env python3
"""The real program mails survey responses to a real mail server: Debian's
exim, started by the test in the foreground on three loopback ports with a
configuration of its own. One port is a plain relay, one a submission port
that wants STARTTLS and a login, one speaks TLS from the first byte (as on
port 465); the
certificate is made by the test and named in the server root's cgi.ini.
A response is saved to each of three forms, the outbox thread sends the
mails, and each mail exim delivers is read back with Python's email
package: the expected headers, the answers byte for byte, once each.

Usage: mail_server_test.py BUILD_DIR  (BUILD_DIR holds the tallypad program)
"""
import email
import email.policy
import email.utils
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

sys.dont_write_bytecode = True  # nothing is written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import demo_server as demo  # noqa: E402

BUILD_DIR = sys.argv[1] if len(sys.argv) > 1 else "build-test"
EXIM = shutil.which("exim4") or shutil.which("exim")
if EXIM is None:
    sys.exit("exim is missing: run scripts/install-deps.sh test "
             "(or apt-get install exim4-daemon-light)")

USER = "survey-sender@example.test"
PASSWORD = "Sw0rdfish-and-chips"
SENDER = "survey@example.test"
SUBJECT = "Tallypad form submission report"
# Answers a mail must carry exactly: letters beyond ASCII, a long line, a
# leading dot, equals signs and blanks at the end.
NAME = "Zo\u00eb \u00d8rsted \u2014 \u6771\u4eac \U0001F642"
COMMENT = (".hidden = shown =?utf-8?B?eA==?= " + "lorem ipsum " * 150) + "end"
EXIM_START_S = 30
DELIVERY_S = 90

EXIM_CONFIG = """
primary_hostname = mail.tallypad.test
qualify_domain = tallypad.test
spool_directory = @DIR@/spool
log_file_path = @DIR@/log/%slog
pid_file_path = @DIR@/exim.pid
local_interfaces = <; 127.0.0.1
daemon_smtp_ports = @PLAIN@ : @SUBMISSION@ : @SMTPS@
tls_on_connect_ports = @SMTPS@
tls_advertise_hosts = ${if eq{$received_port}{@PLAIN@}{}{*}}
tls_certificate = @DIR@/cert.pem
tls_privatekey = @DIR@/key.pem
auth_advertise_hosts = ${if eq{$tls_in_cipher}{}{}{*}}
host_lookup =
rfc1413_hosts =
acl_smtp_rcpt = check_rcpt

begin acl
check_rcpt:
  deny condition = ${if eq{$received_port}{@SUBMISSION@}{yes}{no}}
       !authenticated = *
       message = submission needs a login
  accept

begin routers
everything:
  driver = accept
  transport = to_maildir

begin transports
to_maildir:
  driver = appendfile
  directory = @DIR@/mail
  maildir_format
  user = @USER@

begin authenticators
plain:
  driver = plaintext
  public_name = PLAIN
  server_prompts = :
  server_condition = ${if and {{eq{$auth2}{@LOGIN@}}{eq{$auth3}{@PASSWORD@}}}}
  server_set_id = $auth2
login:
  driver = plaintext
  public_name = LOGIN
  server_prompts = Username:: : Password::
  server_condition = ${if and {{eq{$auth1}{@LOGIN@}}{eq{$auth2}{@PASSWORD@}}}}
  server_set_id = $auth1
"""


class Exim:
    """Exim in the foreground on three loopback ports, in a folder of its own."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="tallypad-exim-")
        os.chmod(self.dir, 0o755)  # exim's own user writes its log and spool here
        self.ports = {"plain": demo.free_port(), "submission": demo.free_port(),
                      "smtps": demo.free_port()}
        for sub in ("spool", "log", "mail"):
            os.mkdir(os.path.join(self.dir, sub))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                        "-keyout", self.file("key.pem"), "-out", self.file("cert.pem"),
                        "-days", "2", "-subj", "/CN=localhost",
                        "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                       check=True, capture_output=True)
        # Run as root, exim delivers and logs as its own user; run by anyone
        # else, as that user.
        if os.getuid() == 0:
            user = "Debian-exim"
            entry = pwd.getpwnam(user)
            for path in ("spool", "log", "mail", "key.pem", "cert.pem"):
                os.chown(self.file(path), entry.pw_uid, entry.pw_gid)
        else:
            user = pwd.getpwuid(os.getuid()).pw_name
        with open(self.file("exim.conf"), "w") as f:
            config = EXIM_CONFIG
            for marker, value in (("@DIR@", self.dir), ("@USER@", user), ("@LOGIN@", USER),
                                  ("@PASSWORD@", PASSWORD),
                                  ("@PLAIN@", str(self.ports["plain"])),
                                  ("@SUBMISSION@", str(self.ports["submission"])),
                                  ("@SMTPS@", str(self.ports["smtps"]))):
                config = config.replace(marker, value)
            f.write(config)
        self.process = subprocess.Popen(
            [EXIM, "-C", self.file("exim.conf"), "-bdf", "-q1h"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + EXIM_START_S
        while not all(self.listening(p) for p in self.ports.values()):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("exim did not start: %s\n%s" % (
                    self.process.stderr.read().decode(errors="replace"), self.log()))
            time.sleep(0.1)

    def file(self, name):
        return os.path.join(self.dir, name)

    @staticmethod
    def listening(port):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            return False

    def log(self):
        try:
            with open(self.file("log/mainlog"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def delivered(self):
        """The raw bytes of every delivered message."""
        folder = self.file("mail/new")
        if not os.path.isdir(folder):
            return []
        messages = []
        for name in sorted(os.listdir(folder)):
            with open(os.path.join(folder, name), "rb") as f:
                messages.append(f.read())
        return messages

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class Tallypad:
    """The program serving a server root with three mailing forms."""

    def __init__(self, exim):
        self.temp = tempfile.TemporaryDirectory(prefix="tallypad-mail-")
        self.root = os.path.join(self.temp.name, "root")
        registry = os.path.join(self.temp.name, "registry")
        os.mkdir(self.root)
        os.mkdir(registry)
        ports = exim.ports
        self.write("cgi.ini",
                   "[server]\nHOME=index.html\n"
                   "[mail 127.0.0.1:%d]\nUSER=%s\nPASSWORD=%s\nTLS=required\nCAFILE=%s\n"
                   "[mail 127.0.0.1:%d]\nUSER=%s\nPASSWORD=%s\nTLS=implicit\nCAFILE=%s\n"
                   % (ports["submission"], USER, PASSWORD, exim.file("cert.pem"),
                      ports["smtps"], USER, PASSWORD, exim.file("cert.pem")))
        self.write("index.html", "<p>index</p>")
        for form, port in (("plain", ports["plain"]), ("submission", ports["submission"]),
                           ("smtps", ports["smtps"])):
            self.write(form + ".ini",
                       "[DATABASE]\nFORM=%s.html\nLOGDATETIME=0\nSAVEEMAIL=1\n"
                       "SAVEEMAILNAME=%s@team.example.test\nEMAILFROM=%s\n"
                       "EMAILSERVER=127.0.0.1:%d\n[access]\nPWDAPPEND=(allow)\n"
                       % (form, form, SENDER, port))
            self.write(form + ".html", "<form><input name=Name><input name=Comment></form>")
        env = {k: v for k, v in os.environ.items()
               if k not in ("BROWSER", "DISPLAY", "WAYLAND_DISPLAY")}
        env["TALLYPAD_REGISTRY"] = registry
        env["TALLYPAD_NETWORK"] = "online"
        self.out_path = os.path.join(self.temp.name, "stdout.txt")
        with open(self.out_path, "wb") as out:
            self.process = subprocess.Popen(
                [os.path.join(os.path.abspath(BUILD_DIR), "tallypad"), "--port",
                 str(demo.free_port()), self.root],
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, env=env,
                cwd=self.temp.name)
        deadline = time.monotonic() + demo.START_TIMEOUT_S
        self.port = None
        while self.port is None:
            match = demo.RUNNING_LINE.search(self.output())
            if match:
                self.port = int(match.group(1))
            elif self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("tallypad did not come up:\n" + self.output())
            else:
                time.sleep(0.05)

    def write(self, name, text):
        with open(os.path.join(self.root, name), "w", encoding="utf-8") as f:
            f.write(text)

    def read(self, name):
        try:
            with open(os.path.join(self.root, name), "rb") as f:
                return f.read()
        except OSError:
            return b""

    def output(self):
        with open(self.out_path, "r", encoding="utf-8", errors="replace") as f:
            return f.read()

    def save(self, form):
        body = urllib.parse.urlencode({"DATABASE": form, "_ACTION": "SUBMIT",
                                       "_SESSION": "s-" + form, "Name": NAME,
                                       "Comment": COMMENT}).encode()
        request = (b"POST /kqs HTTP/1.0\r\nHost: 127.0.0.1\r\n"
                   b"Content-Type: application/x-www-form-urlencoded\r\n"
                   b"Content-Length: %d\r\n\r\n" % len(body)) + body
        return demo.exchange(self.port, request)

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(demo.STOP_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.temp.cleanup()


class MailServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.exim = Exim()
        try:
            cls.tallypad = Tallypad(cls.exim)
        except Exception:
            cls.exim.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.tallypad.close()
        cls.exim.close()

    def test_every_response_arrives_once_as_a_standard_mail(self):
        for form in ("plain", "submission", "smtps"):
            response = self.tallypad.save(form)
            self.assertIn("Thank you!", response.body, form)
        deadline = time.monotonic() + DELIVERY_S
        while len(self.exim.delivered()) < 3 and time.monotonic() < deadline:
            time.sleep(0.2)
        # Anything sent twice would arrive within moments of the rest.
        time.sleep(3)
        messages = self.exim.delivered()
        log = self.exim.log()
        self.assertEqual(len(messages), 3, "exim log:\n%s\nprogram:\n%s"
                         % (log, self.tallypad.output()))
        self.assertNotIn("synchronization error", log)

        expected_body = ("Tallypad web data from: \nX-DATABASE: {form}\nName: %s\nComment: %s\n"
                         % (NAME, COMMENT))
        by_recipient = {}
        for raw in messages:
            message = email.message_from_bytes(raw, policy=email.policy.default)
            by_recipient.setdefault(str(message["To"]), []).append(message)
        for form, protocol in (("plain", "esmtp"), ("submission", "esmtpsa"),
                               ("smtps", "esmtpsa")):
            recipient = "%s@team.example.test" % form
            self.assertEqual(len(by_recipient.get(recipient, [])), 1, recipient)
            message = by_recipient[recipient][0]
            self.assertEqual(message["From"], SENDER)
            self.assertEqual(message["Subject"], SUBJECT)
            self.assertEqual(message["MIME-Version"], "1.0")
            self.assertEqual(message.get_content_type(), "text/plain")
            self.assertEqual(message.get_content_charset(), "utf-8")
            self.assertRegex(str(message["Message-ID"]), r"^<[^<>@\s]+@[^<>@\s]+>$")
            when = email.utils.parsedate_to_datetime(str(message["Date"]))
            self.assertLess(abs(time.time() - when.timestamp()), 600)
            self.assertEqual(message.get_content(), expected_body.format(form=form), form)
            # Every line within the standard's limit, whatever the answers.
            for line in message.as_bytes().split(b"\n"):
                self.assertLessEqual(len(line.rstrip(b"\r")), 998)
            received = " ".join(str(r) for r in message.get_all("Received"))
            self.assertRegex(received, r"with %s\b" % protocol, form)
            self.assertIn("<%s>" % SENDER, str(message["Return-path"] or "") + received)
        message_ids = {str(m["Message-ID"]) for ms in by_recipient.values() for m in ms}
        self.assertEqual(len(message_ids), 3)

        # The outbox is empty, the backup holds the three mails, no dead letter,
        # and the password is in no file but cgi.ini.
        deadline = time.monotonic() + 10
        while self.tallypad.read("outbox.kqs") and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(self.tallypad.read("outbox.kqs"), b"")
        self.assertEqual(self.tallypad.read("outbox.bak").count(b"\nContent-Length: "), 3)
        self.assertEqual(self.tallypad.read("outbox.dead"), b"")
        for name in os.listdir(self.tallypad.root):
            if name != "cgi.ini":
                self.assertNotIn(PASSWORD.encode(), self.tallypad.read(name), name)
        self.assertNotIn(PASSWORD, self.tallypad.output())


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
