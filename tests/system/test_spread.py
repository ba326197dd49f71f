"""A fleet that boots together reports apart: with report_spread each router's cycles run at its own
moment of the interval, across restarts; and a server that answers 503 with Retry-After gets the
time it asked for, without a byte lost."""

import json
import re
import time
import urllib.parse

from conftest import start
from test_accounting import ACCEPT, accepted_reports

INTERVAL = 5
BUSY = {"status": 503, "reply": "busy", "headers": {"Retry-After": "3"}}


def seconds_of(clock):
    """Seconds since midnight of an HH:MM:SS clock. Every time zone is whole minutes off UTC, so
    the service's local clock keeps its moment of a 5 s interval where Unix time has it."""
    h, m, s = map(int, clock.split(":"))
    return h * 3600 + m * 60 + s


def cycle_starts(sb):
    """When each cycle began, by the service's own clock (its system log lines' time stamps)."""
    return [seconds_of(e["clock"]) for e in sb.syslog_lines()
            if e["message"] == "Acs Running Bandwidth Monitor."]


def status_json(sb):
    status = start(sb, "--status", "--json")
    status.wait()
    return json.loads("\n".join(status.out))


def test_cycles_keep_their_moment_and_reports_wait_when_asked(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure(interval=INTERVAL, report_spread=1)
    sb.set_plan({"default": ACCEPT})
    sb.push_traffic("eth1", 20)
    outs, moments = [], []
    for run in range(2):
        earlier = len(cycle_starts(sb))
        service = start(sb)
        said = service.wait_for(lambda out, err: [m for m in map(re.compile(
            r"Cycles run (\d) s into every 5 s interval \(report_spread\), the first at "
            r"\S+ (\S+)").fullmatch, out) if m])
        moment = int(said[0].group(1))
        moments.append(moment)
        assert moments[0] == moment  # the same router keeps its moment
        service.wait_for(lambda out, err: out.count("update_accepted 1") >= 2, timeout=20)
        # The first cycle ran when the start said it would, and each one keeps to the moment (a
        # wait that ends a second past it still runs the cycle).
        starts = cycle_starts(sb)[earlier:]
        assert (starts[0] - seconds_of(said[0].group(2))) % 86400 in (0, 1), (said[0], starts)
        assert all((t - moment) % INTERVAL in (0, 1) for t in starts), (moment, starts)
        schedule = status_json(sb)["schedule"]
        assert schedule["interval"] == INTERVAL and schedule["moment"] == moment
        assert schedule["next_cycle"] % INTERVAL == moment
        sb.push_traffic("eth1", 10)
        if run == 0:
            assert service.terminate() == 0
            outs.append(service.out)

    # A 503 with Retry-After holds every report that long: the cycles go on sampling, nothing is
    # sent, and the next report carries all the traffic.
    service.wait_for(lambda out, err: out.count("update_accepted 1") >= 3, timeout=20)
    sb.set_plan({"requests": [ACCEPT] * len(sb.requests()) + [BUSY], "default": ACCEPT})
    service.wait_for(lambda out, err: any(l.startswith("The server asked to wait until ")
                                          for l in out), timeout=20)
    answered = time.time()  # the service has had the answer by now
    busy_at = sb.requests()[-1]["time"]
    sb.push_traffic("eth1", 15)
    asked = len(sb.requests())
    service.run_cycles(1)
    assert len(sb.requests()) == asked
    asked_to_wait = next(l for l in service.out if l.startswith("The server asked to wait until "))
    assert "Report held: t" + asked_to_wait[1:] in service.out
    assert sb.state()["last_error"] == "the server asked to wait"
    # 3 s from when the answer came: after the server sent it, before the service said so.
    hold = status_json(sb)["hold_until"]
    assert int(busy_at) + 3 <= hold <= answered + 3, (busy_at, hold, answered)
    accepted = service.out.count("update_accepted 1")
    service.wait_for(lambda out, err: out.count("update_accepted 1") > accepted, timeout=20)
    after = sb.requests()[asked]
    assert after["time"] >= hold and after["behaviour"] == ACCEPT
    assert sum(l.startswith("The server asked to wait until ") for l in service.out) == 1
    assert service.terminate() == 0

    # Every byte once: what the server accepted adds up to the counters at the last report.
    reports = accepted_reports(outs[0]) + accepted_reports(service.out)
    fields = [dict(urllib.parse.parse_qsl(r["body"])) for r in sb.requests()
              if r["behaviour"] == ACCEPT]
    assert sum(int(f["bw_up"]) for f in fields) == reports[-1][0]
    assert sum(int(f["bw_dn"]) for f in fields) == reports[-1][1]

    # A hold further ahead than max_report_interval (the clock stepped back since it was asked)
    # is one the service would not keep: --status does not show it either.
    with open(sb.state_file()) as f:
        state = f.read()
    with open(sb.state_file(), "w") as f:
        f.write(re.sub(r"hold_until=\d+", "hold_until=%d" % (time.time() + 86400), state))
    assert status_json(sb)["hold_until"] is None
