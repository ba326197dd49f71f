"""tolvu's footprint, measured in a sandboxed router, next to what a cron script would cost.

Prints a Markdown table: each figure with the command that measured it. Instruction counts come
from valgrind's callgrind, which counts the same on a busy machine as on an idle one.
"""

import os
import platform
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sandbox import SERVER_PORT, Sandbox, require_root  # noqa: E402

BODY = "serial=SN-0042&bw_tot=600&bw_dn=500&bw_up=100"
rows = []


def row(what, value, command):
    rows.append((what, value, command))
    print("  %-48s %s" % (what, value), file=sys.stderr)


def kib(n):
    return "%.1f KiB" % (n / 1024.0)


def callgrind_totals(path):
    """Total instructions and those spent in libssl/libcrypto, from a callgrind output file."""
    out = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", path],
                         capture_output=True, text=True, check=True).stdout
    total = int(re.search(r"^([\d,]+) .*PROGRAM TOTALS", out, re.M).group(1).replace(",", ""))
    tls = 0
    for line in out.splitlines():
        m = re.match(r"^\s*([\d,]+) .*\[(.*)\]\s*$", line)
        if m and re.search(r"lib(ssl|crypto)\.so", m.group(2)):
            tls += int(m.group(1).replace(",", ""))
    return total, tls


def size_rows(binary):
    with tempfile.NamedTemporaryFile() as stripped:
        subprocess.run(["strip", "-o", stripped.name, binary], check=True)
        size = os.path.getsize(stripped.name)
    needed = re.findall(r"\(NEEDED\).*\[(.*)\]",
                        subprocess.run(["readelf", "-d", binary], capture_output=True,
                                       text=True).stdout)
    row("stripped size of tolvu (goal: at most 64 KiB)", "%d bytes (%s)" % (size, kib(size)),
        "strip -o t tolvu; stat -c %s t")
    row("NEEDED libraries (goal: no libstdc++)", ", ".join(needed), "readelf -d tolvu")


def memory_rows(sb, binary):
    sb.configure(interval=0, periodic=0)
    service = sb.start(binary)
    service.wait_cycles(100)
    pid = service.popen.pid
    with open("/proc/%d/status" % pid) as f:
        status = f.read()
    with open("/proc/%d/smaps_rollup" % pid) as f:
        smaps = f.read()
    service.stop()
    rss = int(re.search(r"VmRSS:\s+(\d+)", status).group(1))
    hwm = int(re.search(r"VmHWM:\s+(\d+)", status).group(1))
    private = sum(int(v) for v in re.findall(r"Private_(?:Clean|Dirty):\s+(\d+)", smaps))
    row("RSS after 100 report cycles", "%d KiB" % rss, "VmRSS in /proc/PID/status")
    row("private memory after 100 report cycles", "%d KiB" % private,
        "Private_Clean + Private_Dirty in /proc/PID/smaps_rollup")
    row("peak RSS over 100 report cycles", "%d KiB" % hwm, "VmHWM in /proc/PID/status")


def instruction_rows(sb, binary, cycles=20):
    """Instructions inside update_bandwidth() per cycle, skipped and reporting."""
    results = {}
    for kind, module in (("skipped", "wwan0"), ("report", "eth1")):
        sb.configure(interval=0, periodic=0, module=module)
        out = "/tmp/callgrind.%s" % kind  # /tmp is the sandbox's own
        service = sb.start(binary, wrap=("valgrind", "--tool=callgrind",
                                         "--toggle-collect=update_bandwidth()",
                                         "--callgrind-out-file=" + out))
        service.wait_cycles(cycles, timeout=300)
        service.terminate(timeout=60)
        done = service.cycles_started - 1  # the last may have been cut short
        total, tls = callgrind_totals(os.path.join(sb.dir, "tmp", "callgrind." + kind))
        results[kind] = (total / max(done, 1), tls / max(done, 1))
    skipped, report = results["skipped"], results["report"]
    row("instructions per skipped cycle", "%.0f" % skipped[0],
        "valgrind --tool=callgrind --toggle-collect=update_bandwidth() tolvu")
    row("instructions per report cycle", "%.0f" % report[0], "the same, module on the route")
    row("share of a report cycle spent in TLS", "%.0f %%" % (100.0 * report[1] / report[0]),
        "callgrind_annotate: libssl + libcrypto")
    return report[0], skipped[0]


def cron_rows(sb, tolvu_report, tolvu_skip):
    """The same work done the cron way: one curl command, one shell pipeline."""
    ca = sb.pki["ca_dir"]
    url = "https://%s:%d/bandwidth.php" % (sb.host, SERVER_PORT)
    curl = ["curl", "-sS", "-o", "/dev/null", "--capath", ca, "--resolve",
            "%s:%d:10.200.0.1" % (sb.host, SERVER_PORT), "-A", "oxel-agent/1.0", "-d", BODY, url]
    pipeline = ("gw=$(awk '$2 == \"00000000\" { print $1; exit }' /proc/net/route); "
                "tx=$(cat /sys/class/net/$gw/statistics/tx_bytes); "
                "rx=$(cat /sys/class/net/$gw/statistics/rx_bytes); echo $gw $tx $rx")
    measured = {}
    for name, command in (("curl", curl), ("pipeline", ["sh", "-c", pipeline])):
        out = os.path.join(sb.dir, "callgrind.cron.%s" % name)
        subprocess.run(["ip", "netns", "exec", sb.router, "valgrind", "--tool=callgrind",
                        "--trace-children=yes", "--callgrind-out-file=%s.%%p" % out] + command,
                       check=True, capture_output=True)
        total = 0
        for f in os.listdir(sb.dir):
            if f.startswith("callgrind.cron.%s." % name):
                total += callgrind_totals(os.path.join(sb.dir, f))[0]
        timed = subprocess.run(["ip", "netns", "exec", sb.router, "/usr/bin/time", "-f", "%M"]
                               + command, capture_output=True, text=True, check=True)
        measured[name] = (total, int(timed.stderr.strip().splitlines()[-1]))
    row("cron way: one curl POST, instructions", "%d (%.1f x tolvu's report cycle)" % (
        measured["curl"][0], measured["curl"][0] / tolvu_report),
        "valgrind --tool=callgrind --trace-children=yes curl -d BODY URL")
    row("cron way: route and counters by shell, instructions", "%d (%.0f x tolvu's skipped "
        "cycle)" % (measured["pipeline"][0], measured["pipeline"][0] / tolvu_skip),
        "the same over sh -c 'awk ... /proc/net/route; cat .../tx_bytes ...'")
    row("cron way: peak RSS of the curl command", "%d KiB" % measured["curl"][1],
        "/usr/bin/time -f %M curl ...")


def wire_rows(sb, binary):
    """Bytes on the module link for one report, and for a TLS handshake alone."""
    sb.configure(interval=3)
    service = sb.start(binary)
    service.wait_cycles(1)
    service.wait_for(lambda out, err: out[-1:] == ["update_accepted 1"])
    before = sb.counters("eth1")
    service.wait_cycles(2)
    service.wait_for(lambda out, err: out[-1:] == ["update_accepted 1"])
    time.sleep(0.5)  # the connection's closing segments
    after = sb.counters("eth1")
    service.stop()
    report = (after[0] - before[0], after[1] - before[1])
    handshake_code = (
        "import socket, ssl\nctx = ssl.create_default_context(capath=%r)\n"
        "s = socket.create_connection(('10.200.0.1', %d))\n"
        "t = ctx.wrap_socket(s, server_hostname=%r)\nt.close()\n" % (
            sb.pki["ca_dir"], SERVER_PORT, sb.host))
    before = sb.counters("eth1")
    subprocess.run(["ip", "netns", "exec", sb.router, "/usr/bin/python3", "-c", handshake_code],
                   check=True)
    time.sleep(0.5)
    after = sb.counters("eth1")
    handshake = (after[0] - before[0], after[1] - before[1])
    row("bytes on the wire per report (sent + received)", "%d + %d = %d" % (
        report[0], report[1], sum(report)), "tx/rx_bytes of the module's veth around one cycle")
    row("of which TCP + TLS handshake and close", "%d (%.0f %%)" % (
        sum(handshake), 100.0 * sum(handshake) / sum(report)),
        "the same around an OpenSSL handshake alone (python3 ssl)")


def first_report_row(sb, binary):
    sb.configure(interval=240)
    start = time.time()
    service = sb.start(binary)
    service.wait_for(lambda out, err: "update_accepted 1" in out)
    row("time from start to the first accepted report", "%.0f ms" % (1000 * (time.time() - start)),
        "scripts/bench: wall clock, process start to 'update_accepted 1'")
    service.stop()


def main(binary, domain):
    reason = require_root()
    if reason:
        sys.exit("bench: " + reason)
    size_rows(binary)
    with Sandbox(domain) as sb:
        sb.add_link("eth1")
        sb.set_default_route("eth1")
        sb.set_plan({"default": {"reply": "ACCEPTED"}})
        first_report_row(sb, binary)
        wire_rows(sb, binary)
        memory_rows(sb, binary)
        report, skip = instruction_rows(sb, binary)
        cron_rows(sb, report, skip)

    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        m = re.search(r"model name\s*:\s*(.*)", f.read())
        if m:
            cpu = m.group(1)
    print("tolvu benchmark, %s, %s, Linux %s, %d cores, %s\n" % (
        time.strftime("%Y-%m-%d"), platform.machine(), platform.release(), os.cpu_count(), cpu))
    print("| figure | value | measured by |")
    print("|---|---|---|")
    for what, value, command in rows:
        print("| %s | %s | `%s` |" % (what, value, command.replace("|", "\\|")))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
