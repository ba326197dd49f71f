"""Reports on an idle link wait when the operator asks for it: small ones are deferred, but never
longer than max_report_interval, nothing is lost, and nothing is written for it."""

import re
import time

from conftest import FlashWatch, start
from test_accounting import accepted_reports


def test_idle_link_defers_and_loses_nothing(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure(min_report_bytes=8192, max_report_interval=5)
    flash = FlashWatch(sb.flash_dir())
    sb.push_traffic("eth1", 20)
    service = start(sb)

    # The first report goes whatever its size; then an idle link defers, in the console only.
    service.wait_for(lambda out, err: "update_accepted 1" in out)
    service.run_cycles(3)
    deferred = [line for line in service.out if line.startswith("Report deferred: ")]
    assert len(deferred) >= 2 and len(sb.requests()) == 1, service.out[-12:]
    state = sb.state()
    latest = time.strftime("%H:%M:%S", time.localtime(int(state["last_accepted"]) + 5))
    assert re.fullmatch(r"Report deferred: \d+ bytes since the last accepted report, below "
                        r"min_report_bytes 8192 \(next report by %s at the latest\)" % latest,
                        deferred[-1]), deferred
    assert state["last_outcome"] == "deferred"
    assert not any("deferred" in e["message"] for e in sb.syslog_lines())

    # Traffic above the threshold goes at the next cycle.
    sb.push_traffic("eth1", 10, 1000)
    service.run_cycles(1)
    assert len(sb.requests()) == 2

    # An idle link still reports once max_report_interval has passed.
    service.wait_for(lambda out, err: out.count("update_accepted 1") >= 3, timeout=15)
    requests = sb.requests()
    assert requests[2]["time"] - requests[1]["time"] >= 4  # whole seconds, as the books keep them
    service.stop()
    reports = accepted_reports(service.out)
    assert sum(r[2] for r in reports) == reports[-1][0]
    assert sum(r[3] for r in reports) == reports[-1][1]
    assert flash.writes() == 0  # a deferral is not an outage

    # The defaults: every cycle reports, however idle the link.
    sb.configure(interval=600)
    before = len(sb.requests())
    service = start(sb)
    service.run_cycles(3)
    service.stop()
    reported = service.out.count("update_accepted 1")
    assert reported >= 3 and len(sb.requests()) - before >= reported
    assert not any(line.startswith("Report deferred") for line in service.out)
