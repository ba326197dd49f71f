"""Long runs of the real binary: memory errors and leaks under valgrind, and a soak that watches
memory and descriptors over thousands of cycles."""

import os
import re
import time

import pytest

from conftest import CUT_REPLY, ROUTER_STACK, WRAP, start

SANITIZED = os.environ.get("TOLVU_SANITIZED") == "1"
pytestmark = pytest.mark.skipif(
    bool(WRAP) or SANITIZED, reason="measures the plain native binary (no emulator, no sanitizer)")


# musl's libc calls its own malloc from inside (fopen, getaddrinfo), out of valgrind's reach, so
# memcheck takes every fclose for a bad free there: memcheck runs on the host stack only.
@pytest.mark.skipif(ROUTER_STACK, reason="valgrind cannot follow musl's internal allocations")
def test_no_memory_errors_or_leaks_over_many_cycles(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure(interval=600)  # cycles are asked for one after another (SIGUSR1)
    kinds = [{"reply": "ACCEPTED"}, {"reply": "REFUSED"}, {"drop": True, "reply": "x" * 300},
             {"status": 500, "reply": "oops"}]
    sb.set_plan({"requests": [kinds[i % len(kinds)] for i in range(60)],
                 "default": {"reply": "ACCEPTED"}})
    service = start(sb, wrap=("valgrind", "--log-file=/tmp/valgrind.log", "--leak-check=full",
                              "--show-leak-kinds=definite,indirect,possible",
                              "--errors-for-leak-kinds=definite,indirect"))
    def reports(out):
        return sum(1 for line in out if line.startswith("Bandwidth Command"))

    # Fifty-odd reports, with a stretch of skipped cycles in the middle.
    service.run_cycles(25, timeout=600)
    # (The module setting moves, not the route: a route pulled from under a transfer stalls it.)
    sb.configure(interval=600, module="wwan0")
    service.run_cycles(3, timeout=180)
    skipped = service.out.count("skip reporting") >= 3
    sb.configure(interval=600)
    service.run_cycles(27, timeout=600)
    service.terminate(timeout=60)
    with open(os.path.join(sb.dir, "tmp", "valgrind.log")) as f:
        log = f.read()
    assert skipped and reports(service.out) >= 52 and "update_accepted 1" in service.out
    assert CUT_REPLY in service.err
    assert re.search(r"ERROR SUMMARY: 0 errors", log), log[-3000:]
    for kind in ("definitely", "indirectly"):
        match = re.search(kind + r" lost: ([\d,]+) bytes", log)
        assert match is None or match.group(1) == "0", log[-3000:]
    # libcurl's resolver thread may be alive when the signal comes: glibc's bookkeeping for it
    # shows as one "possibly lost" block, the same after 50 reports as after one.
    match = re.search(r"possibly lost: ([\d,]+) bytes in ([\d,]+) blocks", log)
    assert match is None or int(match.group(2)) <= 1, log[-3000:]


def sample(pid):
    """RSS in kB, and the descriptors open while no transfer is (the fewest of a quick burst of
    looks: a look can land mid-transfer, when a socket and the resolver's pipes are open)."""
    with open("/proc/%d/status" % pid) as f:
        rss = int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1))
    fds = []
    for _ in range(100):
        fds.append(len(os.listdir("/proc/%d/fd" % pid)))
        time.sleep(0.003)
    return rss, min(fds)


def test_soak_memory_and_descriptors_stay_flat(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure(interval=600)  # cycles are asked for one after another (SIGUSR1)
    sb.set_plan({"default": {"reply": "ACCEPTED"}})
    service = start(sb)
    samples = []
    for _ in range(20):
        service.run_cycles(100)
        samples.append(sample(service.popen.pid))
    service.stop()
    print("RSS kB and descriptors every 100 cycles:", samples)
    # Flat: the later samples never exceed what the early ones already reached. A look at the
    # descriptors can still land mid-transfer (cycles run back to back), but only a leak stays:
    # so the last three samples, all of them, must be back at the early level.
    early, late = samples[:5], samples[5:]
    assert min(fds for _, fds in samples[-3:]) <= max(fds for _, fds in early), samples
    assert max(rss for rss, _ in late) - max(rss for rss, _ in early) <= 128, samples
    assert sb.requests()[-1]["body"].startswith("serial=SN-0042&")
    assert service.err[:3] == [], os.listdir(os.path.join(sb.dir, "config"))
