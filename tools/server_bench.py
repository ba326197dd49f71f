"""How many routers one server holds: simulated routers against the operator's kit (nginx,
PHP-FPM, bandwidth.php on PostgreSQL), all on this machine's loopback, in the sandbox's server
namespace.

Each simulated router has its own serial, epoch and seq, opens a new TLS connection per report
and resumes its last session as the service does, and loses a share of its replies (it reads
the reply and drops it: the server billed, the router sends the report again with the same seq
and grown figures). The run is bounded by time and by count. It prints reports per second,
latency, the server's CPU per report (nginx, PHP-FPM and PostgreSQL processes, from /proc, apart
from the load generator's), how many routers that is at the 240 s interval, the share of resumed
sessions, and checks the ledger against what the routers sent, exactly.

    tools/server_bench.py [--routers 2000] [--seconds 40] [--lose 0.05]
                          [--database postgresql|sqlite] [--session-cache 1m]   (root)
"""

import argparse
import json
import os
import random
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

INTERVAL = 240  # the service's default seconds between reports
TARGET_CPU_MS = 2.4


# ---- the load generator, run in the server's namespace
def load(args):
    """Runs args.threads threads over routers first..last; prints one JSON line of results."""
    routers = [{"serial": "SN-%06d" % i, "epoch": "%016x" % random.getrandbits(64), "seq": 1,
                "up": 0, "dn": 0, "truth": [0, 0], "session": None, "busy": False}
               for i in range(args.first, args.last)]
    context = ssl.create_default_context(cafile=args.ca)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    deadline = time.monotonic() + args.seconds
    lock = threading.Lock()
    results = {"latencies": [], "resumed": 0, "reports": 0, "lost": 0, "failed": 0,
               "refused": 0}
    position = [0]
    budget = [args.max_reports]

    def report(router):
        body = ("serial=%s&bw_tot=%d&bw_dn=%d&bw_up=%d&epoch=%s&seq=%d" % (
            router["serial"], router["up"] + router["dn"], router["dn"], router["up"],
            router["epoch"], router["seq"])).encode()
        request = (b"POST /bandwidth.php HTTP/1.1\r\nHost: %s:8090\r\nUser-Agent: oxel-agent/1.0"
                   b"\r\nAccept: */*\r\nConnection: close\r\nContent-Type: "
                   b"application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n%s" % (
                       args.host.encode(), len(body), body))
        began = time.monotonic()
        raw = socket.create_connection((args.address, 8090), timeout=30)
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        tls = context.wrap_socket(raw, server_hostname=args.host, session=router["session"])
        try:
            tls.sendall(request)
            reply = b""
            while True:
                data = tls.recv(16384)
                if not data:
                    break
                reply += data
            resumed = tls.session_reused
            router["session"] = tls.session
        finally:
            tls.close()
        return time.monotonic() - began, resumed, reply

    def worker():
        while True:
            with lock:
                if time.monotonic() >= deadline or budget[0] <= 0:
                    return
                budget[0] -= 1
                router = routers[position[0] % len(routers)]
                position[0] += 1
                if router["busy"]:  # its last report is still on its way
                    continue
                router["busy"] = True
            # Traffic since the last report, then the report (with what is still unaccepted).
            grow = (random.randrange(1, 400000), random.randrange(1, 4000000))
            router["up"] += grow[0]
            router["dn"] += grow[1]
            router["truth"][0] += grow[0]
            router["truth"][1] += grow[1]
            lose = random.random() < args.lose
            try:
                elapsed, resumed, reply = report(router)
            except OSError:
                with lock:
                    results["failed"] += 1
                    router["busy"] = False
                continue
            body = reply.partition(b"\r\n\r\n")[2]
            marker = body.find(b"ACCEPTE")  # the service's own test of a reply
            accepted = marker >= 0 and len(body) > marker + 7
            with lock:
                results["reports"] += 1
                results["latencies"].append(elapsed)
                results["resumed"] += bool(resumed)
                results["lost"] += lose
                results["refused"] += not accepted
                if accepted and not lose:
                    router["seq"] += 1
                    router["up"] = router["dn"] = 0
                router["busy"] = False

    threads = [threading.Thread(target=worker) for _ in range(args.threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # Every router's last report gets its reply, so that nothing is left unaccepted.
    for router in routers:
        if router["up"] or router["dn"]:
            report(router)
    results["truth"] = {r["serial"]: r["truth"] for r in routers if any(r["truth"])}
    print(json.dumps(results))


# ---- the server's CPU, from /proc
def cpu_seconds(pids):
    ticks = 0
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks += int(fields[11]) + int(fields[12])  # utime, stime
        except OSError:
            pass
    return ticks / os.sysconf("SC_CLK_TCK")


def server_pids(sb, postmaster):
    """nginx and PHP-FPM in the server's namespace, and the PostgreSQL cluster's processes."""
    from sandbox import sh
    pids = []
    for pid in sh("ip", "netns", "pids", sb.server, capture=True).split():
        try:
            if os.path.basename(os.readlink("/proc/%s/exe" % pid)).startswith(("nginx",
                                                                                "php-fpm")):
                pids.append(int(pid))
        except OSError:
            pass
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open("/proc/%s/stat" % pid) as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                continue
            if postmaster and postmaster in (int(pid), ppid):
                pids.append(int(pid))
    return pids


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--routers", type=int, default=2000)
    parser.add_argument("--seconds", type=float, default=40)
    parser.add_argument("--max-reports", type=int, default=200000)
    parser.add_argument("--lose", type=float, default=0.05)
    parser.add_argument("--session-cache", help="nginx's session cache instead of the kit's")
    parser.add_argument("--database", choices=("postgresql", "sqlite"), default="postgresql")
    parser.add_argument("--processes", type=int, default=2)
    parser.add_argument("--threads", type=int, default=12)
    parser.add_argument("--load", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--first", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--last", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--address", help=argparse.SUPPRESS)
    parser.add_argument("--host", help=argparse.SUPPRESS)
    parser.add_argument("--ca", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.load:
        return load(args)
    if os.geteuid() != 0:
        sys.exit("server_bench.py needs root: it builds a network namespace")
    args.seconds = min(args.seconds, 300)
    args.routers = max(1, min(args.routers, 200000))

    from sandbox import SERVER_ADDRESS, Database, Sandbox
    with Sandbox("bench.invalid") as sb:
        if args.database == "postgresql":
            database = Database.postgresql(os.path.join(sb.dir, "pg"), fsync=True,
                                           settings=["shared_buffers=64MB"])
            with open(os.path.join(sb.dir, "pg", "data", "postmaster.pid")) as f:
                postmaster = int(f.readline())
        else:
            database = Database.sqlite()
            postmaster = None
        sb.serve_with_nginx(database=database, workers=2, session_cache=args.session_cache)
        pids = server_pids(sb, postmaster)
        per = -(-args.routers // args.processes)
        loads = []
        cpu_before = cpu_seconds(pids)
        began = time.monotonic()
        for p in range(args.processes):
            first, last = p * per, min(args.routers, (p + 1) * per)
            loads.append(subprocess.Popen(
                ["ip", "netns", "exec", sb.server, "/usr/bin/python3", os.path.abspath(__file__),
                 "--load", "--first", str(first), "--last", str(last), "--seconds",
                 str(args.seconds), "--max-reports", str(args.max_reports // args.processes),
                 "--lose", str(args.lose), "--threads", str(args.threads), "--address",
                 SERVER_ADDRESS, "--host", sb.host, "--ca", sb.pki["ca"]],
                stdout=subprocess.PIPE, text=True))
        outputs = [json.loads(p.communicate(timeout=args.seconds + 600)[0]) for p in loads]
        elapsed = time.monotonic() - began
        # PostgreSQL's backends started during the run (one per PHP-FPM child) count in full.
        cpu = cpu_seconds(set(pids) | set(server_pids(sb, postmaster))) - cpu_before

        latencies = sorted(x for o in outputs for x in o["latencies"])
        reports = len(latencies)
        total = lambda key: sum(o[key] for o in outputs)  # noqa: E731
        truth = {}
        for o in outputs:
            truth.update(o["truth"])
        ledger = {s: [u, d] for s, u, d in database.rows(
            "SELECT serial, SUM(billed_up), SUM(billed_dn) FROM reports GROUP BY serial")}
        billed_reports = database.rows("SELECT COUNT(*) FROM reports")[0][0]
        exact = ledger == truth
        cpu_ms = 1000 * cpu / max(1, billed_reports)
        rate = reports / elapsed
        print("server: nginx 1.22 (2 workers), PHP-FPM 8.2 (static, 4 children), %s, "
              "persistent PDO connections; %d cores" % (
                  "PostgreSQL 15 (unix socket, fsync on)" if postmaster else "SQLite (WAL)",
                  os.cpu_count()))
        print("load: %d routers, %d processes x %d threads, TLS with session resumption, "
              "TCP_NODELAY, %.0f %% of replies lost" % (args.routers, args.processes,
                                                         args.threads, 100 * args.lose))
        print("reports: %d in %.1f s (%d lost replies re-sent, %d failed, %d refused)" % (
            billed_reports, elapsed, total("lost"), total("failed"), total("refused")))
        print("sustained rate: %.0f reports/s (a floor: the load generator shares the cores)"
              % rate)
        if latencies:
            print("latency: p50 %.1f ms, p99 %.1f ms" % (
                1000 * latencies[len(latencies) // 2],
                1000 * latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]))
        print("resumed sessions: %.1f %% of reports, %.1f %% after each router's first" % (
            100 * total("resumed") / max(1, reports),
            100 * total("resumed") / max(1, reports - len(truth))))
        print("server CPU per report: %.2f ms (target at most %.1f ms)" % (cpu_ms, TARGET_CPU_MS))
        print("routers held at %d s: %d at the measured rate; %d by server CPU on %d cores" % (
            INTERVAL, rate * INTERVAL, os.cpu_count() * 1000 / max(cpu_ms, 1e-9) * INTERVAL,
            os.cpu_count()))
        print("ledger: %s (%d routers, billed %d bytes)" % (
            "exact" if exact else "NOT EXACT", len(ledger),
            sum(u + d for u, d in ledger.values())))
        return 0 if exact and not total("failed") and not total("refused") else 1


if __name__ == "__main__":
    sys.exit(main())
