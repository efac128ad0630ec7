"""Helpers for the tests of the demo server root: a copy of examples/demo
served by the real tallypad program on a loopback port, a small HTTP client
that talks to it over a raw socket, and a parser that reads a page's form
as a browser would submit it.

Only loopback addresses are ever contacted.
"""
import html.parser
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.parse

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEMO_DIR = os.path.join(SOURCE_DIR, "examples", "demo")

# The sanitized test build starts slowly; these bounds are generous.
START_TIMEOUT_S = 90
STOP_TIMEOUT_S = 60
HTTP_TIMEOUT_S = 60

RUNNING_LINE = re.compile(r"The server is running on port (?:\S*:)?(\d+)")


def free_port():
    """A port no socket used a moment ago, chosen by the system."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class DemoServer:
    """The tallypad program serving a fresh copy of the demo root."""

    def __init__(self, build_dir, binary=None, demo_dir=DEMO_DIR):
        """Serves a copy of `demo_dir` with BUILD_DIR/tallypad, or `binary`."""
        self.binary = binary or os.path.join(os.path.abspath(build_dir), "tallypad")
        self.temp = tempfile.TemporaryDirectory(prefix="tallypad-demo-")
        self.root = os.path.join(self.temp.name, "root")
        self.registry = os.path.join(self.temp.name, "registry")
        shutil.copytree(demo_dir, self.root)
        os.mkdir(self.registry)
        self.out_path = os.path.join(self.temp.name, "stdout.txt")
        self.err_path = os.path.join(self.temp.name, "stderr.txt")
        self.process = None
        self.port = None

    def start(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("BROWSER", "DISPLAY", "WAYLAND_DISPLAY")}
        env["TALLYPAD_REGISTRY"] = self.registry
        env["TALLYPAD_NETWORK"] = "offline"
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(
                [self.binary, "--port", str(free_port()), self.root],
                stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env,
                cwd=self.temp.name)
        deadline = time.monotonic() + START_TIMEOUT_S
        while time.monotonic() < deadline:
            match = RUNNING_LINE.search(self.output())
            if match:
                self.port = int(match.group(1))
                return self.port
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        raise RuntimeError("tallypad did not come up:\n" + self.output() + self.errors())

    def stop(self):
        """Sends SIGTERM and returns the exit status (None on time-out)."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return None

    def close(self):
        self.stop()
        self.temp.cleanup()

    def output(self):
        with open(self.out_path, "r", encoding="utf-8", errors="replace") as f:
            return f.read()

    def errors(self):
        with open(self.err_path, "r", encoding="utf-8", errors="replace") as f:
            return f.read()

    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def file(self, name):
        return os.path.join(self.root, name)

    def read(self, name):
        with open(self.file(name), "rb") as f:
            return f.read().decode("utf-8")


class Response:
    def __init__(self, raw):
        self.raw = raw
        text = raw.decode("utf-8", errors="replace")
        cut = len(text)
        sep_len = 0
        for sep in ("\r\n\r\n", "\n\n"):
            at = text.find(sep)
            if at != -1 and at < cut:
                cut, sep_len = at, len(sep)
        head = text[:cut]
        self.body = text[cut + sep_len:]
        lines = head.replace("\r\n", "\n").split("\n")
        self.status_line = lines[0] if lines else ""
        parts = self.status_line.split(" ")
        self.status = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
        self.headers = {}
        for line in lines[1:]:
            if ":" in line:
                name, value = line.split(":", 1)
                self.headers[name.strip().lower()] = value.strip()


def exchange(port, request):
    with socket.create_connection(("127.0.0.1", port), timeout=HTTP_TIMEOUT_S) as s:
        s.sendall(request)
        chunks = []
        while True:
            data = s.recv(65536)
            if not data:
                break
            chunks.append(data)
    return Response(b"".join(chunks))


def get(port, path):
    return exchange(port, ("GET %s HTTP/1.0\r\nHost: 127.0.0.1:%d\r\n\r\n" % (path, port)).encode())


def post(port, path, fields):
    body = urllib.parse.urlencode(fields).encode()
    head = ("POST %s HTTP/1.0\r\nHost: 127.0.0.1:%d\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n"
            % (path, port, len(body))).encode()
    return exchange(port, head + body)


class FormReader(html.parser.HTMLParser):
    """Reads the forms of a page: their action and method, and the fields a
    browser would send (checked boxes and radios, selected options,
    textarea text), plus the radio, checkbox and option choices offered."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.forms = []
        self.links = []
        self.ids = set()
        self._select = None
        self._option = None
        self._textarea = None

    def handle_starttag(self, tag, attrs):
        a = {k.lower(): (v if v is not None else "") for k, v in attrs}
        if "id" in a:
            self.ids.add(a["id"])
        if tag in ("a", "link") and "href" in a:
            self.links.append(a["href"])
        if tag in ("script", "img") and "src" in a:
            self.links.append(a["src"])
        if tag == "form":
            self.forms.append({"action": a.get("action", ""), "method": a.get("method", "get").lower(),
                               "fields": [], "choices": {}, "options": {}, "buttons": []})
            return
        if not self.forms:
            return
        form = self.forms[-1]
        if tag == "input":
            kind = a.get("type", "text").lower()
            name = a.get("name", "")
            if kind in ("radio", "checkbox"):
                form["choices"].setdefault(name, []).append(a.get("value", "on"))
                if "checked" in a:
                    form["fields"].append((name, a.get("value", "on")))
            elif kind == "submit":
                form["buttons"].append((name, a.get("value", "")))
            elif name:
                form["fields"].append((name, a.get("value", "")))
        elif tag == "button":
            form["buttons"].append((a.get("name", ""), a.get("value", "")))
        elif tag == "select":
            self._select = {"name": a.get("name", ""), "chosen": None, "first": None}
            form["options"][self._select["name"]] = []
        elif tag == "option" and self._select is not None:
            value = a.get("value")
            self._option = value
            self._option_text = ""
            form["options"][self._select["name"]].append(value)
            if self._select["first"] is None:
                self._select["first"] = value
            if "selected" in a:
                self._select["chosen"] = value
        elif tag == "textarea":
            self._textarea = [a.get("name", ""), ""]

    def handle_data(self, data):
        if self._textarea is not None:
            self._textarea[1] += data

    def handle_endtag(self, tag):
        if not self.forms:
            return
        form = self.forms[-1]
        if tag == "select" and self._select is not None:
            chosen = self._select["chosen"]
            if chosen is None:
                chosen = self._select["first"]
            if chosen is not None:
                form["fields"].append((self._select["name"], chosen))
            self._select = None
        elif tag == "textarea" and self._textarea is not None:
            text = self._textarea[1]
            if text.startswith("\n"):
                text = text[1:]
            form["fields"].append((self._textarea[0], text))
            self._textarea = None


def read_page(text):
    reader = FormReader()
    reader.feed(text)
    reader.close()
    return reader


def form_of(text, index=0):
    return read_page(text).forms[index]


def field(form, name):
    """The first value the form would send for `name` (None when none)."""
    for n, v in form["fields"]:
        if n == name:
            return v
    return None


def fill(form, answers, action):
    """The fields a browser sends when the answers are typed or chosen and
    the button with `action` is pressed. An answer given as a list replaces
    every field of that name (check boxes)."""
    fields = list(form["fields"])
    for name, value in answers.items():
        fields = [(n, v) for n, v in fields if n != name]
        for v in (value if isinstance(value, list) else [value]):
            fields.append((name, v))
    fields.append(("_ACTION", action))
    return fields


def data_records(text):
    """The live records of a data file: (header columns, list of dicts)."""
    lines = text.split("\r\n")
    header = [c for c in lines[0].lstrip("#").split("\t") if c]
    records = []
    for line in lines[1:]:
        if not line or line.startswith("#"):
            continue
        values = [v[1:-1].replace('""', '"') if v.startswith('"') else v
                  for v in line.split("\t")]
        records.append(dict(zip(header, values)))
    return header, records


def ini_section(text, section):
    values, current = {}, None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1].upper()
        elif current == section.upper() and "=" in line:
            key, value = line.split("=", 1)
            values[key] = value
    return values
