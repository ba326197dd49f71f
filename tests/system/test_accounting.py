"""The accounting outlives the process: every byte billed once across restarts and failovers,
counting afresh only where the counters are not the same ones, and files in /tmp that nobody
can turn against the service."""

import os
import stat
import urllib.parse

from conftest import cycles, figures_of, start, wait_until

ACCEPT = {"reply": "ACCEPTED"}
BOOT = "0badc0de-0000-4000-8000-000000000002"


def body_fields(line):
    return {k: int(v) for k, v in urllib.parse.parse_qsl(line.split(": ", 1)[1]) if k != "serial"}


def accepted_reports(out):
    """(tx, rx, bw_up, bw_dn) of every cycle in out whose report was accepted."""
    result = []
    for cycle in cycles(out):
        if cycle[-1] == "update_accepted 1":
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
    # to the byte, and no process re-sent what an earlier one had billed.
    last_tx, last_rx = reports[-1][:2]
    assert sum(r[2] for r in reports) == last_tx
    assert sum(r[3] for r in reports) == last_rx
    accepted = [r for r in sb.requests() if r["behaviour"] == ACCEPT]
    assert len(accepted) == len(reports)
    print("accepted reports (tx, rx, bw_up, bw_dn):", reports)


def test_counts_afresh_where_it_must(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure()
    sb.push_traffic("eth1", 10)

    def run(expect_line):
        """One process to its first accepted report: its start-up line and the report's figures."""
        service = start(sb)
        settle(sb, service, 1)
        service.terminate()
        assert service.out[2] == expect_line or service.out[2].startswith(expect_line), service.out
        return accepted_reports(service.out)[0]

    tx, rx, _, _ = run("Counting afresh: no state saved in this boot")
    sb.push_traffic("eth1", 10)
    tx2, rx2, up, dn = run("Resuming from the report accepted at 20")
    assert (up, dn) == (tx2 - tx, rx2 - rx)

    # The interface re-created, its new counters already past the old baselines: all of them count.
    sb.delete_link("eth1")
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.push_traffic("eth1", 80, 1400)
    assert sb.counters("eth1")[0] > tx2
    tx3, rx3, up, dn = run("Counting afresh: the interface was recreated")
    assert (up, dn) == (tx3, rx3)

    # Another boot, and another module interface.
    sb.set_boot_id("0badc0de-0000-4000-8000-000000000001")
    tx4, rx4, up, dn = run("Counting afresh: the router has restarted")
    assert (up, dn) == (tx4, rx4)
    sb.add_link("wwan0")
    sb.set_default_route("wwan0")
    sb.configure(module="wwan0")
    tx5, rx5, up, dn = run("Counting afresh: the module interface has changed")
    assert (up, dn) == (tx5, rx5)


def test_hostile_and_broken_files_in_tmp(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure()
    tmp = os.path.join(sb.dir, "tmp")
    state, lock = sb.state_file(), sb.lock_file()
    victim = os.path.join(tmp, "victim")
    good = "version=1\nboot_id=%s\ninterface=eth1\nifindex=2\ntx_baseline=%s\nrx_baseline=1\n"

    def plant_file(path, text, mode=0o644, owner=0):
        with open(path, "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode())
        os.chmod(path, mode)
        os.chown(path, owner, owner)

    cases = {
        "is a symbolic link": lambda p: os.symlink(victim, p),
        "is not a regular file": lambda p: os.mkfifo(p),  # a FIFO must not hang the start
        "is over 4 KiB": lambda p: plant_file(p, os.urandom(200 * 1024)),
        "belongs to another user": lambda p: plant_file(p, good % (BOOT, 1), owner=65534),
        "is writable by group or others": lambda p: plant_file(p, good % (BOOT, 1), 0o666),
        "holds a value out of range": lambda p: plant_file(p, good % (BOOT, 2 ** 64)),
        "is cut short": lambda p: plant_file(p, (good % (BOOT, 10 ** 6))[:-20]),
    }
    for problem, plant in cases.items():
        plant_file(victim, "precious\n")
        plant(state)
        service = start(sb)
        # The first cycle replaces whatever was planted with a regular file of its own.
        assert wait_until(lambda: stat.S_ISREG(os.lstat(state).st_mode)
                          and (sb.state() or {}).get("last_outcome") == "accepted", timeout=10), problem
        service.stop()
        assert service.err == ["Ignoring the saved state /tmp/tolvu.state: it %s" % problem]
        assert "Counting afresh: the saved state was ignored" in service.out
        assert open(victim).read() == "precious\n"
        os.unlink(state)

    # A state path taken by a directory: one clear line, and the service reports all the same.
    os.mkdir(state)
    service = start(sb)
    service.wait_for(lambda out, err: out.count("update_accepted 1") >= 2)
    service.stop()
    assert service.err == ["Ignoring the saved state /tmp/tolvu.state: it is not a regular file",
                           "Cannot save the state in /tmp/tolvu.state: Is a directory"]
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
