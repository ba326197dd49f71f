"""The operator's kit (server/) as operators deploy it, with server/install: nginx, PHP-FPM and
bandwidth.php on SQLite and on a PostgreSQL cluster of the test's own, laid out as Debian's (peer
authentication, PHP-FPM's user mapped to the ledger's role), with two front ends on it. The
routers' endpoint asks for client certificates, and the router presents its own. With
report_id on, every byte is billed once though a third of the replies are lost after the
commit, across a restart and a reboot; copies of one report arriving at once, at one front end
or at two, are billed once; bad input is refused and recorded nowhere; a
database that fails answers 503 without the marker; and usage.php shows, charts and exports the
ledger's own figures to a real browser, behind a password.

The router's side of nginx is covered on every stack by test_nginx.py; this suite adds nothing
there, so it runs on the host stack only."""

import csv
import html
import os
import re
import shutil
import subprocess
import time

import pytest

from conftest import ROUTER_STACK, WRAP, start
from sandbox import OPERATOR, Database
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
    assert db.rows("SELECT DISTINCT client FROM reports") == [("CN=SN-0042",)]
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

    # The same ledger behind the kit installed again without client certificates, for the
    # reports below, which name serials of their own.
    sb.serve_with_nginx(cut_every=3)

    # The same report from 8 clients at once is billed once; the other 7 are caught.
    before = sums(db)
    race = ("serial=SN-RACE&bw_tot=3000&bw_dn=2000&bw_up=1000&epoch=00000000000000aa&seq=1")
    replies = in_server(sb, "sh", "-c", 'for i in 1 2 3 4 5 6 7 8; do curl -sk --data "$1" "$2"'
                        ' & done; wait', "sh", race, BACKEND).split()
    assert replies == ["ACCEPTED"] * 8
    assert sums(db, "serial = 'SN-RACE'") == [1000, 2000, 8]
    assert db.rows("SELECT kind, COUNT(*) FROM reports WHERE serial = 'SN-RACE' GROUP BY kind"
                   " ORDER BY kind") == [("full", 1), ("resent", 7)]

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
        # Installed twice, the cluster has one map line, before the rule it must precede.
        with open(os.path.join(db.socket, "data", "pg_hba.conf")) as f:
            rules = [line.split() for line in f if line.strip() and not line.startswith("#")]
        assert [r for r in rules if "map=tolvu" in r] == [["local", "tolvu", "tolvu", "peer",
                                                            "map=tolvu"]] == rules[:1], rules

        # The database gone: 503 without the marker, and nothing billed (the router sends again).
        # Back, it bills again once each PHP-FPM worker has found its connection broken.
        db.close()
        again = race.replace("seq=1", "seq=2")
        reply = post(sb, again)
        assert reply.endswith(" 503") and "ACCEPTE" not in reply, reply
        db.restart()
        replies = [post(sb, again) for _ in range(5)]
        assert replies[-1] == "ACCEPTED\n 200" and all(
            r in ("ACCEPTED\n 200", "not billed, try again\n 503") for r in replies), replies
        assert sums(db, "serial = 'SN-RACE'") == [2000, 4000, 8 + replies.count("ACCEPTED\n 200")]
        return

    # Bad input: refused with a reason, recorded nowhere.
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
             "together")]:
        assert post(sb, body) == "REFUSED: %s\n 200" % why, body
    assert sums(db) == [before[0] + 1000, before[1] + 2000, before[2] + 8]
    # A serial that a spreadsheet would take for a formula, with a quote and a backslash, is
    # billed, and stays one text cell in the CSV.
    odd = '=SUM(1)\\",9,"'
    assert post(sb, "serial=%3DSUM(1)%5C%22,9,%22&bw_tot=3&bw_dn=2&bw_up=1") == "ACCEPTED\n 200"

    # The page, in a browser. The ledger's first reports are moved to the two days before, so
    # that SN-0042's chart has three days with traffic.
    db.rows("UPDATE reports SET received = received - %d WHERE id <= 10" % (2 * DAY))
    db.rows("UPDATE reports SET received = received - %d WHERE id > 10 AND id <= 20" % DAY)
    today = time.strftime("%Y-%m-%d", time.gmtime())
    first = time.strftime("%Y-%m-%d", time.gmtime(time.time() - 3 * DAY))
    query = "?from=%s&to=%s" % (first, today)
    url = PAGE.replace("https://", "https://%s:%s@" % OPERATOR)
    shot = os.path.join(sb.dir, "usage.png")
    dom = in_server(sb, "chromium", "--headless", "--no-sandbox", "--ignore-certificate-errors",
                    "--user-data-dir=" + os.path.join(sb.dir, "chromium"), "--dump-dom",
                    url + query + "&serial=SN-0042")
    in_server(sb, "chromium", "--headless", "--no-sandbox", "--ignore-certificate-errors",
              "--user-data-dir=" + os.path.join(sb.dir, "chromium"), "--hide-scrollbars",
              "--window-size=1100,620", "--screenshot=" + shot, url + query + "&serial=SN-0042")
    if os.environ.get("TOLVU_SCREENSHOT"):
        shutil.copyfile(shot, os.environ["TOLVU_SCREENSHOT"])
    with open(shot, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    fleet = {html.unescape(m[0]): [int(m[1]), int(m[2]), int(m[3]), int(m[4])] for m in re.findall(
        r'<tr data-serial="([^"]+)">.*?"n up">(\d+)<.*?"n down">(\d+)<.*?"n total">(\d+)<'
        r'.*?"n resends">(\d+)<', dom, re.S)}
    ledger = {s: [u, d, u + d, c] for s, u, d, c in db.rows(
        "SELECT serial, SUM(billed_up), SUM(billed_dn), SUM(CASE WHEN kind IN ('resent', 'old')"
        " THEN 1 ELSE 0 END) FROM reports GROUP BY serial")}
    assert fleet == ledger and fleet["SN-0042"][:2] == truth, (fleet, ledger)
    bars = dict(re.findall(r'<rect class="bar" data-day="([\d-]+)" data-total="(\d+)"', dom))
    per_day = {d: str(t) for d, t in db.rows(
        "SELECT date(received, 'unixepoch'), SUM(billed_up + billed_dn) FROM reports"
        " WHERE serial = 'SN-0042' GROUP BY 1")}
    assert bars == per_day and len(bars) == 3, (bars, per_day)

    # The CSV bills the same figures; without the password there is nothing but 401.
    table = in_server(sb, "curl", "-sk", "-u", "%s:%s" % OPERATOR, PAGE + query + "&format=csv")
    rows = list(csv.reader(table.splitlines()))
    assert rows[0][:4] == ["serial", "up", "down", "total"]
    assert {r[0]: [int(v) for v in r[1:4]] for r in rows[1:]} \
        == {("'" if s == odd else "") + s: v[:3] for s, v in ledger.items()} and odd in ledger
    for credentials in ([], ["-u", "%s:wrong" % OPERATOR[0]]):
        assert in_server(sb, "curl", "-sk", "-o", "/dev/null", "-w", "%{http_code}",
                         *credentials, PAGE + query) == "401"

    # Totals past 2^63 - 1, which SQLite cannot sum: the page says so, it never drops routers.
    for _ in range(2):
        assert post(sb, "serial=SN-0&bw_tot=%d&bw_dn=%d&bw_up=0" % (2**63 - 1, 2**63 - 1)) \
            == "ACCEPTED\n 200"
    assert in_server(sb, "curl", "-sk", "-o", "/dev/null", "-w", "%{http_code}", "-u",
                     "%s:%s" % OPERATOR, PAGE + query + "&format=csv") == "503"
