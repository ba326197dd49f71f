"""Billed exactly once at the edges routers hit every day: a modem that appears only after the
service started at boot, a modem reset with bytes after the last sample, a stop that lands right
after the server accepted, and a stop while the name server never answers."""

from conftest import start, wait_until
from test_accounting import accepted_reports, carrying, settle

ACCEPT = {"reply": "ACCEPTED"}
REFUSE = {"reply": "REFUSED"}


def billed(sb):
    """What the reference server billed, up and down."""
    entries = [r["billed"] for r in sb.requests() if r["billed"]]
    return sum(b["up"] for b in entries), sum(b["dn"] for b in entries)


def test_a_modem_that_appears_late_at_boot(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure()
    sb.set_plan({"default": REFUSE})
    sb.push_traffic("eth1", 30, 1100)
    service = start(sb)
    service.wait_for(lambda out, err: "bandwidth REFUSED" in out)
    assert service.terminate() == 0
    kept = sb.pending()
    lost_boot = (int(kept["tx_pending"]), int(kept["rx_pending"]))

    # The router reboots and the modem is still enumerating: the service starts without it,
    # takes the flash into its books, and is restarted (a configuration push) before the modem
    # is there. Nothing of the earlier boot may be dropped, nor taken twice.
    sb.reboot()
    sb.delete_link("eth1")
    for _ in range(2):
        service = start(sb)
        service.run_cycles(2)
        assert service.terminate() == 0
    status = start(sb, "--status")
    assert status.wait() == 3
    assert status.out[-1].startswith("Last cycle: ") and "none yet" not in status.out[-1]

    # The modem appears: its first accepted report carries the earlier boot's traffic and all of
    # this boot's, once.
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.push_traffic("eth1", 12, 600)
    sb.set_plan({"default": ACCEPT})
    service.wait()
    service = start(sb)
    settle(sb, service, 1)
    tx, rx, up, dn = accepted_reports(service.out)[0]
    assert (up, dn) == (lost_boot[0] + tx, lost_boot[1] + rx)
    assert billed(sb) == (up, dn)
    assert wait_until(lambda: sb.pending() is None, timeout=5)
    print("carried over the late modem's boot: tx %d rx %d" % lost_boot)


def test_a_modem_reset_loses_nothing(sandbox):
    sb = sandbox
    sb.add_link("eth1", macvlan=True)  # the kernel tells both of a macvlan's final counters
    sb.set_default_route("eth1")
    sb.configure(interval=600)  # cycles only when asked for
    service = start(sb)
    sb.push_traffic("eth1", 10, 800)
    service.cycle_now(sb.state_file())
    # The start's cycle and the one asked for: the state file changes at the end of each, and the
    # first may still have been running when the second was asked for.
    sampled = service.wait_for(lambda out, err: accepted_reports(out)[1:])[-1][:2]

    # Traffic after the last sample, then the modem resets: the interface goes, and comes back
    # with another index and counters from 0.
    sb.push_traffic("eth1", 25, 1300)
    sb.delete_link("eth1")
    gone = sb.far_end_counters("eth1")  # the old interface's whole life, as its far end saw it
    sb.add_link("eth1", macvlan=True)
    sb.set_default_route("eth1")
    sb.push_traffic("eth1", 9, 400)
    service.wait_for(lambda out, err: any(" is gone: " in line for line in out))
    service.cycle_now(sb.state_file())
    reports = service.wait_for(lambda out, err: accepted_reports(out)[2:] and accepted_reports(out))
    tx, rx = reports[-1][:2]
    assert (sum(r[2] for r in reports), sum(r[3] for r in reports)) == (gone[0] + tx, gone[1] + rx)
    assert carrying(service.out) == [(gone[0] - sampled[0], gone[1] - sampled[1])]
    assert billed(sb) == (gone[0] + tx, gone[1] + rx)
    print("a modem reset: the old interface's final counters tx %d rx %d, all billed" % gone)


def test_a_stop_after_the_verdict_or_during_a_lookup(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure()
    reports = []

    def stopped(service, what):
        assert service.terminate() == 0, what
        reports.extend(accepted_reports(service.out))
        return service.stopped_in

    # The server accepts and holds the connection open: the stop comes after its verdict.
    sb.set_plan({"requests": [ACCEPT, {"reply": "ACCEPTED", "linger": 30}], "default": ACCEPT})
    sb.push_traffic("eth1", 20, 900)
    service = start(sb)
    service.wait_for(lambda out, err: len(sb.requests()) >= 2 and "bandwidth ACCEPTED" in out)
    assert wait_until(sb.replies_read, timeout=20)  # the verdict is the service's, not yet its end
    after_verdict = stopped(service, "after the verdict")
    # The service closed its end while the server still held the connection open: it never
    # waited for the server to end it.
    assert sb.server_connections("close-wait") == 1
    # Accepted, and the stop saved it so: what it keeps is only what the report itself sent.
    assert service.out[-2:] == ["update_accepted 1", "Stopping with %s bytes up and %s down not "
                                "yet accepted, kept in /etc/tolvu/pending" % (
                                    sb.pending()["tx_pending"], sb.pending()["rx_pending"])]
    assert len(reports) == 2

    # The name server never answers: the stop ends the lookup, and keeps the traffic on flash.
    sb.silent_dns()
    sb.set_hosts(resolvable=False)
    sb.push_traffic("eth1", 15, 700)
    service = start(sb)
    service.wait_for(lambda out, err: any(line.startswith("Bandwidth Command") for line in out))
    assert wait_until(sb.dns_query_waiting, timeout=20)  # the lookup is under way
    during_lookup = stopped(service, "during the lookup")
    # Nothing said of a lookup that failed, nothing sent: the stop ended the lookup.
    assert service.out[-1].endswith("not yet accepted, kept in /etc/tolvu/pending"), service.out[-3:]
    assert service.err == [] and len(sb.requests()) == 2

    # Back to normal: billed once, by the router and by the server alike.
    sb.set_hosts(resolvable=True)
    service = start(sb)
    settle(sb, service, 1)
    stopped(service, "at the end")
    last_tx, last_rx = reports[-1][:2]
    assert (sum(r[2] for r in reports), sum(r[3] for r in reports)) == (last_tx, last_rx)
    assert billed(sb) == (last_tx, last_rx)
    print("stopped in %.2f s after the verdict, %.2f s during a lookup" % (after_verdict,
                                                                            during_lookup))
