"""The demo: a router in a sandbox reporting its cellular traffic to a management server, through
refused reports, a modem reset and a failover, without losing or repeating a byte."""

import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sandbox import Sandbox, require_root  # noqa: E402

ACCEPT = {"reply": "ACCEPTED"}
REFUSE = {"reply": "REFUSED"}


class Echo:
    """Prints what the service, the server and the demo say, in the order it happens."""

    def __init__(self, sb, service):
        self.sb, self.service = sb, service
        self.printed = {"out": 0, "err": 0, "req": 0}
        self.lock = threading.Lock()

    def flush(self):
        with self.lock:
            for name, lines, prefix in (("out", self.service.out, "tolvu   | "),
                                        ("err", self.service.err, "tolvu ! | ")):
                while self.printed[name] < len(lines):
                    print(prefix + lines[self.printed[name]])
                    self.printed[name] += 1
            requests = self.sb.requests()
            while self.printed["req"] < len(requests):
                r = requests[self.printed["req"]]
                print("server  | %s %s from %s: %s -> %s" % (
                    r["method"], r["path"], r["headers"].get("User-Agent"), r["body"],
                    r["behaviour"].get("reply", "")[:40]))
                self.printed["req"] += 1
            sys.stdout.flush()

    def say(self, text):
        self.flush()
        print("demo    | --- %s ---" % text)


def main(binary, domain):
    reason = require_root()
    if reason:
        sys.exit("demo: " + reason)
    print("Building a sandboxed router: module link eth1 (default route), wired WAN eth0.2,")
    print("a management server at acme.%s:8090 with a test CA, and a syslog socket." % domain)
    print("Each cycle is asked for at once (SIGUSR1) instead of after the 240 s interval.\n")
    with Sandbox(domain) as sb:
        sb.add_link("eth1", macvlan=True)  # its final counters are told in full at a reset
        sb.add_link("eth0.2")
        sb.set_default_route("eth1")
        sb.configure(serial="DEMO-0001", interval=600)
        sb.push_traffic("eth1", 50)
        state = sb.state_file()
        service = sb.start(binary)
        echo = Echo(sb, service)
        assert service.wait_for(lambda out, err: "update_accepted 1" in out)
        time.sleep(0.2)

        def cycle(narration=None, traffic=0):
            if narration:
                echo.say(narration)
            if traffic:
                sb.push_traffic("eth1", traffic)
            service.cycle_now(state)
            echo.flush()

        cycle("traffic on the module link: reported and accepted", traffic=30)
        sb.set_plan({"default": REFUSE})
        cycle("the server refuses: the traffic waits for the next report", traffic=40)
        cycle(traffic=20)
        sb.push_traffic("eth1", 12)
        echo.say("traffic after the last sample, then a modem reset: eth1 disappears (the kernel "
                 "tells its final counters) and comes back as a new interface, its counters from "
                 "zero")
        sb.delete_link("eth1")
        gone = sb.far_end_counters("eth1")  # the old interface's whole life, by its far end
        sb.add_link("eth1", macvlan=True)
        sb.set_default_route("eth1")
        sb.set_plan({"default": ACCEPT})
        cycle("the server accepts again: one report carries what the old interface had waiting "
              "and the new one's traffic", traffic=25)
        sb.set_default_route("eth0.2")
        cycle("the wired WAN takes the default route: the cycle skips, the module's traffic waits",
              traffic=10)
        sb.set_default_route("eth1")
        cycle("the module gets the route back: the next report carries it, failover included, "
              "and nothing twice")
        echo.say("SIGTERM, as procd sends it at a stop")
        service.terminate()
        echo.flush()

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
        summarize(sb, service, gone)
        print("The sandbox is gone.")


def summarize(sb, service, gone):
    """Adds up what the server accepted, and what the module's counters showed: the old
    interface's whole life as its far end counted it, and the new one's at the last accepted
    report."""
    accepted = [r for r in sb.requests() if r["billed"]]
    up, down = (sum(r["billed"][k] for r in accepted) for k in ("up", "dn"))
    figures = [line.split() for i, line in enumerate(service.out)
               if line.startswith("Bandwidth Calc: ") and "update_accepted 1" in service.out[i:i + 8]]
    new_tx, new_rx = int(figures[-1][3]), int(figures[-1][5])
    print("\n%d reports sent, %d accepted. Accepted in all: %d bytes up, %d down." % (
        len(sb.requests()), len(accepted), up, down))
    print("Counted by the module's counters: the old eth1 to its end (its far end's count), tx %d "
          "rx %d, and the new eth1 at the last accepted report, tx %d rx %d: in all %d up, %d "
          "down%s." % (gone[0], gone[1], new_tx, new_rx, gone[0] + new_tx, gone[1] + new_rx,
                       " (equal)" if (up, down) == (gone[0] + new_tx, gone[1] + new_rx)
                       else " (NOT EQUAL)"))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
