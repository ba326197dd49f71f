"""Bad input from every side: clear messages, no crash, and no traffic lost."""

import os
import urllib.parse

from conftest import cycles, figures_of, start

SEND_REFUSED = "Installer ID may hold only letters, digits, '-' and '.'; report not sent"


def next_cycle(service, index, predicate=lambda cycle: True, timeout=20):
    """Waits for the first complete cycle (the next one has begun) from index on that satisfies
    predicate."""
    def ready(out, err):
        done = cycles(out)[index:-1]
        for offset, cycle in enumerate(done):
            if predicate(cycle):
                return index + offset, cycle
        return None
    return service.wait_for(ready, timeout=timeout)


def test_bad_configuration_and_identity(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure(serial="A&bw_tot=0" + "9" * 200)
    sb.write_config("network", "config interface 'module'\n\toption ifname 'eth1\n")
    sb.push_traffic("eth1", 10)
    service = start(sb)

    # A file that does not parse: the lookup error, every cycle, and the module never matches.
    i, cycle = next_cycle(service, 0, lambda c: c[-1] == "skip reporting")
    assert service.err[0] == ("Uci: lookup error: Parse error (EOF with unterminated ') "
                              "at line 2, byte 21")

    # A missing package: the same, in libuci's words.
    os.unlink(os.path.join(sb.dir, "config", "network"))
    i, cycle = next_cycle(service, i + 1, lambda c: c[-1] == "skip reporting")
    service.wait_for(lambda out, err: "Uci: lookup error: Entry not found" in err)

    # Mended: a serial with "&" and "=", cut to 127 characters, arrives as one value.
    sb.configure(serial="A&bw_tot=0" + "9" * 200)
    i, _ = next_cycle(service, i + 1, lambda c: c[-1] == "update_accepted 1")

    # An installer ID that would redirect the report: not sent, and the traffic waits.
    sb.configure(serial="SN-1", installer="x@elsewhere.example/")
    i, _ = next_cycle(service, i + 1, lambda c: c[1] == "Installer ID: x@elsewhere.example/")
    sb.push_traffic("eth1", 25)
    sb.configure(serial="SN-1")
    i, _ = next_cycle(service, i + 1,
                      lambda c: c[1] == "Installer ID: acme" and c[-1] == "update_accepted 1")
    # Another module: once a whole cycle has skipped, none after it sends anything, and the stop
    # can cut short only such a cycle.
    sb.configure(serial="SN-1", module="wwan0")
    next_cycle(service, i + 1, lambda c: c[-1] == "skip reporting", timeout=60)
    service.stop()

    # Every cycle that reached the upload with a good ID sent exactly one request; a bad ID sent
    # none, said so, and left the baselines where they were.
    finished = cycles(service.out)
    all_cycles = [c for c in finished if any(l.startswith("Bandwidth Command") for l in c)]
    good = [c for c in all_cycles if c[1] == "Installer ID: acme"]
    bad = [c for c in all_cycles if c[1] != "Installer ID: acme"]
    # What each good cycle sent: its "Bandwidth Command" body, one request each, in order; one
    # that never reached the server (a timeout on a loaded emulator) said why.
    commands = [next(l for l in c if l.startswith("Bandwidth Command: "))[19:] for c in good]
    sent = [r["body"] for r in sb.requests()]
    rest = iter(commands)
    assert all(any(body == command for command in rest) for body in sent), (sent, commands)
    failed = sum(l.startswith("curl_easy_perform() failed: ") for l in service.err)
    assert len(commands) - failed <= len(sent) <= len(commands) and bad
    assert service.err.count(SEND_REFUSED) == len(bad)
    first = dict(urllib.parse.parse_qsl(commands[0]))
    assert first["serial"] == ("A&bw_tot=0" + "9" * 200)[:127]
    assert int(first["bw_up"]) == figures_of(good[0])[0]  # baselines were reset
    first_after = next(n for n, c in enumerate(all_cycles) if c in bad) + len(bad)
    last_before = [c for c in all_cycles[:first_after - len(bad)] if "update_accepted 1" in c][-1]
    resumed = all_cycles[first_after]
    (tx0, rx0), (tx, rx) = figures_of(last_before), figures_of(resumed)
    assert dict(urllib.parse.parse_qsl(commands[good.index(resumed)])) == {
        "serial": "SN-1", "bw_tot": str(tx + rx - tx0 - rx0), "bw_dn": str(rx - rx0),
        "bw_up": str(tx - tx0)}


def test_unreadable_routing_table(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure()
    service = start(sb, hide_route_table=True)
    service.wait_for(lambda out, err: len(cycles(out)) >= 3)
    for cycle in cycles(service.out)[:2]:
        assert cycle == ["Serial is: SN-0042", "Installer ID: acme", "ERR: file not opened",
                         "skip reporting"]
    assert sb.requests() == []
    assert service.popen.poll() is None
