"""tolvu's footprint, measured in a sandboxed router on three stacks side by side: this host's
(glibc, Debian's libcurl on OpenSSL) and two routers' (musl, libcurl on mbedTLS 2.28 as in OpenWrt
23.05, and on mbedTLS 3.6 as in OpenWrt 24.10 and later), next to what a cron script would cost.

Prints a Markdown table: each figure with the command that measured it. Instruction counts come
from valgrind's callgrind, which counts the same on a busy machine as on an idle one. Bytes on the
wire are measured on a realistic certificate chain (RSA-2048 leaf and intermediate).
"""

import os
import platform
import random
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sandbox import SERVER_PORT, Sandbox, require_root  # noqa: E402

BODY = "serial=SN-0042&bw_tot=600&bw_dn=500&bw_up=100"
REPORTS_PER_30_DAYS = 30 * 86400 // 240
STACKS = ("host", "router-2.28", "router-3.6", "mipsel", "mipsel-plain")
HEADINGS = {"host": "host: glibc, OpenSSL", "router-2.28": "router: musl, mbedTLS 2.28, curl 7.88",
            "router-3.6": "router: musl, mbedTLS 3.6, curl 8.14",
            "mipsel": "mipsel as OpenWrt builds it for a 24Kc router: MIPS16 (sizes only)",
            "mipsel-plain": "mipsel, Debian's plain flags, for comparison (sizes only)"}
# binutils of another architecture than the host's
TOOLS = {"mipsel": "mipsel-linux-gnu-", "mipsel-plain": "mipsel-linux-gnu-"}
# What each stack speaks to a server that offers everything.
TLS_OF = {"host": "TLS 1.3", "router-2.28": "TLS 1.2", "router-3.6": "TLS 1.3"}
rows = []  # (what, {stack: value}, command)


def row(what, values, command):
    rows.append((what, values, command))
    print("  %-52s %s" % (what, "  |  ".join(str(values.get(s, "")) for s in STACKS)),
          file=sys.stderr)


def kib(n):
    return "%.1f KiB" % (n / 1024.0)


def callgrind_totals(path, function=None):
    """Total instructions, those in the TLS libraries, and those inclusive in function."""
    out = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", path],
                         capture_output=True, text=True, check=True).stdout
    total = int(re.search(r"^([\d,]+) .*PROGRAM TOTALS", out, re.M).group(1).replace(",", ""))
    tls = 0
    for line in out.splitlines():
        m = re.match(r"^\s*([\d,]+) .*\[(.*)\]\s*$", line)
        if m and re.search(r"lib(ssl|crypto|mbedtls|mbedx509|mbedcrypto)\.so", m.group(2)):
            tls += int(m.group(1).replace(",", ""))
    inside = 0
    if function:
        out = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", path],
                             capture_output=True, text=True, check=True).stdout
        m = re.search(r"^\s*([\d,]+) .*\b%s\(" % re.escape(function), out, re.M)
        inside = int(m.group(1).replace(",", "")) if m else 0
    return total, tls, inside


def size_rows(binaries):
    sizes, packed, needed, text = {}, {}, {}, {}
    for stack, binary in binaries.items():
        tools = TOOLS.get(stack, "")
        with tempfile.NamedTemporaryFile() as stripped:
            subprocess.run([tools + "strip", "-o", stripped.name, binary], check=True)
            size = os.path.getsize(stripped.name)
            xz = len(subprocess.run(["xz", "-9", "-c", stripped.name], check=True,
                                    capture_output=True).stdout)
        sizes[stack] = "%d bytes (%s)" % (size, kib(size))
        packed[stack] = "%d bytes (%s)" % (xz, kib(xz))
        needed[stack] = ", ".join(re.findall(r"\(NEEDED\).*\[(.*)\]", subprocess.run(
            [tools + "readelf", "-d", binary], capture_output=True, text=True).stdout))
        text[stack] = "%s bytes" % subprocess.run([tools + "size", binary], capture_output=True,
                                                  text=True, check=True).stdout.split()[6]
    row("stripped size of tolvu (goal: at most 64 KiB; MIPS16 at most 63,900 bytes)", sizes,
        "strip -o t tolvu; stat -c %s t")
    row("the same compressed, as a squashfs image holds it", packed, "xz -9 -c t | wc -c")
    row("NEEDED libraries (goal: no libstdc++)", needed, "readelf -d tolvu")
    row("code (.text)", text, "size tolvu")


def memory(sb, binary):
    """RSS, peak and private memory after 100 report cycles, the service's own and the libraries'."""
    sb.configure(interval=600)  # cycles asked for one after another (SIGUSR1)
    service = sb.start(binary)
    service.run_cycles(100)
    pid = service.popen.pid
    with open("/proc/%d/status" % pid) as f:
        status = f.read()
    with open("/proc/%d/smaps" % pid) as f:
        smaps = f.read()
    service.stop()
    parts = {"own": [0, 0], "libraries": [0, 0]}  # [rss, private] in KiB
    part = None
    for line in smaps.splitlines():
        head = re.match(r"^[0-9a-f]+-[0-9a-f]+ \S+ \S+ \S+ \S+\s*(.*)$", line)
        if head:
            path = head.group(1)
            part = ("libraries" if re.search(r"\.so(\.|$)", path) else
                    None if path in ("[vvar]", "[vdso]", "[vsyscall]") else "own")
            continue
        m = re.match(r"^(Rss|Private_Clean|Private_Dirty):\s+(\d+) kB", line)
        if m and part:
            parts[part][0 if m.group(1) == "Rss" else 1] += int(m.group(2))
    return {"rss": int(re.search(r"VmRSS:\s+(\d+)", status).group(1)),
            "hwm": int(re.search(r"VmHWM:\s+(\d+)", status).group(1)), "parts": parts}


def instructions(sb, binary, cycles=20):
    """Instructions inside update_bandwidth() per cycle, skipped and reporting, and those spent
    saving the state (inclusive in save_accounting) per cycle."""
    results = {}
    for kind, module in (("skipped", "wwan0"), ("report", "eth1")):
        sb.configure(interval=600, module=module)
        # Configuration older than the clock's second, as a router's is: the reader keeps its
        # parse only then (a change within the second of a file's mtime could not be seen).
        time.sleep(1.1)
        out = "/tmp/callgrind.%s" % kind  # /tmp is the sandbox's own
        service = sb.start(binary, wrap=("valgrind", "--tool=callgrind",
                                         "--toggle-collect=update_bandwidth()",
                                         "--callgrind-out-file=" + out))
        service.run_cycles(cycles, timeout=300)
        service.terminate(timeout=60)
        done = max(service.cycles_started - 1, 1)  # the last may have been cut short
        total, tls, save = callgrind_totals(os.path.join(sb.dir, "tmp", "callgrind." + kind),
                                            "save_accounting")
        results[kind] = (total / done, tls / done, save / done)
    return results


def wire(sb, binary, **options):
    """Bytes on the module link for the first report (a full handshake) and a resumed one."""
    sb.configure(interval=2, **options)
    service = sb.start(binary)
    sizes = []
    for n in (1, 2):
        before = sb.counters("eth1")
        service.wait_for(lambda out, err: out.count("update_accepted 1") >= n, timeout=30)
        time.sleep(0.5)  # the connection's closing segments
        after = sb.counters("eth1")
        sizes.append((after[0] - before[0], after[1] - before[1]))
    service.stop()
    requests = sb.requests()[-2:]
    return sizes, [r["resumed"] for r in requests], requests[-1]["tls_version"]


def wire_nginx(sb, binary, tickets=False):
    """The same against nginx with HTTP/2 on and PHP-FPM, the server most operators run; whether
    the second report resumed, as nginx logs it."""
    web = sb.serve_with_nginx(tickets=tickets)
    sb.configure(interval=2)
    service = sb.start(binary)
    sizes = []
    for n in (1, 2):
        before = sb.counters("eth1")
        service.wait_for(lambda out, err: out.count("update_accepted 1") >= n, timeout=30)
        time.sleep(0.5)
        after = sb.counters("eth1")
        sizes.append((after[0] - before[0], after[1] - before[1]))
    service.stop()
    with open(os.path.join(web, "access.log")) as f:
        log = f.read().splitlines()
    return sizes, ["reused=r" in line for line in log[:2]], [
        re.search(r" (HTTP/[\d.]+) ", line).group(1) for line in log[:2]]


def first_report_ms(sb, binary):
    sb.configure(interval=240)
    start = time.time()
    service = sb.start(binary)
    service.wait_for(lambda out, err: "update_accepted 1" in out)
    elapsed = 1000 * (time.time() - start)
    service.stop()
    return elapsed


def prepared(sb):
    """The sandbox with the module's link carrying the default route, every report accepted."""
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.set_plan({"default": {"reply": "ACCEPTED"}})
    return sb


def wire_rows(binaries, domain):
    """Bytes per report, full and resumed, on each stack (the host also on TLS 1.2), without and
    with a client certificate, and what a month of reports costs."""
    cases = [(stack, TLS_OF[stack], {}) for stack in binaries]
    cases.insert(1, ("host", "TLS 1.2", {"tls12": True}))
    table = {}

    def add(name, stack, version, text):
        table.setdefault(name, {}).setdefault(stack, []).append("%s (%s)" % (text, version))

    resumed_plain = {}
    for stack, version, options in cases:
        for mtls in (False, True):
            with Sandbox(domain, chain=True, **options) as sb:
                prepared(sb)
                files = {}
                if mtls:
                    sb.restart_server("--client-ca", sb.pki["client-ca"])
                    files = {"client_cert": sb.install_tls_file("c.pem", sb.pki["client_cert"]),
                             "client_key": sb.install_tls_file("c.key", sb.pki["client_key"])}
                (first, second), reused, seen = wire(sb, binaries[stack], **files)
            assert reused == [False, True], "%s %s: resumed %s" % (stack, version, reused)
            assert seen == version.replace(" ", "v"), seen
            full, resumed = sum(first), sum(second)
            kind = "mtls " if mtls else ""
            add(kind + "full", stack, version, "%d + %d = %d" % (first[0], first[1], full))
            add(kind + "resumed", stack, version, "%d + %d = %d" % (second[0], second[1], resumed))
            if not mtls:
                resumed_plain[(stack, version)] = resumed
                resumed_plain[(stack, version, "sent")] = second[0]
                add("ratio", stack, version, "%.0f %%" % (100.0 * resumed / full))
                add("month full", stack, version, "%.1f MB" % (full * REPORTS_PER_30_DAYS / 1e6))
                add("month resumed", stack, version,
                    "%.1f MB" % (resumed * REPORTS_PER_30_DAYS / 1e6))
    # Against nginx with HTTP/2 on (the kit's block in server/nginx.conf, then with nginx's default session
    # tickets), and with the report identity on: a resumed report each.
    for stack, binary in binaries.items():
        version = TLS_OF[stack]
        for tickets, name in ((False, "nginx"), (True, "nginx tickets")):
            with Sandbox(domain, chain=True) as sb:
                prepared(sb)
                (_, second), reused, protocols = wire_nginx(sb, binary, tickets)
            assert reused == [False, True] and protocols == ["HTTP/1.1"] * 2, (stack, reused,
                                                                               protocols)
            add(name, stack, version, "%d + %d = %d, %+d against the reference server" % (
                second[0], second[1], sum(second), sum(second) - resumed_plain[(stack, version)]))
        with Sandbox(domain, chain=True) as sb:
            prepared(sb)
            (_, second), reused, _ = wire(sb, binary, report_id="1")
        assert reused == [False, True], (stack, reused)
        # The body grows; what the server sends back is the same but for TLS 1.3's tickets.
        add("report id", stack, version, "%d + %d = %d: %+d sent, %+d in all" % (
            second[0], second[1], sum(second), second[0] - resumed_plain[(stack, version, "sent")],
            sum(second) - resumed_plain[(stack, version)]))
        with Sandbox(domain, chain=True) as sb:
            prepared(sb)
            (_, second), reused, _ = wire(sb, binary, report_sim="1",
                                          sim_command="echo 89441000303031011234")
        assert reused == [False, True], (stack, reused)
        add("report sim", stack, version, "%d + %d = %d: %+d sent, %+d in all" % (
            second[0], second[1], sum(second), second[0] - resumed_plain[(stack, version, "sent")],
            sum(second) - resumed_plain[(stack, version)]))
    joined = {name: {s: "; ".join(v) for s, v in values.items()} for name, values in table.items()}
    row("bytes on the wire, first report (full handshake), sent + received", joined["full"],
        "tx/rx_bytes of the module's veth around the cycle; leaf + intermediate RSA-2048")
    row("bytes on the wire, a resumed report", joined["resumed"], "the same around the next cycle")
    row("resumed report / full report (goal: at most 55 %)", joined["ratio"], "the two rows above")
    row("the same with a client certificate (mTLS), first report", joined["mtls full"],
        "the same; client certificate EC P-256, server requires it")
    row("the same with a client certificate (mTLS), resumed report", joined["mtls resumed"],
        "the same around the next cycle")
    row("resumed report against nginx with HTTP/2 on (PHP-FPM behind it)", joined["nginx"],
        "the same, nginx 1.22 and PHP 8.2 from Debian 12, the kit's server block")
    row("the same, nginx keeping sessions in its default tickets", joined["nginx tickets"],
        "the same with ssl_session_tickets on")
    row("resumed report with report_id 1 (epoch and seq in the body)", joined["report id"],
        "the same, easycwmp.bandwidth.report_id '1'")
    row("resumed report with report_sim 1 (a 20-digit ICCID in the body; goal: at most +30)",
        joined["report sim"], "the same, easycwmp.bandwidth.report_sim '1'")
    row("MB per 30 days at 240 s, every handshake full", joined["month full"],
        "10,800 x first report")
    row("MB per 30 days at 240 s, sessions resumed", joined["month resumed"],
        "10,800 x resumed report (the server keeps sessions longer than the interval)")


def idle_month(sb, binary, cycles, **options):
    """Bytes on an idle module link over cycles cycles at 1 s, scaled to 30 days of 240 s cycles
    (max_report_interval scaled alike: 3600 s at 240 s is 15 cycles)."""
    sb.configure(interval=1, **options)
    service = sb.start(binary)
    service.wait_for(lambda out, err: "update_accepted 1" in out)  # the first report: not idle
    time.sleep(0.5)
    before = sb.counters("eth1")
    service.wait_cycles(service.cycles_started + cycles, timeout=cycles * 3 + 30)
    time.sleep(0.5)
    after = sb.counters("eth1")
    service.stop()
    per_cycle = (after[0] - before[0] + after[1] - before[1]) / float(cycles)
    return per_cycle * REPORTS_PER_30_DAYS / 1e6


def idle_rows(binaries, domain):
    off, on = {}, {}
    for stack, binary in binaries.items():
        with Sandbox(domain, chain=True) as sb:
            prepared(sb)
            off[stack] = "%.1f MB" % idle_month(sb, binary, 20)
            on[stack] = "%.1f MB" % idle_month(sb, binary, 60, min_report_bytes=8192,
                                               max_report_interval=15)
    row("MB per 30 days on an idle link at 240 s, every cycle reports (the default)", off,
        "the module veth's bytes over 20 cycles at 1 s, x 10,800 / 20")
    row("MB per 30 days on an idle link, min_report_bytes 8192, max_report_interval 3600", on,
        "the same over 60 cycles at 1 s with max_report_interval 15 (3600 s / 240 s)")


def stack_rows(binaries, domain):
    first, rss, hwm, own, libs, skip, report, tls, save = ({} for _ in range(9))
    measured = {}
    for stack, binary in binaries.items():
        with Sandbox(domain, chain=True) as sb:
            first[stack] = "%.0f ms" % first_report_ms(prepared(sb), binary)
            mem = memory(sb, binary)
            counts = instructions(sb, binary)
        rss[stack] = "%d KiB" % mem["rss"]
        hwm[stack] = "%d KiB" % mem["hwm"]
        own[stack] = "%d KiB resident, %d KiB private" % tuple(mem["parts"]["own"])
        libs[stack] = "%d KiB resident, %d KiB private" % tuple(mem["parts"]["libraries"])
        skip[stack] = "%.0f" % counts["skipped"][0]
        report[stack] = "%.0f" % counts["report"][0]
        tls[stack] = "%.0f %%" % (100.0 * counts["report"][1] / counts["report"][0])
        save[stack] = "%.0f (%.0f %% of a skipped cycle)" % (
            counts["skipped"][2], 100.0 * counts["skipped"][2] / counts["skipped"][0])
        measured[stack] = (counts["report"][0], counts["skipped"][0])
    row("time from start to the first accepted report", first,
        "wall clock, process start to 'update_accepted 1'")
    row("RSS after 100 report cycles", rss, "VmRSS in /proc/PID/status")
    row("peak RSS over 100 report cycles", hwm, "VmHWM in /proc/PID/status")
    row("of which the service's own (heap, stack, anonymous, the binary)", own,
        "Rss and Private_* in /proc/PID/smaps, mappings not of a .so")
    row("of which shared libraries (libc, libcurl, TLS, ...)", libs,
        "the same, mappings of .so files")
    row("instructions per skipped cycle", skip,
        "valgrind --tool=callgrind --toggle-collect=update_bandwidth() tolvu")
    row("instructions per report cycle (resumed TLS session)", report,
        "the same, module on the route")
    row("share of a report cycle spent in TLS", tls,
        "callgrind_annotate: libssl + libcrypto, or libmbed*")
    row("instructions per cycle to save the state file", save,
        "callgrind_annotate --inclusive=yes: save_accounting")
    return measured["host"]


def cron_rows(domain, tolvu_report, tolvu_skip):
    """The same work done the cron way: one curl command, one shell pipeline (host stack)."""
    with Sandbox(domain, chain=True) as sb:
        prepared(sb)
        ca = sb.pki["ca_dir"]
        url = "https://%s:%d/bandwidth.php" % (sb.host, SERVER_PORT)
        curl = ["curl", "-sS", "-o", "/dev/null", "--capath", ca, "--resolve",
                "%s:%d:10.200.0.1" % (sb.host, SERVER_PORT), "-A", "oxel-agent/1.0", "-d", BODY,
                url]
        pipeline = ("gw=$(awk '$2 == \"00000000\" { print $1; exit }' /proc/net/route); "
                    "tx=$(cat /sys/class/net/$gw/statistics/tx_bytes); "
                    "rx=$(cat /sys/class/net/$gw/statistics/rx_bytes); echo $gw $tx $rx")
        measured = {}
        for name, command in (("curl", curl), ("pipeline", ["sh", "-c", pipeline])):
            out = os.path.join(sb.dir, "callgrind.cron.%s" % name)
            subprocess.run(["ip", "netns", "exec", sb.router, "valgrind", "--tool=callgrind",
                            "--trace-children=yes", "--callgrind-out-file=%s.%%p" % out]
                           + command, check=True, capture_output=True)
            total = 0
            for f in os.listdir(sb.dir):
                if f.startswith("callgrind.cron.%s." % name):
                    total += callgrind_totals(os.path.join(sb.dir, f))[0]
            timed = subprocess.run(["ip", "netns", "exec", sb.router, "/usr/bin/time", "-f",
                                    "%M"] + command, capture_output=True, text=True, check=True)
            measured[name] = (total, int(timed.stderr.strip().splitlines()[-1]))
    row("cron way: one curl POST, instructions", {"host": "%d (%.1f x tolvu's report cycle)" % (
        measured["curl"][0], measured["curl"][0] / tolvu_report)},
        "valgrind --tool=callgrind --trace-children=yes curl -d BODY URL")
    row("cron way: route and counters by shell, instructions", {
        "host": "%d (%.0f x tolvu's skipped cycle)" % (
            measured["pipeline"][0], measured["pipeline"][0] / tolvu_skip)},
        "the same over sh -c 'awk ... /proc/net/route; cat .../tx_bytes ...'")
    row("cron way: peak RSS of the curl command", {"host": "%d KiB" % measured["curl"][1]},
        "/usr/bin/time -f %M curl ...")


def spread_rows(moments, fleet=10000, interval=240, boot_window=60):
    """The server's busiest second with a fleet that booted within a minute (a power cut over a
    region), report_spread off and on, from the service's own moment function."""
    serials = "".join("SN-%06d\n" % i for i in range(fleet))
    on = [int(m) for m in subprocess.run([moments, "acme", str(interval)], input=serials,
                                         capture_output=True, text=True, check=True).stdout.split()]
    boots = random.Random(1).random
    # Off: the first cycle at start and then one an interval after each; on: at the moment.
    off = [int(boots() * boot_window) % interval for _ in range(fleet)]
    mean = fleet / interval
    peaks = {}
    for name, seconds in (("off", off), ("on", on)):
        counts = [0] * interval
        for second in seconds:
            counts[second] += 1
        peaks[name] = "%d/s (%.1f x the mean)" % (max(counts), max(counts) / mean)
    row("server's peak second, %d routers booted within %d s, report_spread off (mean %.1f/s)"
        % (fleet, boot_window, mean), {"host": peaks["off"]},
        "tolvu_moments acme 240 < serials; the busiest second of an interval")
    row("the same with report_spread 1 (goal: within 3 x the mean)", {"host": peaks["on"]},
        "tolvu_moments acme 240 < serials; the busiest second of an interval")


def print_rows():
    for what, values, command in rows:
        print("| %s | %s | `%s` |" % (what, " | ".join(str(values.get(s, "")) for s in STACKS),
                                      command.replace("|", "\\|")))


def main(domain, host, moments, mipsel, mipsel_plain, *routers):
    reason = require_root()
    if reason:
        sys.exit("bench: " + reason)
    binaries = {"host": host}
    for stack, binary in zip(STACKS[1:3], routers):
        binaries[stack] = binary
    size_rows(dict(binaries, mipsel=mipsel, **{"mipsel-plain": mipsel_plain}))
    wire_rows(binaries, domain)
    idle_rows(binaries, domain)
    report, skip = stack_rows(binaries, domain)
    cron_rows(domain, report, skip)
    spread_rows(moments)

    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        m = re.search(r"model name\s*:\s*(.*)", f.read())
        if m:
            cpu = m.group(1)
    print("tolvu benchmark, %s, %s, Linux %s, %d cores, %s\n" % (
        time.strftime("%Y-%m-%d"), platform.machine(), platform.release(), os.cpu_count(), cpu))
    print("| figure | %s | measured by |" % " | ".join(HEADINGS[s] for s in STACKS))
    print("|---|%s---|" % ("---|" * len(STACKS)))
    print_rows()


if __name__ == "__main__":
    if sys.argv[1:2] == ["--spread"]:  # the fleet's peaks alone: bench.py --spread tolvu_moments
        spread_rows(sys.argv[2])
        print_rows()
    else:
        main(*sys.argv[1:])
