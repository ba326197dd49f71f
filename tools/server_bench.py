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

Each router presents its own client certificate, its CN its serial, from a CA the bench makes
(the kit installed with it as the routers' CA, as by default); --no-client-certs installs the kit
with --no-client-certs and sends none, for comparison.

    tools/server_bench.py [--routers 2000] [--seconds 40] [--lose 0.05] [--no-client-certs]
                          [--database postgresql|sqlite] [--session-cache 1m]   (root)

With --ledger it measures the operators' page instead, on a ledger of a fleet's days: the
per-day rows of --routers routers for --days days (ending today, today's rows partial) and raw
reports for as many hours as fit in --raw-gb, generated in PostgreSQL straight into the kit's
tables as bandwidth.php writes them. It prints the fleet page's p50/p95 for each sort over a
30-day period (the first view of a period, which fills the page's cache of settled days,
apart), one router's page, the CSV of the whole fleet for 30 days, and the bytes on disk a
router-day and a raw report.

    tools/server_bench.py --ledger [--routers 100000] [--days 90] [--raw-gb 2]   (root)
"""

import argparse
import json
import os
import random
import re
import socket
import ssl
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

INTERVAL = 240  # the service's default seconds between reports
TARGET_CPU_MS = 2.4


# ---- the load generator, run in the server's namespace
def load(args):
    """Runs args.threads threads over routers first..last; prints one JSON line of results."""
    def context_for(serial):
        """A router's TLS context: its own, with its certificate, when there are certificates
        (a session resumes only on the context that made it)."""
        context = ssl.create_default_context(cafile=args.ca)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        if args.certs:
            context.load_cert_chain(os.path.join(args.certs, serial + ".pem"))
        return context

    shared = None if args.certs else context_for(None)
    # Each router with its SIM, as a router of this version reports it.
    routers = [{"serial": "SN-%06d" % i, "iccid": "8944%016d" % i,
                "epoch": "%016x" % random.getrandbits(64), "seq": 1,
                "up": 0, "dn": 0, "truth": [0, 0], "session": None, "busy": False}
               for i in range(args.first, args.last)]
    for router in routers:
        router["context"] = shared or context_for(router["serial"])
    deadline = time.monotonic() + args.seconds
    lock = threading.Lock()
    results = {"latencies": [], "resumed": 0, "reports": 0, "lost": 0, "failed": 0,
               "refused": 0}
    position = [0]
    budget = [args.max_reports]

    def report(router):
        body = ("serial=%s&bw_tot=%d&bw_dn=%d&bw_up=%d&epoch=%s&seq=%d&iccid=%s" % (
            router["serial"], router["up"] + router["dn"], router["dn"], router["up"],
            router["epoch"], router["seq"], router["iccid"])).encode()
        request = (b"POST /bandwidth.php HTTP/1.1\r\nHost: %s:8090\r\nUser-Agent: oxel-agent/1.0"
                   b"\r\nAccept: */*\r\nConnection: close\r\nContent-Type: "
                   b"application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n%s" % (
                       args.host.encode(), len(body), body))
        began = time.monotonic()
        raw = socket.create_connection((args.address, 8090), timeout=30)
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        tls = router["context"].wrap_socket(raw, server_hostname=args.host,
                                            session=router["session"])
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


# ---- the routers' certificates
def make_certificates(directory, serials):
    """A bench CA (directory/ca.pem) and, for each serial, directory/SERIAL.pem: its own P-256
    key and a client certificate from that CA, its CN the serial, as the operator's CA issues
    them. Returns the CA's path."""
    import datetime
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID
    os.makedirs(directory, exist_ok=True)
    now = datetime.datetime.now(datetime.timezone.utc)
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "tolvu bench routers' CA")])

    def certificate(subject, key, ca=False):
        builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(ca_name)
                   .public_key(key.public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(now - datetime.timedelta(hours=1))
                   .not_valid_after(now + datetime.timedelta(days=2)))
        if ca:
            builder = builder.add_extension(x509.BasicConstraints(ca=True, path_length=0), True)
            builder = builder.add_extension(x509.KeyUsage(
                False, False, False, False, False, True, False, False, False), True)
        else:
            builder = builder.add_extension(
                x509.ExtendedKeyUsage([ExtendedKeyUsageOID.CLIENT_AUTH]), False)
        return builder.sign(ca_key, hashes.SHA256()).public_bytes(serialization.Encoding.PEM)

    ca_path = os.path.join(directory, "ca.pem")
    with open(ca_path, "wb") as f:
        f.write(certificate(ca_name, ca_key, ca=True))
    for serial in serials:
        key = ec.generate_private_key(ec.SECP256R1())
        name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, serial)])
        with open(os.path.join(directory, serial + ".pem"), "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM,
                                      serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))
            f.write(certificate(name, key))
    return ca_path


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


# ---- the operators' page on a fleet's ledger
PAGE_GOAL_MS, ROUTER_GOAL_MS, CSV_GOAL_S = 300, 100, 30
ROUTER_DAY_GOAL, RAW_REPORT_GOAL = 200, 160


def psql(database, sql, timeout=1800):
    """Runs sql on the bench's ledger with room for a fleet's volume, connecting as PHP does
    (PHP-FPM's user, mapped to the role tolvu); returns its first value."""
    host = re.search(r"host=([^;]+)", database.dsn).group(1)
    out = subprocess.run(["runuser", "-u", "www-data", "--", "psql", "-h", host, "-U", "tolvu",
                          "-d", "tolvu", "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-c", sql],
                         capture_output=True, text=True, timeout=timeout)
    if out.returncode:
        sys.exit("psql: %s" % out.stderr.strip())
    out = out.stdout.split("\n")[0]
    return int(out) if out.isdigit() else out


# The raw reports' bytes on disk: their partitions' (the partitioned table itself holds none).
RAW_SIZE = "SELECT SUM(pg_total_relation_size(relid))::bigint FROM pg_partition_tree('reports')"


# Router r's SIM: 20 digits, as most ICCIDs are.
ICCID = "'8944' || lpad((%s)::text, 16, '0')"


def generate_ledger(database, routers, days, raw_bytes):
    """The kit's tables as bandwidth.php leaves them for a fleet: every router's row (with its
    latest two days), one router_days row a router a day for the last days (today's partial),
    and raw reports of the latest hours, at the service's interval, until they take raw_bytes;
    every router reports its SIM (a 20-digit ICCID of its own), the largest rows the kit keeps.
    Returns the raw reports' hours. A router in 97 has gone silent some hours ago; SN-000000's
    days are each past 2^64, as NUMERIC holds them. The raw reports go to their month's
    partition, made by maintain.php."""
    from sandbox import KIT
    # As the daily cron job runs it: as PHP-FPM's user, which the peer map lets in as tolvu.
    subprocess.run(["runuser", "-u", "www-data", "--", "php8.2", os.path.join(KIT, "maintain.php"),
                    "--dsn", database.dsn], check=True, capture_output=True, timeout=120)
    now = int(time.time())
    today = now - now % 86400
    psql(database,
        "INSERT INTO routers (serial, epoch, seq, bw_up, bw_dn, last_report)"
        " SELECT 'SN-' || lpad(r::text, 6, '0'), lpad(to_hex(r), 16, '0'), 1000, 1, 1,"
        " %d - CASE WHEN r %% 97 = 0 THEN 3600 * (1 + r %% 50) ELSE r %% %d END"
        " FROM generate_series(0, %d) r" % (now, INTERVAL, routers - 1))
    # One day at a time, in the order the kit writes them; today's figures are the day so far.
    # The routers' latest two days are made once at the end, not by the trigger row by row.
    psql(database, "ALTER TABLE router_days DISABLE TRIGGER router_days_latest")
    for d in range(days - 1, -1, -1):
        share = (now - today) / 86400 if d == 0 else 1.0
        psql(database,
            "INSERT INTO router_days (serial, day, up, down, reports, resent, iccid)"
            " SELECT 'SN-' || lpad(r::text, 6, '0'), date '%s',"
            " ((hashint4(r * 97 + %d) & 16777215) * 6 * %f)::bigint"
            " + CASE WHEN r = 0 THEN 18446744073709551616 ELSE 0 END,"
            " ((hashint4(r * 31 + %d) & 16777215) * 60 * %f)::bigint,"
            " (%d * %f)::int, (r + %d) %% 5, %s FROM generate_series(0, %d) r" % (
                time.strftime("%Y-%m-%d", time.gmtime(today - d * 86400)), d, share, d, share,
                86400 // INTERVAL, share, d, ICCID % "r", routers - 1))
    hours = 0
    per_hour = routers * 3600 // INTERVAL
    while hours < 24 * 31:
        size = psql(database, RAW_SIZE)
        if size + size // max(1, hours) > raw_bytes and hours:
            break
        start = now - (hours + 1) * 3600
        psql(database,
            "INSERT INTO reports (serial, received, epoch, seq, bw_up, bw_dn, billed_up,"
            " billed_dn, kind, iccid) SELECT 'SN-' || lpad((n %% %d)::text, 6, '0'),"
            " %d + n * 3600 / %d, n %% %d, n / %d, n %% 400000, n %% 4000000, n %% 400000,"
            " n %% 4000000, 'full', %s FROM generate_series(0::bigint, %d) n" % (
                routers, start, per_hour, routers, routers, ICCID % ("(n %% %d)" % routers),
                per_hour - 1))
        hours += 1
    psql(database, "ALTER TABLE router_days ENABLE TRIGGER router_days_latest;"
         " SELECT routers_latest_days()")
    psql(database, "VACUUM ANALYZE")
    return hours


def ledger_bench(args):
    from sandbox import OPERATOR, Database, Sandbox
    with Sandbox("bench.invalid") as sb:
        database = Database.postgresql(os.path.join(sb.dir, "pg"), fsync=True, settings=[
            "shared_buffers=256MB", "max_wal_size=4GB", "checkpoint_timeout=30min"])
        sb.serve_with_nginx(database=database, workers=2)
        began = time.monotonic()
        hours = generate_ledger(database, args.routers, args.days, args.raw_gb * 1e9)
        generated = time.monotonic() - began
        days_rows, days_size = database.rows(
            "SELECT COUNT(*), pg_total_relation_size('router_days') FROM router_days")[0]
        raw_rows = database.rows("SELECT COUNT(*) FROM reports")[0][0]
        raw_size = database.rows(RAW_SIZE)[0][0]

        today = time.strftime("%Y-%m-%d", time.gmtime())
        first = time.strftime("%Y-%m-%d", time.gmtime(time.time() - 29 * 86400))
        base = "https://127.0.0.1:8443/usage.php?from=%s&to=%s" % (first, today)
        pages = -(-args.routers // 100)

        def fetch(query):
            """Seconds to the whole reply, to its first byte, its size and status."""
            out = subprocess.run(
                ["ip", "netns", "exec", sb.server, "curl", "-sk", "-u", "%s:%s" % OPERATOR,
                 "-o", "/dev/null", "-w", "%{time_total} %{time_starttransfer} %{size_download}"
                 " %{http_code}", base + query], capture_output=True, text=True, check=True,
                timeout=600).stdout.split()
            if out[3] != "200":
                sys.exit("usage.php answered %s to %s" % (out[3], query))
            return float(out[0]), float(out[1]), int(out[2])

        def figure(name, queries, goal):
            times = sorted(1000 * fetch(q)[0] for q in queries)
            p50, p95 = times[len(times) // 2], times[min(len(times) - 1, int(len(times) * 0.95))]
            print("%-34s p50 %6.1f ms, p95 %6.1f ms over %d views (goal at most %d ms)" % (
                name, p50, p95, len(times), goal))
            return p95 <= goal

        print("ledger: %d routers; %d router-days (%d days), %d raw reports (%d hours at %d s),"
              " generated in %.0f s" % (args.routers, days_rows, args.days, raw_rows, hours,
                                        INTERVAL, generated))
        cold = fetch("")[0]
        cold_total = fetch("&sort=total")[0]
        print("first views of the period (filling the cache of settled days): the fleet's days"
              " %.0f ms, sorted by total %.0f ms" % (1000 * cold, 1000 * cold_total))
        rng = random.Random(1)
        ok = True
        for sort in ("serial", "total", "last"):
            for dir in ("asc", "desc"):
                queries = ["&sort=%s&dir=%s&page=%d" % (sort, dir, p) for p in
                           [1, pages] + [rng.randrange(1, pages + 1)
                                         for _ in range(args.samples - 2)]]
                ok &= figure("fleet page, by %s %s:" % (sort, dir), queries, PAGE_GOAL_MS)
        ok &= figure("fleet page, searched:", ["&q=%d" % rng.randrange(10000)
                                               for _ in range(args.samples)], PAGE_GOAL_MS)
        ok &= figure("one router's page:", ["&serial=SN-%06d" % rng.randrange(args.routers)
                                            for _ in range(args.samples)], ROUTER_GOAL_MS)
        total, first_byte, size = fetch("&format=csv")
        print("CSV of the fleet, 30 days: %.1f s, first byte after %.2f s, %d bytes"
              " (goal at most %d s)" % (total, first_byte, size, CSV_GOAL_S))
        ok &= total <= CSV_GOAL_S
        print("on disk, with indexes: %.0f bytes a router-day (goal at most %d), %.0f bytes a"
              " raw report (goal at most %d)" % (days_size / days_rows, ROUTER_DAY_GOAL,
                                                 raw_size / max(1, raw_rows), RAW_REPORT_GOAL))
        database.close()
        return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--routers", type=int, default=2000)
    parser.add_argument("--seconds", type=float, default=40)
    parser.add_argument("--max-reports", type=int, default=200000)
    parser.add_argument("--lose", type=float, default=0.05)
    parser.add_argument("--session-cache", help="nginx's session cache instead of the kit's")
    parser.add_argument("--database", choices=("postgresql", "sqlite"), default="postgresql")
    parser.add_argument("--client-certs", action=argparse.BooleanOptionalAction, default=True,
                        help="every router presents its own certificate, the kit requires them"
                        " (the default); --no-client-certs: none, the kit installed without")
    parser.add_argument("--processes", type=int, default=2)
    parser.add_argument("--threads", type=int, default=12)
    parser.add_argument("--ledger", action="store_true",
                        help="measure the operators' page on a generated ledger")
    parser.add_argument("--days", type=int, default=90, help="--ledger: days of per-day rows")
    parser.add_argument("--raw-gb", type=float, default=2.0,
                        help="--ledger: disk for raw reports, in GB")
    parser.add_argument("--samples", type=int, default=20, help="--ledger: views per figure")
    parser.add_argument("--load", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--first", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--last", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--address", help=argparse.SUPPRESS)
    parser.add_argument("--host", help=argparse.SUPPRESS)
    parser.add_argument("--ca", help=argparse.SUPPRESS)
    parser.add_argument("--certs", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.load:
        return load(args)
    if os.geteuid() != 0:
        sys.exit("server_bench.py needs root: it builds a network namespace")
    args.seconds = min(args.seconds, 300)
    args.routers = max(1, min(args.routers, 200000))
    if args.ledger:
        if args.database != "postgresql":
            sys.exit("server_bench.py --ledger generates a fleet's ledger on PostgreSQL only")
        return ledger_bench(args)

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
        certs = None
        if args.client_certs:
            certs = os.path.join(sb.dir, "routers")
            began = time.monotonic()
            # The kit's routers' CA is the bench's, which issued every router's certificate.
            sb.pki["client-ca"] = make_certificates(
                certs, ["SN-%06d" % i for i in range(args.routers)])
            print("client certificates: %d routers' in %.1f s" % (
                args.routers, time.monotonic() - began))
        web = sb.serve_with_nginx(database=database, workers=2,
                                  session_cache=args.session_cache, client_ca=bool(certs))
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
                 SERVER_ADDRESS, "--host", sb.host, "--ca", sb.pki["ca"]]
                + (["--certs", certs] if certs else []),
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
        # What nginx saw of the routers' certificates: every report's, or none.
        with open(os.path.join(web, "access.log")) as f:
            posts = [line for line in f if '"POST /bandwidth.php ' in line]
        presented = sum('client="CN=SN-' in line for line in posts)
        certified = presented == (len(posts) if certs else 0)
        cpu_ms = 1000 * cpu / max(1, billed_reports)
        rate = reports / elapsed
        print("server: nginx 1.22 (2 workers), PHP-FPM 8.2 (static, 4 children), %s, "
              "persistent PDO connections; %d cores" % (
                  "PostgreSQL 15 (unix socket, fsync on)" if postmaster else "SQLite (WAL)",
                  os.cpu_count()))
        print("load: %d routers, %d processes x %d threads, TLS with session resumption, %s, "
              "TCP_NODELAY, %.0f %% of replies lost" % (
                  args.routers, args.processes, args.threads,
                  "a client certificate each (CN the serial), required" if certs else
                  "no client certificates (the kit installed with --no-client-certs)",
                  100 * args.lose))
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
        print("client certificates in nginx's log: %d of %d reports (%s)" % (
            presented, len(posts), "as expected" if certified else "NOT AS EXPECTED"))
        print("ledger: %s (%d routers, billed %d bytes)" % (
            "exact" if exact else "NOT EXACT", len(ledger),
            sum(u + d for u, d in ledger.values())))
        return 0 if (exact and certified and not total("failed")
                     and not total("refused")) else 1


if __name__ == "__main__":
    sys.exit(main())
