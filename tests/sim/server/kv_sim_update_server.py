#!/usr/bin/env python3
"""A stand-in update server for tests.

Listens on 127.0.0.1, announces "PORT <n>" on standard output, answers GET requests by their
"op" query value with canned bodies, applies scripted faults, and records every request line.
Control commands arrive one per line on standard input; each is answered "OK" or
"ERR <reason>" (the output of "requests" comes before its "OK"). The program ends on "quit"
or when standard input closes.
"""

import argparse
import base64
import codecs
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HELP_COMMANDS = r"""
control commands (standard input, or --command before the start):
  body OP TEXT          reply body for OP; TEXT takes \n, \r, \\ and \xHH escapes
  bird PATH             op=bird answers "ok" and the file at PATH in base64 on one line
  fault OP NAME [ARG]   add a fault to OP's replies (OP "*": every op); faults apply in order:
                          status CODE   reply with this HTTP status (body unchanged)
                          no            body "no\n"
                          lines N       keep only the first N lines of the body
                          crlf          line ends CR LF
                          close         close the connection without a reply
                          cut           announce 100 bytes more than are sent, then close
                          stall         read the request, then send nothing (up to 120 s)
                          stall-body    send the headers and the first line, then nothing
                          oversize N    body "ok\n", N bytes of "A" and "\n", with its length
                          oversize-unsized N   the same without a length (ends at close)
                          trickle MS    send the headers, then the body one byte every MS ms
  clear-faults [OP]     remove the faults of OP, or of every op
  refuse                stop listening: connections to the port are refused from now on
  requests              one line "REQ <request line>" per request so far, in arrival order
  forget                empty the request record
  reset                 canned bodies, no faults, empty record
  quit                  end the program

canned bodies: hi "ok"; qu "ok", 1234, fwtoken-1234; builds "ok", 1234;1.2.3, 1200;1.2.0,
1100;1.1.9; bird "no" until a file is given; fix "ok", 0012ABCD, 1234; ent_jwt "ok" and a
three-part token. An unknown or missing op gets status 200 and "no".
"""

STALL_SECONDS = 120          # s a stalled reply holds its connection at most
HANDSHAKE_TIMEOUT_S = 10     # s a TLS handshake may take
CUT_MISSING_BYTES = 100      # bytes a cut-off reply announces but never sends
WRITE_CHUNK_BYTES = 65536    # bytes per write of a body

DEFAULT_BODIES = {
    "hi": b"ok\n",
    "qu": b"ok\n1234\nfwtoken-1234\n",
    "builds": b"ok\n1234;1.2.3\n1200;1.2.0\n1100;1.1.9\n",
    "bird": b"no\n",
    "fix": b"ok\n0012ABCD\n1234\n",
    "ent_jwt": b"ok\neyJhbGciOiJub25lIn0.eyJzbiI6IjAwMTJBQkNEIn0.c2lnbmF0dXJl\n",
}
UNKNOWN_OP_BODY = b"no\n"

FAULTS_WITHOUT_ARGUMENT = {"no", "crlf", "close", "cut", "stall", "stall-body"}
FAULTS_WITH_NUMBER = {"status", "lines", "oversize", "oversize-unsized", "trickle"}


class State:
    """Bodies, faults and the request record, shared by the handler threads."""

    def __init__(self):
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        with self.lock:
            self.bodies = dict(DEFAULT_BODIES)
            self.faults = {}
            self.record = []

    def reply_for(self, op):
        with self.lock:
            body = self.bodies.get(op, UNKNOWN_OP_BODY)
            faults = list(self.faults.get(op, [])) + list(self.faults.get("*", []))
        return body, faults

    def remember(self, line):
        with self.lock:
            self.record.append(line)


STATE = State()
SERVER = None  # the listening server, once started


def query_op(path):
    """The value of the first "op" pair of the query, taken as it stands."""
    query = path.split("?", 1)[1] if "?" in path else ""
    for pair in query.split("&"):
        key, _, value = pair.partition("=")
        if key == "op":
            return value
    return ""


def first_lines(body, count):
    """The body up to and with its count-th line feed (the whole body when it has fewer)."""
    end = 0
    for _ in range(count):
        feed = body.find(b"\n", end)
        if feed < 0:
            return body
        end = feed + 1
    return body[:end]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    tls_context = None

    def setup(self):
        if self.tls_context is not None:
            self.request.settimeout(HANDSHAKE_TIMEOUT_S)
            self.request = self.tls_context.wrap_socket(self.request, server_side=True)
            self.request.settimeout(None)
        super().setup()

    def finish(self):
        try:
            super().finish()
        finally:
            if self.tls_context is not None:
                self.request.close()

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        STATE.remember(self.requestline)
        body, faults = STATE.reply_for(query_op(self.path))
        status = 200
        delivery = None
        trickle_ms = 0
        for name, argument in faults:
            if name == "status":
                status = argument
            elif name == "no":
                body = b"no\n"
            elif name == "lines":
                body = first_lines(body, argument)
            elif name == "crlf":
                body = body.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
            elif name in ("oversize", "oversize-unsized"):
                body = b"ok\n" + b"A" * argument + b"\n"
                delivery = name
            elif name == "trickle":
                trickle_ms = argument
                delivery = name
            else:
                delivery = name
        self.close_connection = True

        if delivery == "close":
            return
        if delivery == "stall":
            self.hold()
            return
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        if delivery == "cut":
            self.send_header("Content-Length", str(len(body) + CUT_MISSING_BYTES))
        elif delivery != "oversize-unsized":
            self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        if delivery == "stall-body":
            self.wfile.write(body.split(b"\n", 1)[0] + b"\n")
            self.wfile.flush()
            self.hold()
            return
        if delivery == "trickle":
            self.trickle(body, trickle_ms)
            return
        for start in range(0, len(body), WRITE_CHUNK_BYTES):
            self.wfile.write(body[start:start + WRITE_CHUNK_BYTES])
        self.wfile.flush()

    def trickle(self, body, interval_ms):
        """Sends the body one byte every interval_ms until it is sent or the client goes away."""
        try:
            for start in range(len(body)):
                self.wfile.write(body[start:start + 1])
                self.wfile.flush()
                time.sleep(interval_ms / 1000.0)
        except (OSError, ssl.SSLError):
            pass

    def hold(self):
        """Sends nothing more until the client goes away or STALL_SECONDS pass."""
        self.request.settimeout(STALL_SECONDS)
        try:
            while self.request.recv(1):
                pass
        except (OSError, ssl.SSLError):
            pass


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # Refused handshakes and clients that hang up are part of the tests.
        pass


def decode_text(text):
    return codecs.decode(text, "unicode_escape").encode("latin-1")


def run_command(line, out):
    """Carries out one control command; returns False on "quit"."""
    words = line.split(" ", 2)
    name = words[0]
    if name == "body" and len(words) >= 2:
        with STATE.lock:
            STATE.bodies[words[1]] = decode_text(words[2] if len(words) > 2 else "")
    elif name == "bird" and len(words) >= 2:
        path = line.split(" ", 1)[1]
        with open(path, "rb") as source:
            text = base64.b64encode(source.read())
        with STATE.lock:
            STATE.bodies["bird"] = b"ok\n" + text + b"\n"
    elif name == "fault" and len(words) >= 3:
        parts = words[2].split()
        fault = parts[0]
        if fault in FAULTS_WITH_NUMBER and len(parts) == 2:
            entry = (fault, int(parts[1]))
        elif fault in FAULTS_WITHOUT_ARGUMENT and len(parts) == 1:
            entry = (fault, None)
        else:
            raise ValueError("unknown fault or wrong argument: " + words[2])
        with STATE.lock:
            STATE.faults.setdefault(words[1], []).append(entry)
    elif name == "clear-faults":
        with STATE.lock:
            if len(words) >= 2:
                STATE.faults.pop(words[1], None)
            else:
                STATE.faults.clear()
    elif name == "requests" and len(words) == 1:
        with STATE.lock:
            record = list(STATE.record)
        for request in record:
            out.write("REQ " + request + "\n")
    elif name == "forget" and len(words) == 1:
        with STATE.lock:
            STATE.record.clear()
    elif name == "refuse" and len(words) == 1:
        if SERVER is not None:
            SERVER.shutdown()
            SERVER.server_close()
    elif name == "reset" and len(words) == 1:
        STATE.reset()
    elif name == "quit" and len(words) == 1:
        return False
    else:
        raise ValueError("unknown command: " + line)
    return True


def main():
    parser = argparse.ArgumentParser(
        description="Stand-in update server for tests.",
        epilog=HELP_COMMANDS,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"),
                        help="serve HTTPS with this certificate (chain) and key")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: any free one)")
    parser.add_argument("--command", action="append", default=[], metavar="LINE",
                        help="a control command to carry out before the start (repeatable)")
    options = parser.parse_args()

    out = sys.stdout
    for line in options.command:
        run_command(line, out)
    if options.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.tls[0], options.tls[1])
        Handler.tls_context = context

    global SERVER
    server = Server(("127.0.0.1", options.port), Handler)
    SERVER = server
    threading.Thread(target=server.serve_forever, daemon=True).start()
    out.write("PORT %d\n" % server.server_address[1])
    out.flush()

    for raw in sys.stdin:
        line = raw.rstrip("\r\n")
        if not line:
            continue
        try:
            going = run_command(line, out)
            out.write("OK\n")
        except (ValueError, OSError) as error:
            going = True
            out.write("ERR %s\n" % error)
        out.flush()
        if not going:
            break
    server.shutdown()
    server.server_close()


if __name__ == "__main__":
    main()
