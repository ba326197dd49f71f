"""The operator's kit (server/) as operators deploy it, with server/install: nginx, PHP-FPM and
bandwidth.php on SQLite and on a PostgreSQL cluster of the test's own, laid out as Debian's (peer
authentication, PHP-FPM's user mapped to the ledger's role), with two front ends on it. The
routers' endpoint asks for client certificates, and the router presents its own. With
report_id on, every byte is billed once though a third of the replies are lost after the
commit, across a restart and a reboot; copies of one report arriving at once, at one front end
or at two, are billed once; bad input is refused and recorded nowhere; a
database that fails answers 503 without the marker; and usage.php shows, charts and exports the
ledger's own figures to a real browser, behind a password; and an earlier kit's ledger, installed
over, goes on billing and showing its figures exactly.

The router's side of nginx is covered on every stack by test_nginx.py; this suite adds nothing
there, so it runs on the host stack only."""

import contextlib
import csv
import html
import os
import re
import shutil
import sqlite3
import subprocess
import time

import pytest

from conftest import ROUTER_STACK, WRAP, start
from sandbox import KIT, OPERATOR, Database
from test_accounting import accepted_reports

pytestmark = pytest.mark.skipif(
    ROUTER_STACK or WRAP or os.environ.get("TOLVU_SANITIZED") == "1"
    or not all(os.path.exists(p) for p in ("/usr/sbin/nginx", "/usr/sbin/php-fpm8.2",
                                           Database.PG_BIN, "/usr/bin/chromium")),
    reason="the server kit runs once, on the host stack, with nginx, PHP-FPM, PostgreSQL "
           "and chromium")

BACKEND = "https://127.0.0.1:18090/bandwidth.php"  # nginx behind the cutting proxy
PAGE = "https://127.0.0.1:8443/usage.php"
DAY = 86400


def in_server(sb, *args, timeout=60):
    return subprocess.run(["ip", "netns", "exec", sb.server] + list(args), capture_output=True,
                          text=True, timeout=timeout, check=True).stdout


def post(sb, body):
    return in_server(sb, "curl", "-sk", "-o", "-", "-w", " %{http_code}", "--data", body, BACKEND)


def page(sb, query, *curl):
    """The page's status and body, as the operator."""
    out = in_server(sb, "curl", "-sk", "-u", "%s:%s" % OPERATOR, "-w", " %{http_code}", *curl,
                    PAGE + query)
    body, _, status = out.rpartition(" ")
    return int(status), body


def maintain(sb, db, *args):
    """server/maintain.php on the ledger, as the daily cron job runs it (as www-data, which
    PostgreSQL's peer map lets in as tolvu); its output."""
    done = subprocess.run(["runuser", "-u", "www-data", "--", "php8.2",
                           os.path.join(KIT, "maintain.php"), "--dsn", db.dsn] + list(args),
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


@contextlib.contextmanager
def held_lock(db, serial):
    """Another transaction holding serial's row (PostgreSQL) or the whole ledger (SQLite)."""
    if db.dsn.startswith("sqlite:"):
        holder = sqlite3.connect(db.dsn[len("sqlite:"):], isolation_level=None)
        holder.execute("BEGIN IMMEDIATE")
        try:
            yield
        finally:
            holder.execute("ROLLBACK")
            holder.close()
        return
    host = re.search(r"host=([^;]+)", db.dsn).group(1)
    name = re.search(r"dbname=([^;]+)", db.dsn).group(1)
    holder = subprocess.Popen(["runuser", "-u", "www-data", "--", "psql", "-h", host, "-U",
                               "tolvu", "-d", name, "-X", "-q", "-At"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    holder.stdin.write("BEGIN; SELECT serial FROM routers WHERE serial = '%s' FOR UPDATE;\n"
                       % serial)
    holder.stdin.flush()
    assert holder.stdout.readline().strip() == serial
    try:
        yield
    finally:
        holder.communicate("ROLLBACK;\n", timeout=30)


def sums(db, where="1 = 1"):
    return list(db.rows("SELECT COALESCE(SUM(billed_up), 0), COALESCE(SUM(billed_dn), 0),"
                        " COUNT(*) FROM reports WHERE " + where)[0])


@pytest.mark.parametrize("database,report_id", [("sqlite", "1"), ("postgresql", "1"),
                                                ("sqlite", "0")])
def test_every_byte_billed_once(sandbox, database, report_id):
    sb = sandbox
    db = Database.postgresql(os.path.join(sb.dir, "pg")) if database == "postgresql" else None
    # The routers' endpoint as installed by default: a certificate from the operator's CA asked
    # of every router, the router's own presented (its CN its serial).
    sb.serve_with_nginx(database=db, cut_every=3, client_ca=True)
    db = sb.database
    month = time.strftime("%Y_%m", time.gmtime())
    # server/install ran the maintenance once: this month's partition is there already.
    assert ("" if database == "postgresql" else "deleted 0 reports") in maintain(sb, db)
    if database == "postgresql":
        assert db.rows("SELECT to_regclass('reports_%s')::text" % month) == [
            ("reports_" + month,)]
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure(interval=600, report_id=report_id,
                 client_cert=sb.install_tls_file("client.pem", sb.pki["client_cert"], 0o644),
                 client_key=sb.install_tls_file("client.key", sb.pki["client_key"]))
    truth = [0, 0]

    def reports(service, count, size):
        for _ in range(count):
            sb.push_traffic("eth1", 6, size)
            service.cycle_now(sb.state_file())

    # 30 reports and one at each start: 12, a restart, 9, a reboot (a clean stop first), 9.
    service = start(sb)
    reports(service, 12, 700)
    assert service.terminate() == 0
    service = start(sb)
    reports(service, 9, 900)
    assert service.terminate() == 0
    truth = list(sb.counters("eth1"))
    sb.reboot("eth1")
    sb.set_default_route("eth1")
    service = start(sb)
    reports(service, 9, 1100)
    assert service.terminate() == 0
    last = accepted_reports(service.out)[-1]
    truth = [truth[0] + last[0], truth[1] + last[1]]

    connections, cut = sb.cut_connections()
    rows = db.rows("SELECT billed_up, billed_dn, bw_up, bw_dn, kind FROM reports ORDER BY id")
    assert len(rows) == connections == 33 and cut == list(range(2, 34, 3)), (len(rows), cut)
    assert db.rows("SELECT client FROM routers") == [("CN=SN-0042",)]
    billed = sums(db)[:2]
    print("%s, report_id %s: billed %s, carried %s" % (database, report_id, billed, truth))
    if report_id == "0":
        # At least once: ahead by exactly the figures of the reports whose replies were lost.
        lost = [sum(rows[n - 1][k] for n in cut) for k in (2, 3)]
        assert [b - t for b, t in zip(billed, truth)] == lost and all(r[4] == "plain"
                                                                       for r in rows)
        return
    # Exactly once: each lost reply's report came again with the same seq, billed by growth.
    assert billed == truth
    assert [r[4] for r in rows].count("resent") == len(cut)

    # The same ledger, turned back into the layout before SIMs, behind the kit installed again
    # without client certificates (for the reports below, which name serials of their own): the
    # SIM's columns added, every row kept, its days billed to no SIM.
    kept = db.rows("SELECT serial, day, up, down, reports, resent FROM router_days")
    if database == "postgresql":
        db.rows("ALTER TABLE reports DROP COLUMN iccid; ALTER TABLE router_days DROP COLUMN"
                " iccid; ALTER TABLE router_days ADD PRIMARY KEY (serial, day);"
                " DROP TABLE left_epochs")
    else:
        db.rows("ALTER TABLE reports DROP COLUMN iccid")
        db.rows("DROP TABLE left_epochs")
        db.rows("CREATE TABLE old (serial TEXT NOT NULL, day TEXT NOT NULL, up NOT NULL DEFAULT 0,"
                " down NOT NULL DEFAULT 0, reports INTEGER NOT NULL DEFAULT 0, resent INTEGER"
                " NOT NULL DEFAULT 0, PRIMARY KEY (serial, day))")
        db.rows("INSERT INTO old SELECT serial, day, up, down, reports, resent FROM router_days")
        db.rows("DROP TABLE router_days")
        db.rows("ALTER TABLE old RENAME TO router_days")
    sb.serve_with_nginx(cut_every=3)
    assert db.rows("SELECT serial, day, up, down, reports, resent FROM router_days") == kept
    assert db.rows("SELECT COUNT(*) FROM router_days WHERE iccid = ''") == [(len(kept),)]
    assert db.rows("SELECT COUNT(*) FROM reports WHERE iccid IS NULL") == [(len(rows),)]

    # The same report from 8 clients at once is billed once; the other 7 are caught. Later
    # copies of it bill only what they hold beyond the largest copy billed, so a late smaller
    # one bills nothing and lowers nothing.
    race = ("serial=SN-RACE&bw_tot=3000&bw_dn=2000&bw_up=1000&epoch=00000000000000aa&seq=1")
    replies = in_server(sb, "sh", "-c", 'for i in 1 2 3 4 5 6 7 8; do curl -sk --data "$1" "$2"'
                        ' & done; wait', "sh", race, BACKEND).split()
    assert replies == ["ACCEPTED"] * 8
    assert sums(db, "serial = 'SN-RACE'") == [1000, 2000, 8]
    assert db.rows("SELECT kind, COUNT(*) FROM reports WHERE serial = 'SN-RACE' GROUP BY kind"
                   " ORDER BY kind") == [("full", 1), ("resent", 7)]
    for up, dn in [(600, 1500), (1050, 2100)]:
        assert post(sb, race.replace("3000&bw_dn=2000&bw_up=1000", "%d&bw_dn=%d&bw_up=%d" % (
            up + dn, dn, up))) == "ACCEPTED\n 200"
    assert sums(db, "serial = 'SN-RACE'") == [1050, 2100, 10]
    assert db.rows("SELECT bw_up, bw_dn FROM routers WHERE serial = 'SN-RACE'") == [(1050, 2100)]

    # A SIM swap: SIM A's line of books (epoch ...e1) to its last report, whose lost reply
    # brings a copy, then SIM B's (...e2, its ICCID's filler f read as F). A copy of A's last
    # report coming late, after B's first was accepted, bills nothing: the router never goes
    # back to a line it left.
    sim_a, sim_b = "89440000000000000017", "8944000000000000002F"
    swap = "serial=SN-SIM&bw_tot=%d&bw_dn=%d&bw_up=%d&epoch=00000000000000%s&seq=%d&iccid=%s"
    for up, dn, epoch, seq, iccid, kind in [
            (100, 1000, "e1", 1, sim_a, "full"), (200, 2000, "e1", 2, sim_a, "full"),
            (200, 2000, "e1", 2, sim_a, "resent"), (300, 3000, "e2", 1, "8944000000000000002f",
                                                    "full"),
            (200, 2000, "e1", 2, sim_a, "old"), (300, 3000, "e2", 1, sim_b, "resent"),
            (50, 500, "e2", 2, sim_b, "full")]:
        assert post(sb, swap % (up + dn, dn, up, epoch, seq, iccid)) == "ACCEPTED\n 200"
        # ("#" keeps the ICCID text in what psql gives back.)
        assert db.rows("SELECT kind, '#' || iccid FROM reports ORDER BY id DESC LIMIT 1") == [
            (kind, "#" + iccid.upper())]
    sims = [(sim_a, 300, 3000, 4), (sim_b, 350, 3500, 3)]
    assert db.rows("SELECT '#' || iccid, SUM(billed_up), SUM(billed_dn), COUNT(*) FROM reports"
                   " WHERE serial = 'SN-SIM' GROUP BY iccid ORDER BY iccid") \
        == db.rows("SELECT '#' || iccid, up, down, reports FROM router_days WHERE"
                   " serial = 'SN-SIM' ORDER BY iccid") == [("#" + s[0],) + s[1:] for s in sims]
    today = time.strftime("%Y-%m-%d", time.gmtime())
    status, body = page(sb, "?serial=SN-SIM")
    assert status == 200 and re.findall(
        r'<tr data-iccid="(\d+F?)">.*?"n up">(\d+)<.*?"n down">(\d+)<.*?"n total">(\d+)<'
        r'.*?"n reports">(\d+)<.*?"first">([\d-]+)<.*?"last">([\d-]+)<', body, re.S) == [
        (i, str(u), str(d), str(u + d), str(n), today, today) for i, u, d, n in sims], body
    assert re.search(r'class="total" data-total="7150"', body)
    status, table = page(sb, "?serial=SN-SIM&format=csv")
    assert status == 200 and list(csv.reader(table.splitlines())) == [
        ["serial", "day (UTC)", "up", "down", "total", "reports", "resends caught", "iccid"],
        ["SN-SIM", today, "300", "3000", "3300", "4", "2", sim_a],
        ["SN-SIM", today, "350", "3500", "3850", "3", "1", sim_b]], table

    if database == "postgresql":
        # Two front ends on the one database, each deployed by server/install (the second run
        # on a database already set up, as a fleet's second front end is): copies of one report
        # reaching both at once are billed once.
        sb.add_front_end("web2", 28090, 28443)
        second = BACKEND.replace(":18090/", ":28090/")
        two = race.replace("SN-RACE", "SN-TWO")
        replies = in_server(sb, "sh", "-c", 'for i in 1 2 3 4; do curl -sk --data "$1" "$2" &'
                            ' curl -sk --data "$1" "$3" & done; wait', "sh", two, BACKEND,
                            second).split()
        assert replies == ["ACCEPTED"] * 8
        assert sums(db, "serial = 'SN-TWO'") == [1000, 2000, 8]
        assert db.rows("SELECT kind, COUNT(*) FROM reports WHERE serial = 'SN-TWO' GROUP BY kind"
                       " ORDER BY kind") == [("full", 1), ("resent", 7)]
        # Its row keeps its latest two days for the page's sort by total, each day's total
        # taken up to 2^60: a new day moves the latest before it; a front end whose clock is
        # behind bills the day before, or puts a day between the two in its place; and
        # router_days gives the same again.
        latest = lambda: db.rows(  # noqa: E731
            "SELECT day::text, day_key, prev_day::text, prev_key FROM routers"
            " WHERE serial = 'SN-TWO'")[0]
        assert latest() == (today, 3000, None, 0)
        day = lambda n: time.strftime("%Y-%m-%d", time.gmtime(time.time() + n * DAY))  # noqa
        db.rows("UPDATE routers SET day = '%s' WHERE serial = 'SN-TWO'" % day(-1))
        big = two.replace("3000&bw_dn=2000&bw_up=1000", "%d&bw_dn=0&bw_up=%d" % (2**62, 2**62))
        assert post(sb, big.replace("seq=1", "seq=2")) == "ACCEPTED\n 200"
        assert latest() == (today, 2**60, day(-1), 3000)
        db.rows("UPDATE routers SET day = '%s', day_key = 1, prev_day = '%s', prev_key = 10"
                " WHERE serial = 'SN-TWO'" % (day(1), today))
        assert post(sb, "serial=SN-TWO&bw_tot=7&bw_dn=0&bw_up=7&epoch=00000000000000aa&seq=3") \
            == "ACCEPTED\n 200"
        assert latest() == (day(1), 1, today, 17)
        db.rows("UPDATE routers SET prev_day = '%s' WHERE serial = 'SN-TWO'" % day(-1))
        assert post(sb, "serial=SN-TWO&bw_tot=7&bw_dn=0&bw_up=7&epoch=00000000000000aa&seq=4") \
            == "ACCEPTED\n 200"
        assert latest() == (day(1), 1, today, 7)
        db.rows("SELECT routers_latest_days()")
        assert latest() == (today, 2**60, None, 0)
        # Installed twice, the cluster has one map line, before the rule it must precede.
        with open(os.path.join(db.socket, "data", "pg_hba.conf")) as f:
            rules = [line.split() for line in f if line.strip() and not line.startswith("#")]
        assert [r for r in rules if "map=tolvu" in r] == [["local", "tolvu", "tolvu", "peer",
                                                            "map=tolvu"]] == rules[:1], rules

    # Bad input: refused with a reason, recorded nowhere.
    count = sums(db)
    for body, why in [
            ("serial=SN-1&bw_tot=3&bw_up=1", "no bw_dn"),
            ("serial=SN-1&bw_tot=9223372036854775808&bw_dn=9223372036854775808&bw_up=0",
             "bw_dn is not a decimal integer from 0 to 2^63 - 1"),
            ("serial=SN-1&bw_tot=3&bw_dn=2&bw_up=-1",
             "bw_up is not a decimal integer from 0 to 2^63 - 1"),
            ("serial=SN-1&bw_tot=4&bw_dn=2&bw_up=1", "bw_tot is not bw_up + bw_dn"),
            ("serial=%s&bw_tot=3&bw_dn=2&bw_up=1" % ("S" * 128), "the serial is over 127 bytes"),
            ("serial=SN-1&bw_tot=3&bw_dn=2&bw_up=1&epoch=0123456789abcde&seq=1",
             "the epoch is not 16 hex digits"),
            ("serial=SN-1&bw_tot=3&bw_dn=2&bw_up=1&epoch=0123456789abcdef", "epoch and seq go "
             "together"),
            # Read from the raw body: a field twice (PHP would bill the last), "bw.up" (PHP
            # would read it as bw_up).
            ("serial=SN-1&serial=SN-2&bw_tot=3&bw_dn=2&bw_up=1", "serial is given twice"),
            ("serial=SN-1&bw_tot=3&bw_dn=2&bw_up=1&epoch=0123456789abcdef&epoch=0123456789abcdee"
             "&seq=1", "epoch is given twice"),
            ("serial=SN-1&bw_tot=3&bw_dn=2&bw.up=1", "no bw_up"),
            ("serial=SN%FF&bw_tot=3&bw_dn=2&bw_up=1", "the serial is not UTF-8"),
            ("serial=SN%C2%85&bw_tot=3&bw_dn=2&bw_up=1",
             "the serial holds a control or format character (U+0085)"),
            ("serial=SN%C2%9B1&bw_tot=3&bw_dn=2&bw_up=1",
             "the serial holds a control or format character (U+009B)"),
            ("serial=RTL%E2%80%AEgnp.exe&bw_tot=3&bw_dn=2&bw_up=1",
             "the serial holds a control or format character (U+202E)"),
            ("serial=SN-1&bw_tot=3&bw_dn=2&bw_up=1&iccid=89440000000000001",
             "the iccid is not 18 to 22 digits (and perhaps a final F)"),
            ("serial=SN-1&bw_tot=3&bw_dn=2&bw_up=1&iccid=894400000000000000123F0",
             "the iccid is not 18 to 22 digits (and perhaps a final F)"),
            ("serial=SN-1&bw_tot=3&bw_dn=2&bw_up=1&iccid=", "the iccid is not 18 to 22 digits"
             " (and perhaps a final F)"),
            ("serial=SN-1&bw_tot=3&bw_dn=2&bw_up=1&iccid=8944000000000000001X",
             "the iccid is not 18 to 22 digits (and perhaps a final F)"),
            ("serial=SN-1&bw_tot=3&bw_dn=2&bw_up=1&iccid=89440000000000000017&iccid="
             "89440000000000000025", "iccid is given twice")]:
        assert post(sb, body) == "REFUSED: %s\n 200" % why, body
    multipart = in_server(sb, "curl", "-sk", "-w", " %{http_code}", *[
        a for f in ("serial=SN-1", "bw_tot=3", "bw_dn=2", "bw_up=1") for a in ("-F", f)], BACKEND)
    assert multipart == "REFUSED: the body is not application/x-www-form-urlencoded\n 200"
    assert sums(db) == count

    # A lock held elsewhere: the report answers 503 without the marker and is billed once the
    # lock is gone. On PostgreSQL the lock is one router's row, and reports stuck behind it (as
    # many as PHP-FPM has workers) leave other routers' reports billed meanwhile.
    stuck = "serial=SN-RACE&bw_tot=6&bw_dn=4&bw_up=2&epoch=00000000000000aa&seq=2"
    with held_lock(db, "SN-RACE"):
        if database == "postgresql":
            waiting = subprocess.Popen(
                ["ip", "netns", "exec", sb.server, "sh", "-c", 'for i in 1 2 3 4; do (r=$(curl'
                 ' -sk -m 60 -w " %{http_code}" --data "$1" "$2"); echo $r) & done; wait', "sh",
                 stuck, BACKEND], stdout=subprocess.PIPE, text=True)
            assert post(sb, "serial=SN-OTHER&bw_tot=3&bw_dn=2&bw_up=1") == "ACCEPTED\n 200"
            replies = [r for r in waiting.communicate(timeout=90)[0].splitlines() if r]
        else:
            replies = [post(sb, stuck).replace("\n", "")]
        assert replies == ["not billed, try again 503"] * len(replies), replies
    assert post(sb, stuck) == "ACCEPTED\n 200"
    assert sums(db, "serial = 'SN-RACE'") == [1052, 2104, 11]

    # The page's parameters: anything but text, a date or a serial is 400 (not a 500 or 503).
    for query in ("?to=2024-02-29%00", "?from[]=2024-01-01", "?serial=%FF", "?format=xml",
                  "?serial=" + "S" * 128, "?q=%FF", "?q[]=S", "?sort=size", "?dir=up",
                  "?page=0", "?page=x"):
        assert page(sb, query)[0] == 400, query

    def past_int63_and_a_drop():
        # One router past 2^63 - 1 in a day: exact on the page and in the CSV, in units of 1000.
        for _ in range(2):
            assert post(sb, "serial=SN-0&bw_tot=%d&bw_dn=%d&bw_up=0" % (2**63 - 1, 2**63 - 1)) \
                == "ACCEPTED\n 200"
        status, table = page(sb, "?format=csv")
        assert status == 200 and "SN-0,0,%d,%d," % (2**64 - 2, 2**64 - 2) in table, table
        status, body = page(sb, "")
        assert status == 200 and "<td>18.44 EB</td>" in body.replace('<td class="n">', "<td>")
        assert db.rows("SELECT CAST(down AS TEXT) FROM router_days WHERE serial = 'SN-0'") \
            in ([(2**64 - 2,)], [(str(2**64 - 2),)])
        # Each router's days are the sums of its reports.
        days = "SELECT serial, SUM(up), SUM(down), SUM(reports), SUM(resent) FROM router_days" \
            " WHERE serial <> 'SN-0' GROUP BY serial ORDER BY serial"
        raw = ("SELECT serial, SUM(billed_up), SUM(billed_dn), COUNT(*), SUM(CASE WHEN kind IN"
               " ('resent', 'old') THEN 1 ELSE 0 END) FROM reports WHERE serial <> 'SN-0'"
               " GROUP BY serial ORDER BY serial")
        kept = db.rows(days)
        assert kept == db.rows(raw)
        if database == "sqlite":  # reports within the retention are kept
            assert "deleted 0 reports" in maintain(sb, db) and db.rows(raw) == kept
        # The raw reports' month past the retention: dropped in whole (PostgreSQL: its
        # partition), the days kept, and billing as exact as before.
        now = time.gmtime()
        later = "%04d-%02d-01" % (now.tm_year + (now.tm_mon + 1) // 12, (now.tm_mon + 1) % 12 + 1)
        done = maintain(sb, db, "--now", later, "--retention-days", "1")
        assert ("dropped reports_%04d_%02d" % (now.tm_year, now.tm_mon) in done
                if database == "postgresql" else "deleted " in done), done
        assert sums(db) == [0, 0, 0] and db.rows(days) == kept
        assert post(sb, stuck) == "ACCEPTED\n 200"
        assert post(sb, stuck.replace("seq=2", "seq=3")) == "ACCEPTED\n 200"
        assert sums(db, "serial = 'SN-RACE'") == [2, 4, 2]
        if database == "postgresql":  # this month's reports waited in the default partition
            assert "made reports_%s (2 reports moved from reports_default)" % month \
                in maintain(sb, db)
            assert sums(db, "serial = 'SN-RACE'") == [2, 4, 2]
        assert db.rows(days.replace("<> 'SN-0'", "= 'SN-RACE'")) == [("SN-RACE", 1054, 2108, 13,
                                                                      10)]

    # A serial that a spreadsheet would take for a formula, with a quote and a backslash, is
    # billed. The page's CSV bills what the ledger billed, report by report, and keeps that
    # serial one text cell; without the password there is nothing but 401.
    odd = '=SUM(1)\\",9,"'
    assert post(sb, "serial=%3DSUM(1)%5C%22,9,%22&bw_tot=3&bw_dn=2&bw_up=1") == "ACCEPTED\n 200"
    query = "?from=%s&to=%s" % (time.strftime("%Y-%m-%d", time.gmtime(time.time() - DAY)),
                                time.strftime("%Y-%m-%d", time.gmtime()))
    status, table = page(sb, query + "&format=csv")
    rows = list(csv.reader(table.splitlines()))
    assert status == 200 and rows[0][:6] == ["serial", "up", "down", "total", "reports",
                                             "resends caught"] and rows[0][8] == "iccid", table
    # A row a router and SIM ('' for none).
    ledger = {(s, (i or "#")[1:]): [u, d, u + d, n, c] for s, i, u, d, n, c in db.rows(
        "SELECT serial, '#' || iccid, SUM(billed_up), SUM(billed_dn), COUNT(*), SUM(CASE WHEN kind IN"
        " ('resent', 'old') THEN 1 ELSE 0 END) FROM reports GROUP BY serial, iccid")}
    assert {(r[0], r[8]): [int(v) for v in r[1:6]] for r in rows[1:]} \
        == {(("'" if s == odd else "") + s, i): v for (s, i), v in ledger.items()} \
        and (odd, "") in ledger and len(rows) == len(ledger) + 1
    assert ledger["SN-0042", ""][:2] == truth and ("SN-SIM", sim_b) in ledger
    for credentials in ([], ["-u", "%s:wrong" % OPERATOR[0]]):
        assert in_server(sb, "curl", "-sk", "-o", "/dev/null", "-w", "%{http_code}",
                         *credentials, PAGE + query) == "401"

    if database == "postgresql":
        past_int63_and_a_drop()
        # The database gone: 503 without the marker, and nothing billed (the router sends again).
        # Back, every worker bills again at once: a dead persistent connection is replaced.
        db.close()
        again = race.replace("seq=1", "seq=4")
        reply = post(sb, again)
        assert reply.endswith(" 503") and "ACCEPTE" not in reply, reply
        db.restart()
        replies = in_server(sb, "sh", "-c", 'for i in 1 2 3 4 5 6; do curl -sk --data'
                            ' "serial=SN-BACK$i&bw_tot=3&bw_dn=2&bw_up=1" "$1" & done; wait',
                            "sh", BACKEND).split()
        assert replies == ["ACCEPTED"] * 6
        return

    past_int63_and_a_drop()


def browse(sb, query, screenshot=None):
    """The page's DOM as headless Chromium built it, as the operator; with screenshot, a PNG of
    the page at that path instead."""
    url = PAGE.replace("https://", "https://%s:%s@" % OPERATOR) + query
    args = ["chromium", "--headless", "--no-sandbox", "--ignore-certificate-errors",
            "--user-data-dir=" + os.path.join(sb.dir, "chromium"), "--hide-scrollbars"]
    if screenshot is None:
        return in_server(sb, *args, "--dump-dom", url)
    in_server(sb, *args, "--window-size=1280,1500", "--screenshot=" + screenshot, url)
    with open(screenshot, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    if os.environ.get("TOLVU_SCREENSHOTS"):
        shutil.copyfile(screenshot, os.path.join(os.environ["TOLVU_SCREENSHOTS"],
                                                 os.path.basename(screenshot)))


def fleet_rows(dom):
    """The fleet table's rows: [serial, silent, up, down, total, reports, resends]."""
    return [[html.unescape(m[0]), m[1] != "", int(m[2]), int(m[3]), int(m[4]), int(m[5]),
             int(m[6])] for m in re.findall(
        r'<tr data-serial="([^"]+)"( class="silent")?>.*?"n up">(\d+)<.*?"n down">(\d+)<'
        r'.*?"n total">(\d+)<.*?"n reports">(\d+)<.*?"n resends">(\d+)<', dom, re.S)]


def chart_days(dom, chart):
    """A chart's slots, one a day: [(day, total, has a bar)]."""
    svg = re.search(r'<svg id="%s".*?</svg>' % chart, dom, re.S).group(0)
    return [(d, int(t), "<rect class=\"bar\"" in body) for d, t, body in re.findall(
        r'<g class="day[^"]*" data-day="([\d-]+)" data-total="(\d+)">(.*?)</g>', svg, re.S)]


@pytest.mark.parametrize("database", ["sqlite", "postgresql"])
def test_fleet_page(sandbox, database):
    """A fleet of 250 routers over 14 days, written as bandwidth.php writes router_days: one
    router past 2^66 in total (4 days past 2^64), 11 silent, days without traffic. The page in
    Chromium, as it fills and then reads its cache of settled days, and the CSV, equal the
    ledger's exact sums."""
    sb = sandbox
    db = Database.postgresql(os.path.join(sb.dir, "pg")) if database == "postgresql" else None
    sb.serve_with_nginx(database=db)
    db = sb.database
    now = int(time.time())
    days = [time.strftime("%Y-%m-%d", time.gmtime(now - (13 - d) * DAY)) for d in range(14)]
    big, odd = "SN-BIG", '=SUM(1)\\",9,"'
    serials = ["SN-%04d" % i for i in range(248)] + [big, odd]
    silent = {s for i, s in enumerate(serials) if i % 23 == 0}
    ledger = {}  # (serial, day, iccid): [up, down, reports, resent]
    for i, s in enumerate(serials):
        for d, day in enumerate(days):
            if s == big and d % 4 == 1:
                ledger[s, day, ""] = [2**64 + d, 2**63 - 1, 400, 0]
            elif s != big and (i * 7 + d) % 5:
                ledger[s, day, ""] = [(i * 1000003 + d * 7919) % 10**9,
                                      (i * 7919 + d * 1000003) % 10**10, 300 + i % 60, d % 3]
    # SN-0042 also reported two SIMs, on days it had traffic without one: a settled day and
    # today, each two rows of the router's day.
    sim_a, sim_b = "89440000000000000017", "8944000000000000002F"
    ledger["SN-0042", days[3], sim_a] = [3 * 10**10, 4 * 10**10, 50, 1]
    ledger["SN-0042", days[-1], sim_b] = [5 * 10**10, 6 * 10**10, 20, 0]
    quote = lambda text: "'%s'" % text.replace("'", "''")  # noqa: E731
    db.rows("INSERT INTO routers (serial, last_report) VALUES " + ", ".join(
        "(%s, %d)" % (quote(s), now - (3 * 3600 if s in silent else i % 200))
        for i, s in enumerate(serials)))
    # A figure as the kit keeps it: NUMERIC on PostgreSQL; on SQLite an integer, its decimal
    # text past 2^63 - 1.
    figure = lambda n: quote(str(n)) if database == "sqlite" and n >= 2**63 else str(n)  # noqa
    values = ["(%s, '%s', '%s', %s, %s, %d, %d)" % (quote(s), day, iccid, figure(f[0]),
                                                   figure(f[1]), f[2], f[3])
              for (s, day, iccid), f in ledger.items()]
    for n in range(0, len(values), 1000):
        db.rows("INSERT INTO router_days (serial, day, iccid, up, down, reports, resent) VALUES "
                + ", ".join(values[n:n + 1000]))

    def expected():
        totals = {s: [0, 0, 0, 0] for s in serials}
        fleet = {day: 0 for day in days}
        for (s, day, _), f in ledger.items():
            totals[s] = [a + b for a, b in zip(totals[s], f)]
            fleet[day] += f[0] + f[1]
        return ({s: [s in silent, t[0], t[1], t[0] + t[1], t[2], t[3]]
                 for s, t in totals.items()}, fleet)
    routers, fleet = expected()
    period = "?from=%s&to=%s" % (days[0], days[-1])
    row = lambda s: [s] + routers[s]  # noqa: E731

    # By serial: three pages, the silent routers first; the fleet's chart has a slot every day.
    order = sorted(serials, key=lambda s: (s not in silent, s))
    dom = browse(sb, period)
    assert fleet_rows(dom) == [row(s) for s in order[:100]]
    assert 'id="routers">250<' in dom and 'id="silent" class="silent">11<' in dom
    assert "page 1 of 3" in dom and chart_days(dom, "fleet-chart") == [
        (day, fleet[day], fleet[day] > 0) for day in days]
    assert re.search(r'id="fleet-total" data-total="%d">' % sum(fleet.values()), dom)
    assert fleet_rows(browse(sb, period + "&page=3")) == [row(s) for s in order[200:]]

    # By total, largest first (the silent ones still first): the router past 2^66 leads the
    # others, exact. The first view fills the cache of settled days that the next ones read.
    order = sorted(serials, key=lambda s: (s in silent, routers[s][3], s), reverse=True)
    assert order[11] == big and routers[big][3] > 2**66
    assert fleet_rows(browse(sb, period + "&sort=total")) == [row(s) for s in order[:100]]
    browse(sb, period + "&sort=total", screenshot=os.path.join(sb.dir, "fleet-%s.png" % database))

    # By last report, the latest first; a search for part of a serial, in any case.
    dom = browse(sb, period + "&sort=last&dir=desc")
    assert [r[0] for r in fleet_rows(dom)][:11] == sorted(silent, reverse=True)
    lasts = [int(x) for x in re.findall(r'data-last="(\d+)"', dom)]
    assert lasts[11:] == sorted(lasts[11:], reverse=True) and len(lasts) == 100
    dom = browse(sb, period + "&q=n-02")
    assert fleet_rows(dom) == [row(s) for s in sorted(
        (s for s in serials if "SN-02" in s), key=lambda s: (s not in silent, s))]
    assert 'id="routers">48<' in dom and "page 1 of 1" in dom

    # One router at the top of the page: a slot for every day, a bar where it had traffic.
    # Today is not settled: traffic billed since the first view shows at once.
    db.rows("UPDATE router_days SET up = up + 5 WHERE serial = 'SN-0042' AND day = '%s'"
            " AND iccid = ''" % days[-1])
    ledger["SN-0042", days[-1], ""][0] += 5
    routers, fleet = expected()
    query = period + "&serial=SN-0042"
    dom = browse(sb, query)
    assert dom.index('id="router-chart"') < dom.index('id="fleet-chart"')
    mine = [(day, sum(f[0] + f[1] for (s, d, _), f in ledger.items()
                      if (s, d) == ("SN-0042", day))) for day in days]
    assert chart_days(dom, "router-chart") == [(day, t, t > 0) for day, t in mine]
    assert 0 in dict(mine).values() and re.search(r'class="total" data-total="%d"'
                                                  % routers["SN-0042"][3], dom)
    # Its SIMs in the order they were first seen, the traffic without one first; with the
    # fleet's other routers one row each, by total too (today's two rows summed).
    per_sim = {}  # (serial, iccid): [up, down, total, reports, resent]
    for (s, day, iccid), f in ledger.items():
        had = per_sim.get((s, iccid), [0] * 5)
        per_sim[s, iccid] = [a + b for a, b in zip(had, [f[0], f[1], f[0] + f[1]] + f[2:])]
    assert [(i, int(t)) for i, t in re.findall(
        r'<tr data-iccid="(\w*)">.*?"n total">(\d+)<', dom, re.S)] == [
        (i, per_sim["SN-0042", i][2]) for i in ("", sim_a, sim_b)]
    order = sorted(serials, key=lambda s: (s in silent, routers[s][3], s), reverse=True)
    assert order.index("SN-0042") < 100 and fleet_rows(browse(sb, period + "&sort=total")) \
        == [row(s) for s in order[:100]]
    assert re.search(r'id="fleet-total" data-total="%d">' % sum(fleet.values()), dom)
    browse(sb, query, screenshot=os.path.join(sb.dir, "router-%s.png" % database))

    # The CSV: the whole fleet, exact; a formula stays text; nothing without the password.
    table = in_server(sb, "curl", "-sk", "-u", "%s:%s" % OPERATOR, PAGE + period + "&format=csv")
    rows = list(csv.reader(table.splitlines()))
    assert rows[0][:6] == ["serial", "up", "down", "total", "reports", "resends caught"]
    assert {(r[0], r[8]): [int(v) for v in r[1:6]] for r in rows[1:]} == {
        (("'" if s == odd else "") + s, i): v for (s, i), v in per_sim.items()}
    assert len(rows) == len(per_sim) + 1
    for credentials in ([], ["-u", "%s:wrong" % OPERATOR[0]]):
        assert in_server(sb, "curl", "-sk", "-o", "/dev/null", "-w", "%{http_code}",
                         *credentials, PAGE + period) == "401"


@pytest.mark.parametrize("database", ["sqlite", "postgresql"])
def test_earlier_kit_ledger(sandbox, database):
    """A ledger of an earlier kit (its schema as of commit af2ff09, in tests/data/earlier-kit:
    one reports table with each report's client, and an unwritten router_days of BIGINT
    figures), holding a router's reports billed by the rule and one past 2^63 - 1 in a day, as
    that kit's bandwidth.php wrote them. server/install carries it over: its reports kept as
    reports_earlier, router_days filled from them; then a re-sent copy of the router's last
    report is caught and bills its growth only, a new one is billed, and the page and the CSV
    show the earlier figures and the new together, exact. Installed again, nothing changes."""
    sb = sandbox
    fixture = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data",
                           "earlier-kit", "schema.%s.sql" % ("sqlite" if database == "sqlite"
                                                             else "pgsql"))
    if database == "postgresql":
        db = Database.postgresql(os.path.join(sb.dir, "pg"))
        as_postgres = ["runuser", "-u", "postgres", "--", "psql", "-h", db.socket, "-X", "-q",
                       "-v", "ON_ERROR_STOP=1"]
        subprocess.run(as_postgres + ["-d", "postgres", "-c", "CREATE ROLE tolvu LOGIN", "-c",
                                      "CREATE DATABASE tolvu OWNER tolvu"], check=True,
                       capture_output=True, timeout=60)
        subprocess.run(as_postgres + ["-d", "tolvu", "-c", "SET ROLE tolvu", "-f", fixture],
                       check=True, capture_output=True, timeout=60)
    else:
        # Where server/install keeps the ledger, PHP-FPM's user's.
        data = os.path.join(sb.dir, "web", "kit", "var", "lib", "tolvu")
        os.makedirs(data)
        path = data
        while path != sb.dir:  # every directory above it reached by www-data
            path = os.path.dirname(path)
            os.chmod(path, os.stat(path).st_mode | 0o011)
        shutil.chown(data, "www-data", "www-data")
        with open(fixture) as f:
            subprocess.run(["runuser", "-u", "www-data", "--", "sqlite3", "-bail",
                            os.path.join(data, "ledger.sqlite")], stdin=f, check=True,
                           capture_output=True, timeout=60)
        db = Database.sqlite()
        db.bind(os.path.join(data, "ledger.sqlite"))
    now = int(time.time())
    today = now - now % DAY
    first, second = today - 2 * DAY + 3600, today - DAY + 3600
    epoch = "00000000000000aa"
    big = 2**63 - 1
    db.rows("INSERT INTO routers (serial, epoch, seq, bw_up, bw_dn, last_report, client) VALUES"
            " ('SN-OLD', '%s', 2, 300, 400, %d, 'CN=SN-OLD'), ('SN-BIG', NULL, NULL, %d, 0, %d,"
            " NULL)" % (epoch, second, big, first))
    db.rows("INSERT INTO reports (serial, received, epoch, seq, bw_up, bw_dn, billed_up,"
            " billed_dn, kind, client) VALUES " + ", ".join(
                "('%s', %d, %s, %s, %d, %d, %d, %d, '%s', %s)" % r for r in [
                    ("SN-OLD", first, "'%s'" % epoch, 1, 1000, 2000, 1000, 2000, "full",
                     "'CN=SN-OLD'"),
                    ("SN-OLD", first + 60, "'%s'" % epoch, 1, 1500, 2600, 500, 600, "resent",
                     "'CN=SN-OLD'"),
                    ("SN-OLD", second, "'%s'" % epoch, 2, 300, 400, 300, 400, "full",
                     "'CN=SN-OLD'"),
                    ("SN-OLD", second + 60, "'%s'" % epoch, 1, 9, 9, 0, 0, "old", "'CN=SN-OLD'"),
                    ("SN-BIG", first, "NULL", "NULL", big, 0, big, 0, "plain", "NULL"),
                    ("SN-BIG", first + 60, "NULL", "NULL", big, 0, big, 0, "plain", "NULL")]))

    # Installed over it: the earlier reports kept, each router's days filled from them.
    sb.serve_with_nginx(database=db, cut_every=1000)
    db = sb.database
    # Its days billed to no SIM (iccid ''): the earlier kit kept none.
    days = ("SELECT serial, CAST(day AS TEXT), CAST(up AS TEXT), CAST(down AS TEXT), reports,"
            " resent, '#' || iccid FROM router_days ORDER BY serial, day")
    day = lambda t: time.strftime("%Y-%m-%d", time.gmtime(t))  # noqa: E731
    carried = [("SN-BIG", day(first), str(2 * big), "0", 2, 0, "#"),
               ("SN-OLD", day(first), "1500", "2600", 2, 1, "#"),
               ("SN-OLD", day(second), "300", "400", 2, 1, "#")]
    assert [tuple(str(c) if n in (2, 3) else c for n, c in enumerate(r))
            for r in db.rows(days)] == carried
    assert db.rows("SELECT COUNT(*) FROM reports_earlier") == [(6,)]

    # The rule goes on from the router's last accepted report: a re-sent copy of it, grown,
    # bills the growth; an older one nothing; the next one in full.
    report = "serial=SN-OLD&bw_tot=%d&bw_dn=%d&bw_up=%d&epoch=" + epoch + "&seq=%d"
    for up, dn, seq in [(350, 450, 2), (9, 9, 1), (10, 20, 3)]:
        assert post(sb, report % (up + dn, dn, up, seq)) == "ACCEPTED\n 200"
    assert db.rows("SELECT kind, billed_up, billed_dn FROM reports ORDER BY id") == [
        ("resent", 50, 50), ("old", 0, 0), ("full", 10, 20)]

    # The page and the CSV: the earlier figures and the new, exact; sorted by total, the silent
    # router past 2^64 first.
    query = "?from=%s&to=%s" % (day(first), day(now))
    old = [1500 + 300 + 50 + 10, 2600 + 400 + 50 + 20]
    status, body = page(sb, query + "&sort=total")
    assert status == 200 and fleet_rows(body) == [
        ["SN-BIG", True, 2 * big, 0, 2 * big, 2, 0],
        ["SN-OLD", False, old[0], old[1], sum(old), 7, 4]], body
    status, table = page(sb, query + "&format=csv")
    assert status == 200 and [r[:6] for r in csv.reader(table.splitlines())][1:] == [
        ["SN-BIG", str(2 * big), "0", str(2 * big), "2", "0"],
        ["SN-OLD", str(old[0]), str(old[1]), str(sum(old)), "7", "4"]], table

    # Installed again: nothing more carried over.
    sb.serve_with_nginx(cut_every=1000)
    assert db.rows("SELECT COUNT(*) FROM reports_earlier") == [(6,)]
    assert len(db.rows(days)) == 4 and fleet_rows(page(sb, query + "&sort=total")[1]) == [
        ["SN-BIG", True, 2 * big, 0, 2 * big, 2, 0],
        ["SN-OLD", False, old[0], old[1], sum(old), 7, 4]]
