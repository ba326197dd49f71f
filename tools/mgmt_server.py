#!/usr/bin/python3
"""A reference management server for tests and the demo, on Python's standard library only.

It answers HTTPS POSTs the way the fleet's management server does, records every request, and can
be told how to answer each one. Two commands:

  mgmt_server.py pki [--chain] DIR HOST...
        make a test CA in DIR (ca.pem, a hashed CA directory "certs/") and a certificate for the
        HOSTs (server.pem, server.key). With --chain, as the public web PKI does it: RSA-2048
        keys, and the leaf signed by an intermediate that server.pem carries after the leaf.
        It also makes the routers' side: a client CA (client-ca.pem) and a certificate for one
        router (client.pem, client.key, CN "SN-0042", its serial; other.pem and other.key for a
        second router, CN "SN-0043"), and a CA of strangers
        (rogue-ca.pem) with a certificate of its own (rogue.pem, rogue.key).
  mgmt_server.py serve --cert server.pem --key server.key [--port N] [--bind ADDR]
                       [--port-file F] [--log F] [--plan F] [--tls12] [--legacy-tls]
                       [--no-resume] [--tickets N] [--client-ca F]
        --tls12 speaks TLS 1.2 at most (a router's mbedTLS 2.28 speaks nothing newer);
        --legacy-tls speaks TLS 1.0 and 1.1 only, as an outdated server would;
        --no-resume refuses every TLS session resumption (no tickets, no session cache);
        --tickets N hands out N TLS 1.3 session tickets a connection (OpenSSL's default: 2);
        --client-ca requires a client certificate signed by the CA in F (the log records each
        request's certificate subject).

Like a real web server it keeps a connection open for more requests unless the client says
"Connection: close"; then it answers, ends TLS cleanly and closes. The log gets one JSON object a
line per request: method, path, port, headers, body, the TLS version, whether the TLS session was
resumed, the client certificate's subject, and the behaviour used. The plan is a JSON file read anew at every request: {"default": BEHAVIOUR,
"requests": [BEHAVIOUR, ...]}, where the n-th request (from 0) takes requests[n] if there is one
and the default otherwise. A BEHAVIOUR is an object with any of:
  "reply"    text of the reply body (default "ACCEPTED")
  "status"   HTTP status code (default 200)
  "headers"  more reply headers, such as {"Retry-After": "3"} with a status 503 or 429
  "delay"    seconds to wait before answering
  "stall"    true: never answer (the connection is held open until the client gives up)
  "oversize" a reply body of this many bytes of "x" instead of "reply"
  "drop"     true: announce the reply, send half of it, then cut the connection
  "linger"   seconds to hold the connection open after the whole reply (sent without a length,
             so that the client reads until the server closes); logged once the reply is written
  "lose"     accept the report, then cut the connection without a reply: true always, or a share
             of the requests (0.33), drawn from the plan's "seed"

Every report a reply accepts (or a lost reply was to accept) is billed in a ledger per serial, by
the rule docs/books.md gives to servers: a report without "epoch" and "seq", one with a new
epoch, or one with a later seq is billed in full; the same epoch and seq as the last accepted
one again (a re-send after a lost reply) only by what each figure grew (never below 0); an older
seq not at all. The log records each request's "billed" {"up", "dn"}.
"""

import argparse
import http.server
import json
import os
import random
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse
import warnings

MAX_STALL_SECONDS = 600  # a stalled answer gives up by itself, so no test can leave it behind


def run(*args, cwd=None):
    subprocess.run(args, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_pki(directory, hosts, chain=False):
    """Creates a test CA and a server certificate for hosts; returns the paths."""
    os.makedirs(os.path.join(directory, "certs"), exist_ok=True)
    path = lambda name: os.path.join(directory, name)  # noqa: E731
    key_args = (["-newkey", "rsa:2048"] if chain else
                ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1"])
    ca_ext = ["-addext", "basicConstraints=critical,CA:TRUE", "-addext",
              "keyUsage=critical,keyCertSign"]
    run("openssl", "req", "-x509", *key_args, "-nodes", "-keyout", path("ca.key"), "-out",
        path("ca.pem"), "-days", "30", "-subj", "/CN=tolvu test CA", *ca_ext)
    issuer = ("ca.pem", "ca.key")
    if chain:
        run("openssl", "req", *key_args, "-nodes", "-keyout", path("int.key"), "-out",
            path("int.csr"), "-subj", "/CN=tolvu test intermediate CA")
        with open(path("int.ext"), "w") as f:
            f.write("basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign\n")
        run("openssl", "x509", "-req", "-in", path("int.csr"), "-CA", path("ca.pem"), "-CAkey",
            path("ca.key"), "-CAcreateserial", "-out", path("int.pem"), "-days", "30",
            "-extfile", path("int.ext"))
        issuer = ("int.pem", "int.key")
    run("openssl", "req", *key_args, "-nodes", "-keyout", path("server.key"), "-out",
        path("server.csr"), "-subj", "/CN=" + hosts[0])
    with open(path("server.ext"), "w") as f:
        f.write("subjectAltName=" + ",".join("DNS:" + h for h in hosts) + "\n")
    run("openssl", "x509", "-req", "-in", path("server.csr"), "-CA", path(issuer[0]), "-CAkey",
        path(issuer[1]), "-CAcreateserial", "-out", path("leaf.pem"), "-days", "30", "-extfile",
        path("server.ext"))
    # The server presents its leaf and, with a chain, the intermediate; only the root is trusted.
    with open(path("server.pem"), "w") as out:
        for name in ("leaf.pem", "int.pem") if chain else ("leaf.pem",):
            with open(path(name)) as f:
                out.write(f.read())
    # A CA directory as libcurl reads it: hashed links, plus the bundle Debian's libcurl also opens.
    certs = os.path.join(directory, "certs")
    for name in ("tolvu-test-ca.pem", "ca-certificates.crt"):
        with open(path("ca.pem")) as src, open(os.path.join(certs, name), "w") as dst:
            dst.write(src.read())
    run("openssl", "rehash", certs)
    files = {"ca": path("ca.pem"), "ca_dir": certs, "cert": path("server.pem"),
             "key": path("server.key")}

    # The routers' side: each router's own key and certificate, its serial as the CN, from the
    # operator's client CA (SN-0042's, and another router's, SN-0043); and a stranger's, from a
    # CA the server does not know.
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1"]
    for ca, leaf, subject in (("client-ca", "client", "SN-0042"), ("client-ca", "other", "SN-0043"),
                              ("rogue-ca", "rogue", "router from elsewhere")):
        if not os.path.exists(path(ca + ".pem")):
            run("openssl", "req", "-x509", *ec, "-nodes", "-keyout", path(ca + ".key"), "-out",
                path(ca + ".pem"), "-days", "30", "-subj", "/CN=tolvu test %s" % ca, *ca_ext)
        run("openssl", "req", *ec, "-nodes", "-keyout", path(leaf + ".key"), "-out",
            path(leaf + ".csr"), "-subj", "/CN=" + subject)
        with open(path(leaf + ".ext"), "w") as f:
            f.write("extendedKeyUsage=clientAuth\n")
        run("openssl", "x509", "-req", "-in", path(leaf + ".csr"), "-CA", path(ca + ".pem"),
            "-CAkey", path(ca + ".key"), "-CAcreateserial", "-out", path(leaf + ".pem"), "-days",
            "30", "-extfile", path(leaf + ".ext"))
        files.update({ca: path(ca + ".pem"), leaf + "_cert": path(leaf + ".pem"),
                      leaf + "_key": path(leaf + ".key")})
    return files


def subject_of(certificate):
    """"CN=SN-0042" for a verified client certificate, None without one."""
    if not certificate:
        return None
    return ",".join("%s=%s" % pair for rdn in certificate.get("subject", ()) for pair in rdn
                    ).replace("commonName", "CN")


class Plan:
    def __init__(self, path):
        self.path = path
        self.count = 0
        self.lock = threading.Lock()
        self.random = None

    def next(self):
        with self.lock:
            index = self.count
            self.count += 1
            plan = {}
            if self.path and os.path.exists(self.path):
                with open(self.path) as f:
                    plan = json.load(f)
            requests = plan.get("requests", [])
            behaviour = dict(requests[index] if index < len(requests) else plan.get("default", {}))
            lose = behaviour.get("lose")
            if lose not in (None, True, False):
                if self.random is None:
                    self.random = random.Random(plan.get("seed", 0))
                behaviour["lose"] = self.random.random() < float(lose)
        return index, behaviour


def accepts(reply):
    """The router's reading of a reply: "ACCEPTE" followed by at least one more character."""
    at = reply.find("ACCEPTE")
    return at >= 0 and len(reply) > at + 7


class Ledger:
    """What a cooperating server bills, per serial."""

    def __init__(self):
        self.books = {}  # serial: (epoch, seq, up, dn) of the last accepted report
        self.lock = threading.Lock()

    def bill(self, fields):
        serial = fields.get("serial", "")
        up, dn = int(fields.get("bw_up", 0)), int(fields.get("bw_dn", 0))
        epoch, seq = fields.get("epoch"), fields.get("seq")
        if epoch is None or seq is None:
            return {"up": up, "dn": dn}
        seq = int(seq)
        with self.lock:
            last = self.books.get(serial)
            if last and last[0] == epoch and seq < last[1]:
                return {"up": 0, "dn": 0}  # an older report: billed already
            if last and last[0] == epoch and seq == last[1]:
                billed = {"up": max(0, up - last[2]), "dn": max(0, dn - last[3])}
            else:
                billed = {"up": up, "dn": dn}
            self.books[serial] = (epoch, seq, up, dn)
            return billed


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "tolvu-test-mgmt/1.0"

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.answer()

    def do_POST(self):
        self.answer()

    def answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length).decode("utf-8", "replace") if length else ""
        index, behaviour = self.server.plan.next()
        if behaviour.get("oversize"):
            reply = b"x" * int(behaviour["oversize"])
        else:
            reply = str(behaviour.get("reply", "ACCEPTED")).encode()
        billed = None
        # The server commits what it accepts before it answers, whatever becomes of the answer.
        if behaviour.get("lose") or (accepts(reply.decode("utf-8", "replace"))
                                     and not behaviour.get("stall")):
            fields = dict(urllib.parse.parse_qsl(body, keep_blank_values=True))
            billed = self.server.ledger.bill(fields)
        entry = {
            "index": index, "time": time.time(), "method": self.command, "path": self.path,
            "port": self.server.server_address[1], "client": self.client_address[0],
            "headers": dict(self.headers.items()), "body": body, "behaviour": behaviour,
            "tls_version": self.connection.version(), "resumed": self.connection.session_reused,
            "client_subject": subject_of(self.connection.getpeercert()), "billed": billed,
        }
        linger = float(behaviour.get("linger", 0))
        if not linger:  # a lingering reply is logged once it is written
            self.server.record(entry)
        if behaviour.get("stall"):
            time.sleep(MAX_STALL_SECONDS)
            return
        if behaviour.get("lose"):
            self.connection.shutdown(socket.SHUT_RDWR)
            self.close_connection = True
            return
        time.sleep(float(behaviour.get("delay", 0)))
        closing = (self.headers.get("Connection", "").lower() == "close" or behaviour.get("drop")
                   or linger)
        self.send_response(int(behaviour.get("status", 200)))
        self.send_header("Content-Type", "text/plain")
        for name, value in behaviour.get("headers", {}).items():
            self.send_header(name, str(value))
        if not linger:
            self.send_header("Content-Length", str(len(reply)))
        if closing:
            self.send_header("Connection", "close")
        self.end_headers()
        if linger:
            self.wfile.write(reply)
            self.wfile.flush()
            self.server.record(entry)
            time.sleep(linger)
            self.close_connection = True
            return
        if behaviour.get("drop"):
            self.wfile.write(reply[: len(reply) // 2])
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
            self.close_connection = True
            return
        self.wfile.write(reply)
        self.wfile.flush()
        self.close_connection = closing
        if closing:
            # A clean end of TLS, so that the session cache keeps the session: send the TLS close
            # and go, without waiting for the client's. A client that just closes (libcurl on
            # mbedTLS never sends a TLS close) would be an unexpected end to wait for, and
            # OpenSSL drops the session of a connection that ends in an error.
            try:
                self.connection.setblocking(False)
                self.connection.unwrap()
            except (ssl.SSLError, OSError):
                pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, tls, plan, log_path):
        if ":" in address[0]:
            self.address_family = socket.AF_INET6  # "::" takes IPv4 too
        self.ledger = Ledger()
        super().__init__(address, Handler)
        self.tls = tls  # an SSLContext, or a function that makes one per connection
        self.plan = plan
        self.log_path = log_path
        self.log_lock = threading.Lock()

    def finish_request(self, request, client_address):
        # The handshake runs in the request's own thread, so a slow client holds up no other.
        try:
            request.settimeout(MAX_STALL_SECONDS + 30)
            tls = self.tls() if callable(self.tls) else self.tls
            request = tls.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        pass  # clients that give up mid-answer are part of the tests

    def record(self, entry):
        if not self.log_path:
            return
        with self.log_lock, open(self.log_path, "a") as f:
            f.write(json.dumps(entry) + "\n")


def serve(args):
    def context():
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(args.cert, args.key)
        if args.tls12:
            tls.maximum_version = ssl.TLSVersion.TLSv1_2
        if args.legacy_tls:
            # Only what TLS 1.2 replaced; OpenSSL's default security level refuses it otherwise.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                tls.minimum_version = ssl.TLSVersion.TLSv1
                tls.maximum_version = ssl.TLSVersion.TLSv1_1
            tls.set_ciphers("DEFAULT:@SECLEVEL=0")
        if args.client_ca:
            tls.verify_mode = ssl.CERT_REQUIRED
            tls.load_verify_locations(args.client_ca)
        if args.tickets is not None:
            tls.num_tickets = args.tickets
        if args.no_resume:
            tls.options |= ssl.OP_NO_TICKET
            tls.num_tickets = 0
        return tls
    # Without resumption every connection gets a context of its own, so that no session cache
    # outlives its connection.
    server = Server((args.bind, args.port), context if args.no_resume else context(),
                    Plan(args.plan), args.log)
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % server.server_address[1])
        os.rename(tmp, args.port_file)
    server.serve_forever()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    pki = commands.add_parser("pki", help="make a test CA and a server certificate")
    pki.add_argument("--chain", action="store_true", help="RSA-2048 with an intermediate CA")
    pki.add_argument("dir")
    pki.add_argument("hosts", nargs="+")
    s = commands.add_parser("serve", help="run the server")
    s.add_argument("--cert", required=True)
    s.add_argument("--key", required=True)
    s.add_argument("--bind", default="127.0.0.1")
    s.add_argument("--port", type=int, default=0)
    s.add_argument("--port-file")
    s.add_argument("--log")
    s.add_argument("--plan")
    s.add_argument("--tls12", action="store_true", help="TLS 1.2 at most")
    s.add_argument("--legacy-tls", action="store_true", help="TLS 1.0 and 1.1 only")
    s.add_argument("--no-resume", action="store_true", help="refuse TLS session resumption")
    s.add_argument("--tickets", type=int, help="TLS 1.3 session tickets a connection")
    s.add_argument("--client-ca", help="require a client certificate signed by this CA")
    args = parser.parse_args()
    if args.command == "pki":
        print(json.dumps(make_pki(args.dir, args.hosts, args.chain)))
    else:
        serve(args)


if __name__ == "__main__":
    sys.exit(main())
