"""Per-SIM books: with report_sim every report names the SIM that carried its traffic, and a SIM
swap or a dual-SIM switch closes the old SIM's books where the modem let go of it, so that each
SIM is billed exactly its own bytes, through refusals, lost replies and restarts."""

import json
import os
import urllib.parse

from conftest import ROOT, start, wait_until
from sandbox import sh
from test_accounting import accepted_reports

SIM_A = "89441000303031011234"
SIM_B = "8988211000000123456F"
ACCEPT = {"default": {"reply": "ACCEPTED"}}
REFUSE = {"default": {"reply": "REFUSED"}}
LOSE_A_THIRD = {"default": {"reply": "ACCEPTED", "lose": 0.33}, "seed": 7}
TOOLS = os.path.join(ROOT, "tools", "sim_tools")


def fields(body):
    return dict(urllib.parse.parse_qsl(body, keep_blank_values=True))


def billed_by_sim(requests):
    """{iccid: [up, down]} of what the server billed, and the epochs each SIM's reports had."""
    billed, epochs = {}, {}
    for r in requests:
        f = fields(r["body"])
        sim = f.get("iccid", "")
        epochs.setdefault(sim, []).append(f.get("epoch"))
        if r["billed"]:
            b = billed.setdefault(sim, [0, 0])
            b[0] += r["billed"]["up"]
            b[1] += r["billed"]["dn"]
    return billed, epochs


def set_sim(sb, iccid):
    sb.write_config("sim", iccid + "\n")


def link(sb, name, state):
    sh("ip", "link", "set", name, state, ns=sb.router)


def minus(a, b):
    return [a[0] - b[0], a[1] - b[1]]


def test_a_dual_sim_switch_bills_each_stretch_to_its_sim(sandbox):
    """A -> B -> A through a vendor's sim_command, each switch a modem re-registering (its link down
    and up): three stretches, billed to A, B and A exactly, each on a line of reports of its own,
    and the old SIM's last report always before the new one's first."""
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    set_sim(sb, SIM_A)
    sb.configure(interval=600, report_id="1", report_sim="1", sim_command="cat /etc/config/sim")
    sb.set_plan(ACCEPT)
    service = start(sb)
    downs = []
    for sim in (SIM_A, SIM_B, SIM_A):
        if downs or sim != SIM_A:
            link(sb, "eth1", "down")
            downs.append(sb.counters("eth1"))
            set_sim(sb, sim)
            link(sb, "eth1", "up")
            sb.set_default_route("eth1")
        for _ in range(2):
            sb.push_traffic("eth1", 5, 700)
            service.cycle_now(sb.state_file())
    assert service.terminate() == 0
    last = accepted_reports(service.out)[-1][:2]
    stretches = [downs[0], minus(downs[1], downs[0]), minus(last, downs[1])]

    requests = sb.requests()
    billed, epochs = billed_by_sim(requests)
    assert billed == {SIM_A: [stretches[0][0] + stretches[2][0], stretches[0][1] + stretches[2][1]],
                      SIM_B: stretches[1]}, (billed, stretches)
    order = [fields(r["body"])["iccid"] for r in requests]
    assert [s for i, s in enumerate(order) if i == 0 or order[i - 1] != s] == [SIM_A, SIM_B, SIM_A]
    assert len(set(epochs[SIM_A])) == 2 and len(set(epochs[SIM_B])) == 1
    assert not set(epochs[SIM_A]) & set(epochs[SIM_B])
    # What A had not had accepted when the link went down is closed under A.
    closed = [l for l in service.out if " is in (sim_command): " in l]
    before = [r[:2] for r in accepted_reports(service.out) if r[0] <= downs[0][0]][-1]
    unaccepted = minus(downs[0], before)
    assert len(closed) == 2 and closed[0].endswith(
        "%d bytes up and %d down closed for SIM %s" % (unaccepted[0], unaccepted[1], SIM_A))


def test_a_swap_through_refusals_a_restart_and_lost_replies(sandbox):
    """The modem is re-created with another SIM (its final counters told as it goes) while the
    server refuses; the service restarts while both SIMs' traffic waits, --status shows it, and
    then a third of the replies are lost: each SIM is billed exactly what its counters carried."""
    sb = sandbox
    sb.add_link("eth1", macvlan=True)
    sb.set_default_route("eth1")
    set_sim(sb, SIM_A)
    sb.configure(interval=600, report_id="1", report_sim="1", sim_command="cat /etc/config/sim",
                 persist_interval=0)
    sb.set_plan(LOSE_A_THIRD)
    service = start(sb)
    for _ in range(4):
        sb.push_traffic("eth1", 5, 900)
        service.cycle_now(sb.state_file())
    sb.set_plan(REFUSE)
    sb.push_traffic("eth1", 5, 900)
    service.cycle_now(sb.state_file())
    sim_a = sb.counters("eth1")
    set_sim(sb, SIM_B)
    sb.delete_link("eth1")
    sb.add_link("eth1", macvlan=True)
    sb.set_default_route("eth1")
    sb.push_traffic("eth1", 5, 600)
    service.cycle_now(sb.state_file())
    assert service.terminate() == 0

    status = start(sb, "--status", "--json")
    status.wait()
    facts = json.loads("\n".join(status.out))
    assert facts["sim"] == SIM_B
    waiting = facts["sims_waiting"]
    assert [w["iccid"] for w in waiting] == [SIM_A], waiting

    service = start(sb)
    sb.push_traffic("eth1", 5, 600)
    service.cycle_now(sb.state_file())
    sb.set_plan(LOSE_A_THIRD)
    for _ in range(6):
        sb.push_traffic("eth1", 3, 500)
        service.cycle_now(sb.state_file())
    sb.set_plan(ACCEPT)
    service.cycle_now(sb.state_file())
    assert service.terminate() == 0
    sim_b = accepted_reports(service.out)[-1][:2]

    requests = sb.requests()
    billed, epochs = billed_by_sim(requests)
    lost = [r for r in requests if r["behaviour"].get("lose")]
    assert lost, "no reply was lost"
    assert billed == {SIM_A: list(sim_a), SIM_B: list(sim_b)}, (billed, sim_a, sim_b)
    assert len(set(epochs[SIM_A])) == 1 and len(set(epochs[SIM_B])) == 1
    assert set(epochs[SIM_A]) != set(epochs[SIM_B])


def test_each_modems_tool_is_asked_and_a_broken_one_loses_nothing(sandbox):
    """The same router through qmi (uqmi), mbim (umbim), modemmanager (mmcli) and an AT-driven
    modem on a pty of its own, each with another SIM: every report names the SIM its tool read.
    Then a tool that prints garbage and one that hangs: the reports go without iccid, one line
    says why, no byte is lost, and a stop during the hang ends the service and the tool."""
    import subprocess
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sims = {"qmi": "89460000000000000001", "mbim": "89460000000000000002",
            "modemmanager": "89460000000000000003F", "3g": "894600000000000000041"}
    devices = {"qmi": "/dev/cdc-wdm0", "mbim": "/dev/cdc-wdm0",
               "modemmanager": "/sys/devices/platform/1e1c0000.xhci/usb1/1-1", "3g": "/dev/ttyUSB3"}
    modem = subprocess.Popen(["/usr/bin/python3", os.path.join(ROOT, "tools", "fake_modem.py"),
                              os.path.join(sb.dir, "config", "sim"), "--answers", "qccid",
                              "--link", os.path.join(sb.dir, "config", "at-port")],
                             stdout=subprocess.PIPE, text=True)
    modem.stdout.readline()
    env = {"PATH": TOOLS + ":" + os.environ["PATH"], "TOLVU_SIM_FILE": "/etc/config/sim",
           "TOLVU_SIM_PIDFILE": "/etc/config/hanging"}
    try:
        service = None
        for proto in ("qmi", "mbim", "modemmanager", "3g"):
            set_sim(sb, sims[proto])
            sb.configure(interval=600, report_sim="1", sim_check_interval="0", proto=proto,
                         device=devices[proto], sim_tty="/etc/config/at-port")
            sb.push_traffic("eth1", 4, 800)
            service = service or start(sb, env=env)
            service.cycle_now(sb.state_file())
        assert service.terminate() == 0
        sb.configure(interval=600, report_sim="1", sim_check_interval="0", proto="qmi",
                     device=devices["qmi"])
        for mode in ("garbage", "hang"):
            service = start(sb, env=dict(env, TOLVU_SIM_MODE=mode))
            sb.push_traffic("eth1", 4, 800)
            service.cycle_now(sb.state_file())
            if mode == "garbage":
                assert service.terminate() == 0
        last = accepted_reports(service.out)[-1][:2]
        hanging = os.path.join(sb.dir, "config", "hanging")
        os.unlink(hanging)
        os.kill(service.popen.pid, __import__("signal").SIGUSR1)
        assert wait_until(lambda: os.path.exists(hanging), 30)
        assert service.terminate() == 0
        pid = int(open(hanging).read())
        assert wait_until(lambda: not os.path.exists("/proc/%d" % pid), 5), "the tool outlived it"
    finally:
        modem.kill()
        modem.wait()

    requests = sb.requests()
    named = [fields(r["body"]).get("iccid", "") for r in requests]
    assert [s for i, s in enumerate(named) if i == 0 or named[i - 1] != s] == [
        sims["qmi"], sims["mbim"], sims["modemmanager"], sims["3g"], ""], named
    billed = [sum(int(fields(r["body"])[k]) for r in requests) for k in ("bw_up", "bw_dn")]
    assert billed == list(last)
    said = [l for l in service.err + service.out if "ICCID cannot be read" in l]
    assert len(said) == 1 and "did not answer within 3 s; reports go without it" in said[0], said
