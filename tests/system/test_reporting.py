"""Reporting over many cycles against a server that answers every way it can: exact figures,
exact commentary and log lines, and not one byte lost or counted twice."""

import random

from conftest import CUT_REPLY, DOMAIN, WRAP, Ledger, cycles, figures_of, start

BEHAVIOURS = {
    "accept": ({"reply": "ACCEPTED"},
               ["update_bandwidth: 8 bytes retrieved", "bandwidth ACCEPTED", "update_accepted 1"]),
    "refuse": ({"reply": "REFUSED"},
               ["update_bandwidth: 7 bytes retrieved", "bandwidth REFUSED"]),
    "error": ({"status": 500, "reply": "Internal error"},
              ["update_bandwidth: 14 bytes retrieved", "bandwidth Internal error"]),
    "slow": ({"delay": 0.6, "reply": "fine, ACCEPTED"},
             ["update_bandwidth: 14 bytes retrieved", "bandwidth fine, ACCEPTED",
              "update_accepted 1"]),
    "drop": ({"drop": True, "reply": "REFUSED" * 64}, []),
    # Cut short after the marker: the server accepted, and so does the router.
    "cut": ({"drop": True, "reply": "ACCEPTED" * 64},
            ["update_bandwidth: 256 bytes retrieved", "bandwidth " + "ACCEPTED" * 32,
             "update_accepted 1"]),
}
DROP_ERROR = CUT_REPLY
ERROR_EXPLAINED = "The server answered 500: Internal error"
ACCEPTING = ("accept", "slow", "cut")


def test_reports_every_byte_once(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure()
    rng = random.Random(20261208)
    plan = list(BEHAVIOURS) * 2 + [rng.choice(list(BEHAVIOURS)) for _ in range(12)]
    rng.shuffle(plan)
    sb.set_plan({"requests": [BEHAVIOURS[k][0] for k in plan], "default": {"reply": "REFUSED"}})

    ledger = Ledger()
    bounds = []
    expected_out = ["Acs bandwidth Started not daemonized.", "Acs Timeout value: 600 using 1",
                    "Module interface: eth1 (network.module.ifname)",
                    "Counting afresh: no state saved in this boot"]
    sb.push_traffic("eth1", rng.randint(1, 30), rng.randint(60, 1400))
    before = sb.counters("eth1")
    service = start(sb)
    expected_err, explained = [], False
    for k, kind in enumerate(plan):
        # A failed upload says so every time; an error page is explained once until a report
        # is accepted.
        if kind == "drop":
            expected_err.append(DROP_ERROR)
        elif kind == "error" and not explained:
            expected_err.append(ERROR_EXPLAINED)
        explained = (explained or kind == "error") and kind not in ACCEPTING
        outcome = BEHAVIOURS[kind][1]
        done = service.wait_for(
            lambda out, err: len(cycles(out)) > k and figures_of(cycles(out)[k])
            and len(cycles(out)[k]) >= 7 + len(outcome)
            and len(err) >= len(expected_err) and cycles(out)[k])
        after = sb.counters("eth1")
        tx, rx = figures_of(done)
        bounds.append((before, (tx, rx), after))
        lines, _, _ = ledger.report_lines(tx, rx)
        expected_out += lines + outcome
        if kind in ACCEPTING:
            ledger.accept(tx, rx)
        # The next cycle's traffic, and its lower bound, while the service sleeps.
        sb.push_traffic("eth1", rng.randint(0, 30), rng.randint(60, 1400))
        before = sb.counters("eth1")
    service.stop()

    # The console, line for line, and the failures on standard error.
    assert service.out[:len(expected_out)] == expected_out
    assert service.err == expected_err

    # Every figure lies between the kernel's counters just before and just after its cycle.
    for (tx0, rx0), (tx, rx), (tx1, rx1) in bounds:
        assert tx0 <= tx <= tx1 and rx0 <= rx <= rx1

    # What the server received: one request a cycle, each exactly as the console showed it.
    requests = sb.requests()[:len(plan)]
    bodies = [line.split(": ", 1)[1] for line in service.out if line.startswith("Bandwidth Command")]
    assert len(requests) == len(plan)
    for request, body in zip(requests, bodies):
        assert request["method"] == "POST"
        assert request["path"] == "/bandwidth.php"
        assert request["port"] == 8090
        assert request["headers"]["Host"] == "acme.%s:8090" % DOMAIN
        assert request["headers"]["User-Agent"] == "oxel-agent/1.0"
        assert request["headers"]["Content-Type"] == "application/x-www-form-urlencoded"
        assert request["body"] == body

    # Nothing lost, nothing counted twice: the accepted reports add up to the last accepted
    # cycle's counters, since the baselines started at zero.
    accepted = [i for i, kind in enumerate(plan) if kind in ACCEPTING]
    fields = [dict(p.split("=") for p in requests[i]["body"].split("&")) for i in accepted]
    last_tx, last_rx = bounds[accepted[-1]][1]
    assert sum(int(f["bw_up"]) for f in fields) == last_tx
    assert sum(int(f["bw_dn"]) for f in fields) == last_rx
    assert all(int(f["bw_tot"]) == int(f["bw_up"]) + int(f["bw_dn"]) for f in fields)

    # The system log: two notices a cycle, under the console-mode ident and facility.
    log = sb.syslog_lines()
    figures = [line.split(": ", 1)[1] for line in service.out if line.startswith("Bandwidth Calc:")]
    expected_log = ["Module interface: eth1 (network.module.ifname)",
                    "Counting afresh: no state saved in this boot"]
    for line in figures:
        expected_log += ["Acs Running Bandwidth Monitor.", line]
    messages = [entry["message"] for entry in log]
    if WRAP:
        # Under qemu-user one heartbeat datagram went missing once in CI, and never again in
        # thirty runs since; under emulation the figures lines must all be there, in order.
        heartbeat = "Acs Running Bandwidth Monitor."
        expected_log = [m for m in expected_log if m != heartbeat]
        messages = [m for m in messages if m != heartbeat]
    assert messages[:len(expected_log)] == expected_log
    assert {(e["ident"], e["facility"], e["priority"]) for e in log} == {("tolvu", "user", "notice")}
