"""Fixtures for the system tests: a sandboxed router running the real tolvu binary."""

import os
import struct
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

from sandbox import FlashWatch, Sandbox, require_root, wait_until  # noqa: E402,F401

BINARY = os.environ.get("TOLVU_BINARY", os.path.join(ROOT, "build", "test", "tolvu"))
DOMAIN = os.environ.get("TOLVU_DOMAIN", "tolvu-management.invalid")
# Extra words put before the binary, such as an emulator or valgrind.
WRAP = os.environ.get("TOLVU_WRAP", "").split()
# "host": glibc and Debian's libcurl on OpenSSL; "router-2.28" or "router-3.6": musl and libcurl on
# that mbedTLS.
STACK = os.environ.get("TOLVU_STACK", "host")
ROUTER_STACK = STACK.startswith("router")
# Run by ctest the sandbox is required: a suite that cannot build it fails instead of skipping.
REQUIRE_SANDBOX = os.environ.get("TOLVU_REQUIRE_SANDBOX") == "1"
# libcurl words a reply cut short after its TLS library: OpenSSL takes the connection's end as
# the end of the data, mbedTLS as a failed read (the server sent no TLS close).
CUT_REPLY = "curl_easy_perform() failed: " + (
    "Failure when receiving data from the peer" if ROUTER_STACK else "Transferred a partial file")


@pytest.fixture
def sandbox():
    reason = require_root()
    if reason and REQUIRE_SANDBOX:
        pytest.fail(reason)
    if reason:
        pytest.skip(reason)
    if not os.access(BINARY, os.X_OK):
        pytest.fail("no tolvu binary at %s (set TOLVU_BINARY)" % BINARY)
    with Sandbox(DOMAIN) as sb:
        yield sb


def start(sb, *args, wrap=(), **kwargs):
    """Starts the binary under test in the sandbox, behind any emulator and then wrap."""
    return sb.start(BINARY, *args, wrap=tuple(WRAP) + tuple(wrap), **kwargs)


def human_size(count):
    """The service's readable size: single precision, steps of 1024, two decimals."""
    value = struct.unpack("f", struct.pack("f", float(count)))[0]
    units = ["B", "KB", "MB", "GB"]
    unit = 0
    while value >= 1024.0 and unit < 3:
        value = struct.unpack("f", struct.pack("f", value / 1024.0))[0]
        unit += 1
    return "%.2f %s" % (value, units[unit])


class Ledger:
    """What the service should print and send, worked out from the counters it read."""

    def __init__(self, serial="SN-0042", installer="acme", gateway="eth1"):
        self.tx_baseline = 0
        self.rx_baseline = 0
        self.serial = serial
        self.installer = installer
        self.gateway = gateway

    def report_lines(self, tx, rx):
        # Counters below their baselines started again: everything counts afresh.
        fresh = tx < self.tx_baseline or rx < self.rx_baseline
        txd, rxd = (tx, rx) if fresh else (tx - self.tx_baseline, rx - self.rx_baseline)
        total = txd + rxd
        figures = "tx: %d rx: %d txdiff: %d rxdiff: %d total: %d" % (tx, rx, txd, rxd, total)
        readable = "tx: %s rx: %s txdiff: %s rxdiff: %s total: %s" % tuple(
            human_size(v) for v in (tx, rx, txd, rxd, total))
        body = "serial=%s&bw_tot=%d&bw_dn=%d&bw_up=%d" % (self.serial, total, rxd, txd)
        lines = ["Serial is: %s" % self.serial, "Installer ID: %s" % self.installer,
                 "Gateway: %s" % self.gateway, "Module Detected: 1",
                 "Bandwidth Calc: " + figures, "Bandwidth Calc (H): " + readable,
                 "Bandwidth Command: " + body]
        return lines, figures, body

    def accept(self, tx, rx):
        self.tx_baseline, self.rx_baseline = tx, rx


def cycles(out):
    """The console output split into cycles, each starting at its "Serial is:" line."""
    result = []
    for line in out:
        if line.startswith("Serial is: "):
            result.append([])
        if result:
            result[-1].append(line)
    return result


def figures_of(cycle):
    """(tx, rx) from a cycle's figures line."""
    for line in cycle:
        if line.startswith("Bandwidth Calc: "):
            words = line.split()
            return int(words[3]), int(words[5])
    return None
