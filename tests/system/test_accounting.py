"""The accounting outlives the process: every byte billed once across restarts, failovers, modem
resets, reboots and power cuts; what is not yet accepted kept on flash only when it must be; and
files in /tmp and on flash that nobody can turn against the service."""

import os
import re
import stat
import time
import urllib.parse

from conftest import FlashWatch, cycles, figures_of, start, wait_until

ACCEPT = {"reply": "ACCEPTED"}
BOOT = "0badc0de-0000-4000-8000-000000000002"


def body_fields(line):
    return {k: int(v) for k, v in urllib.parse.parse_qsl(line.split(": ", 1)[1])
            if k not in ("serial", "epoch", "iccid")}


def accepted_reports(out):
    """(tx, rx, bw_up, bw_dn) of every cycle in out whose report was accepted."""
    result = []
    for cycle in cycles(out):
        if "update_accepted 1" in cycle:
            tx, rx = figures_of(cycle)
            command = next(line for line in cycle if line.startswith("Bandwidth Command: "))
            fields = body_fields(command)
            result.append((tx, rx, fields["bw_up"], fields["bw_dn"]))
    return result


def settle(sb, service, accepted):
    """Waits until the service has saved the state of its accepted-th accepted report."""
    service.wait_for(lambda out, err: len(accepted_reports(out)) >= accepted, timeout=30)
    tx = accepted_reports(service.out)[accepted - 1][0]
    assert wait_until(lambda: (sb.state() or {}).get("tx_baseline") == str(tx), timeout=5)


def test_every_byte_billed_once_across_restarts_and_failover(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.add_link("eth0.2")
    sb.set_default_route("eth1")
    sb.configure()
    refuse, error, drop = {"reply": "REFUSED"}, {"status": 500, "reply": "no"}, {
        "drop": True, "reply": "ACCEPTED" * 64}
    sb.set_plan({"requests": [ACCEPT, refuse, ACCEPT, drop, error, ACCEPT, refuse, ACCEPT, drop],
                 "default": ACCEPT})
    sb.push_traffic("eth1", 20)  # before the first start: traffic since the boot counts

    reports = []
    for k, stop in enumerate(("SIGTERM", "SIGKILL", "SIGTERM")):
        service = start(sb)
        sb.push_traffic("eth1", 10 + k, 700)
        settle(sb, service, 1)
        if k == 1:
            # The wired WAN holds the route for two cycles while the module's link carries on.
            sb.set_default_route("eth0.2")
            sb.push_traffic("eth1", 15, 900)
            service.wait_for(lambda out, err: out.count("skip reporting") >= 2)
            sb.push_traffic("eth1", 5, 900)
            sb.set_default_route("eth1")
        sb.push_traffic("eth1", 8, 1200)
        settle(sb, service, 2)
        service.terminate() if stop == "SIGTERM" else service.stop()
        reports += accepted_reports(service.out)
        sb.push_traffic("eth1", 12, 400)  # while nothing runs

    # Conservation: what the server accepted adds up to the counters of the last accepted report,
    # to the byte, and no process re-sent what an earlier one had billed. A reply cut short after
    # the marker is the server's acceptance too.
    last_tx, last_rx = reports[-1][:2]
    assert sum(r[2] for r in reports) == last_tx
    assert sum(r[3] for r in reports) == last_rx
    billed = [r["billed"] for r in sb.requests() if r["billed"]]
    assert len(billed) == len(reports)
    assert (sum(b["up"] for b in billed), sum(b["dn"] for b in billed)) == (last_tx, last_rx)
    print("accepted reports (tx, rx, bw_up, bw_dn):", reports)


def carrying(out):
    """(tx, rx) of every "Carrying ..." line in out."""
    return [tuple(int(n) for n in m.groups()) for m in (
        re.match(r"Carrying (\d+) bytes up and (\d+) down not yet accepted from ", line)
        for line in out) if m]


def test_start_says_how_counting_goes_on(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure()
    sb.push_traffic("eth1", 10)

    def run(*expect_lines):
        """One process to its first accepted report: its start-up lines, and that report and the
        books it started from."""
        service = start(sb)
        settle(sb, service, 1)
        service.terminate()
        assert service.out[3:3 + len(expect_lines)] == list(expect_lines), service.out[:6]
        return accepted_reports(service.out)[0], carrying(service.out)

    (tx, rx, _, _), _ = run("Counting afresh: no state saved in this boot")
    sb.push_traffic("eth1", 10)
    state = sb.state()
    accepted_at = time.localtime(int(state["last_accepted"]))
    (tx2, rx2, up, dn), _ = run("Resuming from the report accepted at "
                                + time.strftime("%Y-%m-%d %H:%M:%S", accepted_at))
    assert (up, dn) == (tx2 - int(state["tx_baseline"]), rx2 - int(state["rx_baseline"]))

    # The interface re-created, its new counters already past the old ones: the old interface's
    # traffic not yet accepted (sampled at the stop) is carried, and the new counters count whole.
    state = sb.state()
    sb.delete_link("eth1")
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.push_traffic("eth1", 80, 1400)
    assert sb.counters("eth1")[0] > tx2
    pending = (int(state["tx_last"]) - int(state["tx_baseline"]),
               int(state["rx_last"]) - int(state["rx_baseline"]))
    (tx3, rx3, up, dn), carried = run(
        "Carrying %d bytes up and %d down not yet accepted from the interface before it was "
        "recreated" % pending)
    assert (up, dn) == (tx3 + pending[0], rx3 + pending[1])

    # Another boot with /tmp kept: the books' traffic not yet accepted is carried.
    sb.set_boot_id("0badc0de-0000-4000-8000-000000000001")
    (tx4, rx4, up, dn), carried = run()
    assert carried and (up, dn) == (tx4 + carried[0][0], rx4 + carried[0][1])
    assert any(e["message"].endswith("from before the router restarted")
               for e in sb.syslog_lines())

    # Another module interface: eth1's pending traffic is carried, and wwan0 counts from its
    # counters at the switch (what it carried before was not the module's).
    sb.add_link("wwan0")
    sb.set_default_route("wwan0")
    sb.push_traffic("wwan0", 30)
    sb.configure(module="wwan0")
    before = sb.counters("wwan0")
    (tx5, rx5, up, dn), carried = run()
    assert any(e["message"].endswith("from eth1, the module interface before wwan0")
               for e in sb.syslog_lines())
    assert (up, dn) == (carried[0][0] + tx5 - before[0], carried[0][1] + rx5 - before[1])


def test_nothing_lost_across_modem_reset_reboot_and_power_cut(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.add_link("eth0.2")
    sb.set_default_route("eth1")
    sb.configure()
    refuse = {"reply": "REFUSED"}
    flash = FlashWatch(sb.flash_dir())
    ended = []     # (tx, rx): each set of counters that went away, at its last sample
    accepted = []  # every accepted report of every process: (tx, rx, bw_up, bw_dn)

    def conserved(what):
        """Every byte sampled was billed once: the accepted reports add up to the counters that
        went away, at their last samples, and the current ones at the last accepted report."""
        tx, rx = sum(e[0] for e in ended), sum(e[1] for e in ended)
        up, dn = sum(a[2] for a in accepted), sum(a[3] for a in accepted)
        print("%s: accepted up %d dn %d; sampled tx %d rx %d" % (
            what, up, dn, tx + accepted[-1][0], rx + accepted[-1][1]))
        assert (up, dn) == (tx + accepted[-1][0], rx + accepted[-1][1]), what

    # 1. A modem reset with refused reports pending. The link drops the route, the service samples
    #    it in a skipped cycle, and the interface is re-created: new index, counters from 0.
    sb.push_traffic("eth1", 30)
    service = start(sb)
    settle(sb, service, 1)
    sb.set_plan({"default": refuse})
    sb.push_traffic("eth1", 40, 1200)
    service.wait_for(lambda out, err: out.count("bandwidth REFUSED") >= 3)
    sb.set_default_route("eth0.2")
    skips = service.out.count("skip reporting")
    service.wait_for(lambda out, err: out.count("skip reporting") >= skips + 2)
    ended.append(sb.counters("eth1"))
    sb.delete_link("eth1")
    sb.add_link("eth1")
    sb.push_traffic("eth1", 20, 900)
    service.wait_for(lambda out, err: carrying(out))
    base = accepted_reports(service.out)[-1]
    assert carrying(service.out) == [(ended[0][0] - base[0], ended[0][1] - base[1])]
    status = start(sb, "--status")
    assert status.wait() == 0
    assert status.out[4].startswith("  of which carried over from the interface before it was "
                                    "recreated: tx %d rx %d total" % carrying(service.out)[0])
    # ... then a restart, and the module carries the route again.
    assert service.terminate() == 0
    accepted += accepted_reports(service.out)
    sb.set_plan({"default": ACCEPT})
    sb.set_default_route("eth1")
    service = start(sb)
    settle(sb, service, 1)
    accepted += accepted_reports(service.out)[:1]
    conserved("modem reset")
    # The stop kept the pending traffic on flash; the accepted report removed it.
    assert wait_until(lambda: flash.removals() == 1, timeout=5) and flash.writes() == 1

    # 2. A clean reboot while reports wait: SIGTERM in the middle of an upload (the server holds
    #    its answer), /tmp emptied, a new boot id, the link re-created; /etc/tolvu stays.
    sb.set_plan({"default": {"delay": 5, "reply": "ACCEPTED"}})
    sb.push_traffic("eth1", 25, 1300)
    seen = len(sb.requests())
    assert wait_until(lambda: len(sb.requests()) > seen, timeout=10)
    assert service.terminate() == 0
    # The stop did not wait for the held answer: the cycle it cut short sent and heard nothing.
    cut = cycles(service.out)[-1]
    assert "update_accepted 1" not in cut and any(l.startswith("Bandwidth Command: ") for l in cut)
    accepted += accepted_reports(service.out)[1:]
    kept = sb.pending()
    ended.append((accepted[-1][0] + int(kept["tx_pending"]), accepted[-1][1] + int(kept["rx_pending"])))
    assert service.out[-1] == ("Stopping with %s bytes up and %s down not yet accepted, kept in "
                               "/etc/tolvu/pending" % (kept["tx_pending"], kept["rx_pending"]))
    sb.reboot("eth1")
    sb.set_default_route("eth1")
    sb.set_plan({"default": refuse})
    sb.push_traffic("eth1", 15, 500)
    service = start(sb)
    service.wait_for(lambda out, err: "bandwidth REFUSED" in out)
    assert service.out[3:5] == [
        "Counting afresh: no state saved in this boot",
        "Carrying %s bytes up and %s down not yet accepted from an earlier boot (kept in "
        "/etc/tolvu/pending)" % (kept["tx_pending"], kept["rx_pending"])]
    # ... and a restart in the new boot, before anything is accepted: nothing taken twice.
    assert service.terminate() == 0
    sb.set_plan({"default": ACCEPT})
    service = start(sb)
    settle(sb, service, 1)
    assert not carrying(service.out), service.out[:5]
    accepted += accepted_reports(service.out)[:1]
    conserved("reboot")
    assert wait_until(lambda: sb.pending() is None, timeout=5)

    # 3. A power cut after the carry was accepted: nothing comes back.
    settle(sb, service, 2)
    service.stop()  # SIGKILL
    accepted += accepted_reports(service.out)[1:]
    ended.append(accepted[-1][:2])  # its own report's bytes after that sample are lost
    sb.reboot("eth1")
    sb.set_default_route("eth1")
    sb.push_traffic("eth1", 10)
    service = start(sb)
    settle(sb, service, 1)
    assert service.out[3] == "Counting afresh: no state saved in this boot"
    assert not carrying(service.out)
    accepted += accepted_reports(service.out)[:1]
    conserved("power cut")
    service.terminate()
    print("flash writes %d, removals %d" % (flash.writes(), flash.removals()))
    assert flash.writes() == 4  # one at each SIGTERM, never during accepted reports


def test_flash_is_written_only_when_something_must_be_kept(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure(persist_interval=3)
    flash = FlashWatch(sb.flash_dir())
    service = start(sb)
    service.wait_for(lambda out, err: out.count("update_accepted 1") >= 6)
    assert flash.writes() == 0

    # An outage: refused for a while, flash written once persist_interval has passed, then at
    # most once an interval while the pending traffic grows.
    sb.set_plan({"default": {"reply": "REFUSED"}})
    refused = service.out.count("bandwidth REFUSED")
    service.wait_for(lambda out, err: out.count("bandwidth REFUSED") >= refused + 10, timeout=40)
    outage = sb.requests()[-1]["time"] - sb.requests()[-10]["time"]
    writes = flash.writes()
    assert 1 <= writes <= outage // 3 + 1, (writes, outage)
    assert sb.pending() and int(sb.pending()["tx_pending"]) > 0
    sb.set_plan({"default": {"reply": "ACCEPTED"}})
    service.wait_for(lambda out, err: out[-1] == "update_accepted 1")
    assert wait_until(lambda: sb.pending() is None, timeout=5)
    service.stop()
    print("flash writes: 0 in 6 accepted reports; %d in %.0f s of refused ones" % (writes, outage))


def test_hostile_and_broken_files_in_tmp_and_on_flash(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure()
    tmp = os.path.join(sb.dir, "tmp")
    state, lock = sb.state_file(), sb.lock_file()
    pending = os.path.join(sb.flash_dir(), "pending")
    victim = os.path.join(tmp, "victim")
    good = {state: "version=1\nboot_id=%s\ninterface=eth1\nifindex=2\ntx_baseline=%s\n"
                   "rx_baseline=1\n",
            # Another boot's, so that a good one would be taken into the carry.
            pending: "version=1\nboot_id=%s\ntx_pending=%s\nrx_pending=1\nwritten=1\n"}

    def plant_file(path, text, mode=0o644, owner=0):
        with open(path, "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode())
        os.chmod(path, mode)
        os.chown(path, owner, owner)

    cases = {
        "is a symbolic link": lambda p: os.symlink(victim, p),
        "is not a regular file": lambda p: os.mkfifo(p),  # a FIFO must not hang the start
        "is over 4 KiB": lambda p: plant_file(p, os.urandom(200 * 1024)),
        "belongs to another user": lambda p: plant_file(p, good[p] % (BOOT, 1), owner=65534),
        "is writable by group or others": lambda p: plant_file(p, good[p] % (BOOT, 1), 0o666),
        "holds a value out of range": lambda p: plant_file(p, good[p] % (BOOT, 2 ** 64)),
        "is cut short": lambda p: plant_file(p, (good[p] % (BOOT, 10 ** 6))[:-20]),
    }
    for problem, plant in cases.items():
        plant_file(victim, "precious\n")
        plant(state)
        plant(pending)
        service = start(sb)
        # The first cycle replaces whatever was planted with a regular file of its own.
        assert wait_until(lambda: stat.S_ISREG(os.lstat(state).st_mode)
                          and (sb.state() or {}).get("last_outcome") == "accepted", timeout=10), problem
        service.stop()
        # One line for each, and nothing taken from either: no traffic is ever invented.
        assert service.err == ["Ignoring the saved state /tmp/tolvu.state: it %s" % problem,
                               "Ignoring the pending traffic in /etc/tolvu/pending: it %s" % problem]
        assert "Counting afresh: the saved state was ignored" in service.out
        assert not any(line.startswith("Carrying") for line in service.out), service.out[:5]
        assert open(victim).read() == "precious\n"
        os.unlink(state)
        os.unlink(pending)

    # Temporary files a save cut short by SIGKILL left behind go at the next start; one that is
    # not the service's own stays.
    for name, owner in (("tolvu.state.Ab12Cd", 0), ("tolvu.state.Zz99Yy", 65534)):
        plant_file(os.path.join(tmp, name), "version=2\n", owner=owner)
    plant_file(os.path.join(sb.flash_dir(), "pending.Ab12Cd"), "version=1\n")
    service = start(sb)
    service.wait_for(lambda out, err: "update_accepted 1" in out)
    service.stop()
    left = os.listdir(tmp) + os.listdir(sb.flash_dir())
    assert "tolvu.state.Ab12Cd" not in left and "pending.Ab12Cd" not in left
    assert "tolvu.state.Zz99Yy" in left
    os.unlink(state)

    # A state path taken by a directory: one clear line, and the service reports all the same.
    os.mkdir(state)
    service = start(sb)
    service.wait_for(lambda out, err: out.count("update_accepted 1") >= 2)
    service.stop()
    assert service.err == ["Ignoring the saved state /tmp/tolvu.state: it is not a regular file",
                           "Cannot save the state in /tmp/tolvu.state: Is a directory; a restart "
                           "now would count afresh"]
    os.rmdir(state)

    # A lock file that is not the service's own stops the start, and is left as it is.
    for problem, plant in (("is a symbolic link", lambda p: os.symlink(victim, p)),
                           ("belongs to another user",
                            lambda p: plant_file(p, "", owner=65534))):
        os.unlink(lock)
        plant(lock)
        service = start(sb)
        assert service.wait() == 1
        assert service.err == ["Cannot use the lock file /tmp/tolvu.lock: it %s. Not starting; "
                               "remove it if it is not yours to keep." % problem]
        assert open(victim).read() == "precious\n" and os.path.lexists(lock)
