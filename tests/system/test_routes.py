"""The routing table and the configuration move under the running service."""


from conftest import Ledger, cycles, figures_of, start, wait_until


def cycle_lines(out, index):
    """The index-th cycle's lines, without a deleted interface's last counters (said when the
    kernel tells them: between cycles, or as one begins)."""
    found = cycles(out)
    return [line for line in found[index] if " is gone: " not in line] if len(found) > index else []


def wait_cycle(service, index, outcome_lines):
    return service.wait_for(lambda out, err: len(cycle_lines(out, index)) >= outcome_lines
                            and cycle_lines(out, index))


def test_follows_the_default_route(sandbox):
    sb = sandbox
    for name in ("eth1", "eth0.2", "wwan0", "usb0", "vpn_vpn0"):
        sb.add_link(name)
    sb.set_default_route("eth1", metric=10)
    sb.set_default_route("vpn_vpn0", metric=1, replace_all=False)
    sb.set_default_route("wwan0", metric=20, replace_all=False)
    sb.configure()
    sb.set_plan({"default": {"reply": "ACCEPTED"}})
    ledger = Ledger()
    sb.push_traffic("eth1", 20)
    service = start(sb)
    n = 0

    def report(expect_gateway="eth1", event=None, carried=None):
        nonlocal n
        cycle = wait_cycle(service, n, 10 + bool(event) + bool(carried))
        if event:
            # Said between the identity and the gateway, when the cycle's sample finds it.
            assert cycle.pop(2) == event, cycle
        if carried:
            assert cycle.pop(5) == "Bandwidth Carried: tx: %d rx: %d total: %d" % (
                carried + (sum(carried),))
        tx, rx = figures_of(cycle)
        ledger.gateway = expect_gateway
        lines, _, body = ledger.report_lines(tx, rx)
        if carried:
            body = "serial=%s&bw_tot=%d&bw_dn=%d&bw_up=%d" % (
                ledger.serial, tx + rx + sum(carried), rx + carried[1], tx + carried[0])
            lines[-1] = "Bandwidth Command: " + body
        assert cycle[-10:-3] == lines, cycle
        assert cycle[-1] == "update_accepted 1"
        ledger.accept(tx, rx)
        n += 1
        return tx, rx, body

    def skipped(gateway, gateways_seen=()):
        nonlocal n
        cycle = wait_cycle(service, n, 5 + len(gateways_seen))
        assert cycle == ["Serial is: %s" % ledger.serial, "Installer ID: acme"] + [
            "Gateways: %s" % g for g in gateways_seen] + [
            "Gateway: %s" % gateway, "Module Detected: 1", "skip reporting"]
        n += 1

    # The module's route wins over the others, whatever their metrics; vpn routes never count.
    report()
    assert "vpn_vpn0" in sb.route_table()

    # The wired WAN takes the route: skip, and the baselines stay.
    sb.clear_default_routes()
    sb.set_default_route("wwan0", metric=20)
    sb.set_default_route("eth0.2", metric=5, replace_all=False)
    skipped("eth0.2", ["wwan0"])
    sb.clear_default_routes()
    sb.set_default_route("usb0")
    skipped("usb0", ["usb0"])

    # The module gets it back: the report carries what its link carried since the last accepted
    # report, the failover included, and nothing before.
    before = (ledger.tx_baseline, ledger.rx_baseline)
    sb.push_traffic("eth1", 5)
    sb.set_default_route("eth1")
    tx, rx, body = report()
    assert body.endswith("&bw_dn=%d&bw_up=%d" % (rx - before[1], tx - before[0]))

    # The module interface is re-created while it carries the route, right after an accepted
    # report: its counters restart, and the next report carries the new counters and what the old
    # interface sent after the report's sample (the kernel tells its final counters as it
    # deletes it; a veth's receive side it does not tell).
    sb.push_traffic("eth1", 40)
    tx, rx, _ = report()
    service.wait_for(lambda out, err: len(cycles(out)) == n and out[-1] == "update_accepted 1")
    assert wait_until(sb.connections_closed, timeout=10)  # the report's closing segments
    final_tx = sb.counters("eth1")[0]
    sb.delete_link("eth1")
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    new_tx, new_rx, body = report(
        event="Carrying %d bytes up and 0 down not yet accepted from the interface before it was "
              "recreated" % (final_tx - tx), carried=(final_tx - tx, 0))
    assert new_tx < tx and new_rx < rx and final_tx > tx
    assert "eth1 is gone: its last counters are tx: %d rx: %d" % (final_tx, rx) in service.out

    # Identity changes take effect at the next cycle.
    sb.configure(serial="SN-0099")
    while True:
        cycle = wait_cycle(service, n, 10)
        if cycle[0] == "Serial is: SN-0099":
            break
        report()
    ledger.serial = "SN-0099"
    report()
    assert sb.requests()[-1]["body"].startswith("serial=SN-0099&")


def test_module_named_by_device_or_ifname(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure(module=None, device="eth1")  # OpenWrt 21.02 and later
    service = start(sb)
    service.wait_for(lambda out, err: "update_accepted 1" in out)

    def cycles_after(change, count):
        seen = len(cycles(service.out))
        change()
        service.run_cycles(count)
        return cycles(service.out)[seen + 1:seen + count]  # whole cycles under the new setting

    # ifname, set, wins over device; a device node is no interface; neither: said once.
    last = cycles_after(lambda: sb.configure(module="wwan0", device="eth1"), 3)
    assert all(c[-1] == "skip reporting" for c in last), last
    node = "The module interface is not configured: network.module.device '/dev/cdc-wdm0' is " \
           "not a network interface"
    last = cycles_after(lambda: sb.configure(module=None, device="/dev/cdc-wdm0"), 4)
    assert all(c[-1] == "skip reporting" for c in last), last
    neither = "The module interface is not configured: network.module has neither ifname nor device"
    cycles_after(lambda: sb.configure(module=None), 3)
    cycles_after(lambda: sb.configure(module=None, device="eth1"), 3)
    service.stop()
    assert service.out.count(node) == 1 and service.out.count(neither) == 1
    logged = [e["message"] for e in sb.syslog_lines()]
    assert logged.count(node) == 1 and logged.count(neither) == 1
    assert "update_accepted 1" in cycles(service.out)[-2]
