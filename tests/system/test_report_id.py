"""Exactly once even when replies are lost: with report_id each report names its books' epoch and
its number, and a server that follows the books' rule bills a re-sent report only by what it
grew. Without it the same run bills every lost reply's figures twice, and the test measures that
too."""

import json
import time

import pytest

from conftest import start
from test_accounting import accepted_reports

LOSE_A_THIRD = {"default": {"reply": "ACCEPTED", "lose": 0.33}, "seed": 24}
ACCEPT = {"default": {"reply": "ACCEPTED"}}


def body_fields(body):
    return dict(pair.split("=", 1) for pair in body.split("&"))


@pytest.mark.parametrize("report_id", ["1", "0"])
def test_lost_replies_are_billed_once(sandbox, report_id):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure(interval=600, report_id=report_id, persist_interval=1)
    sb.set_plan(LOSE_A_THIRD)
    truth = [0, 0]  # what the module carried, on every set of counters that has ended

    def reports(service, count, size):
        for _ in range(count):
            sb.push_traffic("eth1", 6, size)
            service.cycle_now(sb.state_file())

    # Ten reports; a restart; five more; a reboot (a clean stop first).
    service = start(sb)
    reports(service, 10, 700)
    assert service.terminate() == 0
    service = start(sb)
    reports(service, 5, 900)
    assert service.terminate() == 0
    for i, n in enumerate(sb.counters("eth1")):
        truth[i] += n
    sb.reboot("eth1")
    sb.set_default_route("eth1")
    service = start(sb)
    reports(service, 5, 1100)

    # An outage long enough for a flash write, then a power cut: what came after the write's
    # sample is the documented loss.
    sb.set_plan({"default": {"reply": "REFUSED"}})
    flash = None
    for _ in range(4):
        reports(service, 1, 500)
        flash = sb.pending() or flash
        if flash:
            break
        time.sleep(1.1)
    assert flash and flash["interface"] == "eth1", flash
    sb.push_traffic("eth1", 8, 600)  # lost with the power
    service.stop()  # SIGKILL
    truth[0] += int(flash["tx_last"])
    truth[1] += int(flash["rx_last"])
    sb.reboot("eth1")
    sb.set_default_route("eth1")
    sb.set_plan(LOSE_A_THIRD)
    service = start(sb)
    reports(service, 9, 800)
    sb.set_plan(ACCEPT)  # the last reply arrives
    reports(service, 1, 800)
    assert service.terminate() == 0
    last = accepted_reports(service.out)[-1]
    truth[0] += last[0]
    truth[1] += last[1]

    requests = sb.requests()
    billed = [sum(r["billed"][k] for r in requests if r["billed"]) for k in ("up", "dn")]
    lost = [r for r in requests if r["behaviour"].get("lose")]
    lost_figures = [sum(int(body_fields(r["body"])[k]) for r in lost) for k in ("bw_up", "bw_dn")]
    assert len(requests) >= 30 and len(lost) >= 5, (len(requests), len(lost))
    print("report_id %s: %d reports, %d replies lost; billed %s, carried %s" % (
        report_id, len(requests), len(lost), billed, truth))
    if report_id == "1":
        assert billed == truth
        epochs = {body_fields(r["body"])["epoch"] for r in requests}
        assert len(epochs) == 1  # one line of books: the power cut's boot went on from flash
        # --status names the line and the next report, one past the last accepted.
        last_seq = int(body_fields(requests[-1]["body"])["seq"])
        status = start(sb, "--status", "--json")
        status.wait()
        assert json.loads("\n".join(status.out))["report_id"] == {"epoch": epochs.pop(),
                                                                   "seq": last_seq + 1}
    else:
        assert "epoch" not in requests[0]["body"]
        assert [b - t for b, t in zip(billed, truth)] == lost_figures
