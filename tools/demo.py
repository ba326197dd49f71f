"""The demo: a router in a sandbox reporting its cellular traffic to a management server."""

import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sandbox import Sandbox, require_root  # noqa: E402

CYCLES = 6


def main(binary, domain):
    reason = require_root()
    if reason:
        sys.exit("demo: " + reason)
    print("Building a sandboxed router: module link eth1 (default route), wired WAN eth0.2,")
    print("a management server at acme.%s:8090 with a test CA, and a syslog socket.\n" % domain)
    with Sandbox(domain, interval=2) as sb:
        sb.add_link("eth1")
        sb.add_link("eth0.2")
        sb.set_default_route("eth1")
        sb.configure(serial="DEMO-0001")
        sb.set_plan({"requests": [{"reply": "ACCEPTED"}, {"reply": "REFUSED"},
                                  {"reply": "ACCEPTED"}, {"drop": True, "reply": "x" * 400}],
                     "default": {"reply": "ACCEPTED"}})
        sb.push_traffic("eth1", 50)
        service = sb.start(binary)
        printed = {"out": 0, "err": 0, "req": 0, "log": 0}
        stop = threading.Event()

        def echo():
            while not stop.is_set():
                time.sleep(0.1)
                for name, lines, prefix in (("out", service.out, "tolvu   | "),
                                            ("err", service.err, "tolvu ! | ")):
                    while printed[name] < len(lines):
                        print(prefix + lines[printed[name]])
                        printed[name] += 1
                requests = sb.requests()
                while printed["req"] < len(requests):
                    r = requests[printed["req"]]
                    verdict = r["behaviour"].get("reply", "")
                    if r["behaviour"].get("drop"):
                        verdict = "(connection dropped mid-reply)"
                    print("server  | %s %s from %s: %s -> %s" % (
                        r["method"], r["path"], r["headers"].get("User-Agent"), r["body"],
                        verdict[:40]))
                    printed["req"] += 1
                sys.stdout.flush()

        thread = threading.Thread(target=echo, daemon=True)
        thread.start()
        for cycle in range(CYCLES):
            service.wait_for(lambda out, err, n=cycle + 1: sum(
                l.startswith("Serial is:") for l in out) > n or (
                n == CYCLES and sum(l.startswith("Bandwidth Command") for l in out) >= n),
                timeout=30)
            sb.push_traffic("eth1", 20 + 10 * cycle)
            if cycle == 3:
                print("demo    | --- the wired WAN takes the default route: cycles skip ---")
                sb.set_default_route("eth0.2")
            if cycle == 4:
                print("demo    | --- the module gets the route back: the next report carries "
                      "what is not yet accepted, failover included, and nothing twice ---")
                sb.set_default_route("eth1")
        time.sleep(1.5)
        stop.set()
        thread.join()
        status = sb.start(binary, "--status")
        status.wait()
        print("\n$ tolvu --status   (exit status %d)" % status.popen.returncode)
        for line in status.out:
            print("status  | " + line)
        log = sb.syslog_lines()
        print("\nSystem log (%d lines), the last few:" % len(log))
        for entry in log[-4:]:
            print("syslog  | %s.%s %s[%s]: %s" % (entry["facility"], entry["priority"],
                                                 entry["ident"], entry["pid"],
                                                 entry["message"].rstrip()))
        accepted = [r for r in sb.requests() if "ACCEPTED" == r["behaviour"].get("reply")]
        fields = [dict(p.split("=", 1) for p in r["body"].split("&")) for r in accepted]
        up, down = (sum(int(f[k]) for f in fields) for k in ("bw_up", "bw_dn"))
        last = [l for i, l in enumerate(service.out) if l.startswith("Bandwidth Calc: ")
                and "update_accepted 1" in service.out[i:i + 6]][-1].split()
        print("\n%d reports sent, %d accepted. Accepted in all: %d bytes up, %d down; the module's "
              "counters at the last accepted report: tx %s, rx %s." % (
                  len(sb.requests()), len(accepted), up, down, last[3], last[5]))
        print("The sandbox is gone.")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
