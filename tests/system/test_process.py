"""The process as an operator sees it: daemon mode, one instance, crashes, the enabled switch."""

import json
import os
import re
import signal

import pytest

from conftest import BINARY, CUT_REPLY, ROOT, WRAP, start, wait_until


def lock_pid(sb):
    try:
        with open(sb.lock_file()) as f:
            return int(f.read().strip() or 0)
    except (OSError, ValueError):
        return 0


def test_daemon_mode_and_single_instance(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure()
    sb.set_plan({"requests": [{"reply": "ACCEPTED"}, {"drop": True, "reply": "x" * 512}],
                 "default": {"reply": "ACCEPTED"}})

    # --status: nothing runs yet.
    status = start(sb, "--status")
    assert status.wait() == 3
    assert status.out[0] == "tolvu is not running"

    parent = start(sb, "--daemon")
    assert parent.wait() == 0
    assert wait_until(lambda: lock_pid(sb) > 0, timeout=10), "timed out"
    daemon = lock_pid(sb)
    assert daemon != parent.popen.pid
    for fd in (1, 2):
        assert os.readlink("/proc/%d/fd/%d" % (daemon, fd)) == "/dev/null"
    assert os.readlink("/proc/%d/cwd" % daemon) == "/etc"
    assert os.getsid(daemon) != os.getsid(0)

    # Failures reach the system log at error priority; everything under the daemon's ident.
    assert wait_until(lambda: any(e["priority"] == "err" for e in sb.syslog_lines()),
                      timeout=15), "timed out"
    log = sb.syslog_lines()
    assert [e["message"] for e in log[:6]] == [
        "Acs bandwidth daemon Started.", "Acs Timeout value: 600 using 1",
        "Module interface: eth1 (network.module.ifname)",
        "Counting afresh: no state saved in this boot",
        "Acs Running Bandwidth Monitor.", log[5]["message"]]
    assert log[5]["message"].startswith("tx: ")
    errors = [e for e in log if e["priority"] == "err"]
    assert errors[0]["message"] == CUT_REPLY
    assert {(e["ident"], e["facility"], e["pid"]) for e in log} == {("OxelACS", "daemon", daemon)}
    assert parent.out == [] and parent.err == []

    # A second instance is refused while the daemon lives.
    second = start(sb)
    assert second.wait() == 1
    assert second.err == ["I am already running!"]
    assert second.out == []

    # --status sees the daemon, without taking its lock, and what it has done.
    status = start(sb, "--status")
    assert status.wait() == 0
    assert status.out[:2] == ["tolvu is running, PID %d" % daemon,
                              "Module interface: eth1 (network.module.ifname), carries the "
                              "default route now"]
    assert status.out[2].startswith("Last accepted report: ")
    assert status.out[3].startswith("Not yet accepted: tx ")
    assert status.out[4].startswith("Cycles: every 1 s, the next at ")
    assert status.out[5].startswith("Last cycle: ")
    assert status.err == []

    # A schedule in the state file that the daemon cannot have written (edited while it is
    # stopped) tells no next cycle, and --status still answers.
    os.kill(daemon, signal.SIGSTOP)
    with open(sb.state_file()) as f:
        saved = f.read()
    edited = re.sub(r"(?m)^(interval|spread|last_cycle)=.*$", lambda m: "%s=%s" % (m.group(1), {
        "interval": 2**32, "spread": 1, "last_cycle": 2**63 - 1}[m.group(1)]), saved)
    with open(sb.state_file(), "w") as f:
        f.write(edited)
    status = start(sb, "--status")
    assert status.wait() == 0 and status.out[4] == "Cycles: every 4294967296 s, 0 s into each " \
        "(report_spread)", status.out
    os.kill(daemon, signal.SIGCONT)

    # After kill -9 the lock file stays, but a new start takes it over.
    os.kill(daemon, signal.SIGKILL)
    assert wait_until(lambda: not os.path.exists("/proc/%d" % daemon) or
                      open("/proc/%d/stat" % daemon).read().split()[2] == "Z",
                      timeout=10), "timed out"
    assert os.path.exists(sb.lock_file())
    status = start(sb, "--status")
    assert status.wait() == 3 and status.out[0] == "tolvu is not running"
    third = start(sb)
    third.wait_for(lambda out, err: "update_accepted 1" in out)
    assert lock_pid(sb) == third.popen.pid
    # Console mode logs under its own ident and facility, from the start.
    console = [e for e in sb.syslog_lines() if e["pid"] == third.popen.pid]
    assert {(e["ident"], e["facility"]) for e in console} == {("tolvu", "user")}


def test_disabled_service_exits_at_once(sandbox):
    sb = sandbox
    sb.configure(enabled="0")
    service = start(sb)
    assert service.wait() == 0
    assert service.out == [] and service.err == []
    assert not os.path.exists(sb.lock_file())
    assert sb.syslog_lines() == []  # the farewell is informational, and the mask drops it


PLUGIN = os.path.join(ROOT, "packaging", "openwrt", "files", "tolvu.rpcd")


def rpcd_call(sb, *args):
    """Runs the rpcd plugin as rpcd does ("list", or "call METHOD" with the arguments as JSON on
    standard input), with the binary under test installed at /usr/sbin/tolvu."""
    plugin = sb.start(PLUGIN, *args, installed=BINARY)
    assert plugin.wait() == 0, plugin.err
    return json.loads("\n".join(plugin.out))


def numbers(value):
    """Every number in a parsed JSON value."""
    if isinstance(value, dict):
        value = list(value.values())
    if isinstance(value, list):
        return [n for v in value for n in numbers(v)]
    return [value] if isinstance(value, (int, float)) and not isinstance(value, bool) else []


@pytest.mark.skipif(bool(WRAP), reason="the plugin runs /usr/sbin/tolvu itself, not under an emulator")
def test_status_over_ubus_through_rpcd(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure()
    assert rpcd_call(sb, "list") == {"status": {}}

    service = start(sb)
    service.wait_for(lambda out, err: out.count("update_accepted 1") >= 2)
    status = rpcd_call(sb, "call", "status")
    state = sb.state()
    assert status["running"] is True and status["pid"] == service.popen.pid
    assert status["module"] == {"interface": "eth1", "found_by": "network.module.ifname",
                                "route": "module", "gateway": "eth1"}
    assert status["last_accepted"] == int(state["last_accepted"])
    assert status["last_cycle"]["time"] == int(state["last_cycle"])
    assert status["last_cycle"]["outcome"] == state["last_outcome"]
    unaccepted = status["unaccepted"]
    assert unaccepted["total"] == unaccepted["tx"] + unaccepted["rx"]
    assert unaccepted["tx"] >= int(state["tx_last"]) - int(state["tx_baseline"])

    # Stopped: the same facts, "running" false, and the traffic the stop kept on flash; the
    # numbers are what the state file and the flash file hold, to the byte.
    assert service.terminate() == 0
    status = rpcd_call(sb, "call", "status")
    state, kept = sb.state(), sb.pending()
    assert status["running"] is False and status["pid"] is None
    assert (status["unaccepted"]["tx"], status["unaccepted"]["rx"]) == (
        int(state["tx_last"]) - int(state["tx_baseline"]),
        int(state["rx_last"]) - int(state["rx_baseline"]))
    assert status["on_flash"] == {"tx": int(kept["tx_pending"]), "rx": int(kept["rx_pending"]),
                                  "written": int(kept["written"]), "this_boot": True}
    assert all(type(n) is int for n in numbers(status)), status
    text = start(sb, "--status")
    assert text.wait() == 3
    assert text.out[3] == "Not yet accepted: tx %d rx %d total %d bytes (%s)" % (
        status["unaccepted"]["tx"], status["unaccepted"]["rx"], status["unaccepted"]["total"],
        text.out[3].split("(", 1)[1][:-1])
    assert text.out[4].startswith("Kept on flash in /etc/tolvu/pending: tx %s rx %s total" % (
        kept["tx_pending"], kept["rx_pending"]))
