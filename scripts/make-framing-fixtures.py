#!/usr/bin/env python3
"""Makes the multipart and event-stream fixtures under json/tests/data/ from independent producers.

Multipart bodies come from curl (-F against a throwaway listener on 127.0.0.1 that records the
request body) and from Python's email package. For each body FIX the script writes:
  FIX.ctype   the Content-Type header value (one line)
  FIX.body    the body bytes exactly as sent
  FIX.parts   one line per part: name, content type, Content-Length ("-" for none), data file,
              tab separated ("-" for an absent value)
  FIX.dataN   the bytes of part N as the producer meant them (the original file or payload)
Python's own email parser reads every body back as a cross-check before anything is written.

The event streams come from a small WHATWG-style producer served by http.server with chunked
transfer encoding and fetched with curl -N, so the bytes are what a client really receives.
  stream.txt / stream.expect        plain events: name, id, retry, data (hex), tab separated
  json_stream.txt / json_stream.expect  "update" events with pretty-printed JSON between pings;
                                    expect holds queue, available, count of each update
Ids are written on every event that should carry one: this system's parser keeps no id from
one event to the next, unlike a browser's last-event-id buffer.

Run from the project root: python3 scripts/make-framing-fixtures.py
"""

import email.parser
import email.policy
import http.server
import json
import os
import random
import socket
import subprocess
import sys
import tempfile
import threading
from email.message import EmailMessage

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MP_DIR = os.path.join(ROOT, "json", "tests", "data", "multipart")
SSE_DIR = os.path.join(ROOT, "json", "tests", "data", "sse")
rng = random.Random(20240611)


# ---- multipart ------------------------------------------------------------------------------

def capture_request(curl_args):
    """Runs curl against a one-shot listener; returns (content_type, body)."""
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    server.settimeout(30)
    port = server.getsockname()[1]
    result = {}

    def serve():
        conn, _ = server.accept()
        conn.settimeout(30)
        data = b""
        while b"\r\n\r\n" not in data:
            data += conn.recv(65536)
        head, body = data.split(b"\r\n\r\n", 1)
        headers = {}
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            headers[name.strip().lower().decode()] = value.strip().decode()
        length = int(headers["content-length"])
        while len(body) < length:
            body += conn.recv(65536)
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
        conn.close()
        result["ctype"] = headers["content-type"]
        result["body"] = body[:length]

    thread = threading.Thread(target=serve)
    thread.start()
    subprocess.run(["curl", "-sS", "-H", "Expect:", "-o", os.devnull] + curl_args + [f"http://127.0.0.1:{port}/upload"],
                   check=True)
    thread.join()
    server.close()
    return result["ctype"], result["body"]


def parse_with_email(ctype, body):
    """Python's parser on the same body: [(name, content_type, payload bytes)]."""
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + ctype.encode() + b"\r\n\r\n" + body)
    parts = []
    for part in message.iter_parts():
        payload = part.get_payload(decode=True)  # no transfer encoding here: the raw bytes
        parts.append((part.get_param("name", header="content-disposition"), part.get_content_type(), payload))
    return parts


def write_fixture(name, ctype, body, parts):
    """parts: [(name or None, content type or None, content length or None, data bytes)]."""
    checked = parse_with_email(ctype, body)
    assert len(checked) == len(parts), (name, len(checked), len(parts))
    for (pname, _, _, data), (ename, _, epayload) in zip(parts, checked):
        assert pname == ename, (name, pname, ename)
        assert data == epayload, (name, pname)
    with open(os.path.join(MP_DIR, name + ".ctype"), "w") as f:
        f.write(ctype + "\n")
    with open(os.path.join(MP_DIR, name + ".body"), "wb") as f:
        f.write(body)
    with open(os.path.join(MP_DIR, name + ".parts"), "w") as f:
        for index, (pname, ptype, plen, data) in enumerate(parts):
            data_file = f"{name}.data{index}"
            with open(os.path.join(MP_DIR, data_file), "wb") as d:
                d.write(data)
            f.write("\t".join([pname or "-", ptype or "-", "-" if plen is None else str(plen), data_file]) + "\n")


def tricky_binary(size):
    """Bytes that try to look like delimiters: line breaks, dashes, CRs, every byte value."""
    pieces = [bytes(range(256)), b"\r\n--", b"\n--", b"\r\r\n", b"--\r\n", b"\r\n------------------------",
              b"\r\n--------------------------x", b"\n\n\n", b"\r"]
    out = bytearray()
    while len(out) < size:
        if rng.random() < 0.3:
            out += rng.choice(pieces)
        else:
            out += bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 64)))
    return bytes(out[:size])


def make_multipart():
    os.makedirs(MP_DIR, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        meta = json.dumps({"queue": "orders", "id": "m-1", "attempts": 2}).encode()
        text = b"line one\r\nline two\n\r\n--not a boundary\r\n-- \r\ntrailing line break\r\n"
        blob = tricky_binary(70000)
        files = {"meta.json": meta, "notes.txt": text, "blob.bin": blob}
        for fname, data in files.items():
            with open(os.path.join(tmp, fname), "wb") as f:
                f.write(data)
        p = lambda f: os.path.join(tmp, f)

        # A form upload: files, a plain field, an empty field.
        ctype, body = capture_request([
            "-F", f"meta=<{p('meta.json')};type=application/json",
            "-F", f"notes=@{p('notes.txt')};type=text/plain",
            "-F", f"payload=@{p('blob.bin')};type=application/octet-stream",
            "-F", "greeting=hello world",
            "-F", "empty=",
        ])
        write_fixture("curl_form", ctype, body, [
            ("meta", "application/json", None, meta),
            ("notes", "text/plain", None, text),
            ("payload", "application/octet-stream", None, blob),
            ("greeting", None, None, b"hello world"),
            ("empty", None, None, b""),
        ])

        # multipart/related: curl keeps the caller's media type and adds its boundary.
        ctype, body = capture_request([
            "-H", 'Content-Type: multipart/related; type="application/json"',
            "-F", f"meta=<{p('meta.json')};type=application/json",
            "-F", f"payload=@{p('blob.bin')};type=application/octet-stream",
        ])
        assert ctype.startswith("multipart/related"), ctype
        write_fixture("curl_related", ctype, body, [
            ("meta", "application/json", None, meta),
            ("payload", "application/octet-stream", None, blob),
        ])

    # Python's email package: a multipart/related message with 8bit parts (CRLF line breaks only,
    # since its generator rewrites bare LFs to the policy's CRLF).
    message = EmailMessage()
    message["MIME-Version"] = "1.0"
    message.make_related()
    body_parts = []
    for pname, maintype, subtype, data in [
        ("meta", "application", "json", json.dumps({"queue": "q", "lease": "l-9"}).encode()),
        ("payload", "application", "octet-stream", b"binary\r\n--\r\nstill payload\r\n" + bytes(range(32, 127))),
        ("last", "text", "plain", b"ends without a line break"),
    ]:
        part = EmailMessage()
        part.set_content(data, maintype=maintype, subtype=subtype, cte="8bit",
                         disposition="form-data", params={"name": pname})
        del part["Content-Disposition"]
        part["Content-Disposition"] = f'form-data; name="{pname}"'
        message.attach(part)
        body_parts.append((pname, str(part["Content-Type"]), None, data))
    raw = message.as_bytes(policy=email.policy.HTTP)
    head, body = raw.split(b"\r\n\r\n", 1)
    ctype = None
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-type:"):
            ctype = line.split(b":", 1)[1].strip().decode()
    assert body.endswith(b"--\r\n"), body[-20:]  # closing delimiter with its line break
    write_fixture("email_related", ctype, body, body_parts)


# ---- server-sent events ---------------------------------------------------------------------

def sse_event(fields, eol):
    """Serialises one event (list of (field, value)) with the given line ending."""
    out = ""
    for field, value in fields:
        out += (field if value is None else f"{field}:{value}") + eol
    return out + eol


def plain_events():
    eols = ["\n", "\r\n", "\r"]
    events, expect = [], []
    for n in range(40):
        name = rng.choice(["", "message", "update", "ping", "queue.available"])
        data_lines = [rng.choice(["", "x", " leading space", "a:b:c", "{\"n\": %d}" % n, "ü ñ €", "tab\there"])
                      for _ in range(rng.randint(1, 4))]
        fields = []
        if rng.random() < 0.3:
            fields.append(("", " a comment"))
        if name:
            fields.append(("event", " " + name))
        event_id = None
        if rng.random() < 0.5:
            event_id = f"id-{n}"
            fields.append(("id", " " + event_id))
        retry = None
        if rng.random() < 0.2:
            retry = rng.randint(0, 60000)
            fields.append(("retry", " " + str(retry)))
        if rng.random() < 0.1:
            fields.append(("retry", " soon"))  # ignored: not all digits
        for line in data_lines:
            # The space after the colon may be left out unless the value itself starts with one.
            fields.append(("data", " " + line if rng.random() < 0.8 or line.startswith(" ") else line))
        if rng.random() < 0.1:
            fields.append(("unknown", " ignored"))
        events.append(sse_event(fields, rng.choice(eols)))
        data = "\n".join(data_lines).encode()
        expect.append("\t".join(["event", name, event_id or "-", "-" if retry is None else str(retry), data.hex()]))
    return "".join(events), expect


def json_events():
    events, expect = [], []
    for n in range(12):
        if n % 3 == 1:
            events.append(sse_event([("event", " ping"), ("data", " keepalive, not JSON")], "\n"))
            continue
        doc = {"queue": f"queue-{n}", "available": n % 2 == 0, "count": n * 1000 - 3}
        fields = [("event", " update"), ("id", f" {n}")]
        for line in json.dumps(doc, indent=2).split("\n"):
            fields.append(("data", " " + line))
        events.append(sse_event(fields, "\r\n"))
        expect.append("\t".join([doc["queue"], "1" if doc["available"] else "0", str(doc["count"])]))
    return "".join(events), expect


def serve_and_fetch(payload):
    """Serves payload as text/event-stream in uneven chunks; returns what curl -N received."""
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            data = payload.encode()
            i = 0
            while i < len(data):
                n = rng.randint(1, 97)
                chunk = data[i:i + n]
                self.wfile.write(b"%x\r\n" % len(chunk) + chunk + b"\r\n")
                i += n
            self.wfile.write(b"0\r\n\r\n")

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.handle_request)
    thread.start()
    out = subprocess.run(["curl", "-sSN", f"http://127.0.0.1:{server.server_port}/watch"], check=True,
                         capture_output=True).stdout
    thread.join()
    server.server_close()
    assert out == payload.encode()
    return out


def make_sse():
    os.makedirs(SSE_DIR, exist_ok=True)
    for name, (payload, expect) in [("stream", plain_events()), ("json_stream", json_events())]:
        body = serve_and_fetch(payload)
        with open(os.path.join(SSE_DIR, name + ".txt"), "wb") as f:
            f.write(body)
        with open(os.path.join(SSE_DIR, name + ".expect"), "w") as f:
            f.write("\n".join(expect) + "\n")


if __name__ == "__main__":
    make_multipart()
    make_sse()
    print("fixtures written to", MP_DIR, "and", SSE_DIR, file=sys.stderr)
