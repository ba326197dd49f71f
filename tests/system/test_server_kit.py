"""The operator's kit (server/) as operators deploy it: nginx, PHP-FPM and bandwidth.php on SQLite
and on a PostgreSQL cluster of the test's own. With report_id on, every byte is billed once
though a third of the replies are lost after the commit, across a restart and a reboot; copies
of one report arriving at once are billed once; bad input is refused and recorded nowhere; a
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
    sb.serve_with_nginx(database=db, cut_every=3)
    db = sb.database
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure(interval=600, report_id=report_id)
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
    # A serial that a spreadsheet would take for a formula, with a quote and a backslash, is billed.
    assert post(sb, "serial=%3DSUM(1)%5C%22,9,%22&bw_tot=3&bw_dn=2&bw_up=1") == "ACCEPTED\n 200"


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
    router past 2^64 in total, 11 silent, days without traffic. The page in Chromium, as it fills
    and then reads its cache of settled days, and the CSV, equal the ledger's exact sums."""
    sb = sandbox
    db = Database.postgresql(os.path.join(sb.dir, "pg")) if database == "postgresql" else None
    sb.serve_with_nginx(database=db)
    db = sb.database
    now = int(time.time())
    days = [time.strftime("%Y-%m-%d", time.gmtime(now - (13 - d) * DAY)) for d in range(14)]
    big, odd = "SN-BIG", '=SUM(1)\\",9,"'
    serials = ["SN-%04d" % i for i in range(248)] + [big, odd]
    silent = {s for i, s in enumerate(serials) if i % 23 == 0}
    ledger = {}  # (serial, day): [up, down, reports, resent]
    for i, s in enumerate(serials):
        for d, day in enumerate(days):
            if s == big and d % 4 == 1:
                ledger[s, day] = [2**63 - 1, 2**63 - 1, 400, 0]
            elif s != big and (i * 7 + d) % 5:
                ledger[s, day] = [(i * 1000003 + d * 7919) % 10**9,
                                  (i * 7919 + d * 1000003) % 10**10, 300 + i % 60, d % 3]
    quote = lambda text: "'%s'" % text.replace("'", "''")  # noqa: E731
    db.rows("INSERT INTO routers (serial, last_report) VALUES " + ", ".join(
        "(%s, %d)" % (quote(s), now - (3 * 3600 if s in silent else i % 200))
        for i, s in enumerate(serials)))
    values = ["(%s, '%s', %d, %d, %d, %d)" % ((quote(s), day) + tuple(f))
              for (s, day), f in ledger.items()]
    for n in range(0, len(values), 1000):
        db.rows("INSERT INTO router_days (serial, day, up, down, reports, resent) VALUES "
                + ", ".join(values[n:n + 1000]))

    def expected():
        totals = {s: [0, 0, 0, 0] for s in serials}
        fleet = {day: 0 for day in days}
        for (s, day), f in ledger.items():
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

    # By total, largest first (the silent ones still first): the router past 2^64 leads the
    # others, exact. The first view fills the cache of settled days that the next ones read.
    order = sorted(serials, key=lambda s: (s in silent, routers[s][3], s), reverse=True)
    assert order[11] == big and routers[big][3] == 8 * (2**63 - 1) > 2**65
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
            % days[-1])
    ledger["SN-0042", days[-1]][0] += 5
    routers, fleet = expected()
    query = period + "&serial=SN-0042"
    dom = browse(sb, query)
    assert dom.index('id="router-chart"') < dom.index('id="fleet-chart"')
    mine = [(day, sum(ledger.get(("SN-0042", day), [0, 0])[:2])) for day in days]
    assert chart_days(dom, "router-chart") == [(day, t, t > 0) for day, t in mine]
    assert 0 in dict(mine).values() and re.search(r'class="total" data-total="%d"'
                                                  % routers["SN-0042"][3], dom)
    assert re.search(r'id="fleet-total" data-total="%d">' % sum(fleet.values()), dom)
    browse(sb, query, screenshot=os.path.join(sb.dir, "router-%s.png" % database))

    # The CSV: the whole fleet, exact; a formula stays text; nothing without the password.
    table = in_server(sb, "curl", "-sk", "-u", "%s:%s" % OPERATOR, PAGE + period + "&format=csv")
    rows = list(csv.reader(table.splitlines()))
    assert rows[0][:6] == ["serial", "up", "down", "total", "reports", "resends caught"]
    assert {r[0]: [int(v) for v in r[1:6]] for r in rows[1:]} == {
        ("'" if s == odd else "") + s: v[1:] for s, v in routers.items()}
    for credentials in ([], ["-u", "%s:wrong" % OPERATOR[0]]):
        assert in_server(sb, "curl", "-sk", "-o", "/dev/null", "-w", "%{http_code}",
                         *credentials, PAGE + period) == "401"
