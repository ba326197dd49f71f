"""Against the web server operators run: nginx 1.22 with HTTP/2 on, and PHP-FPM running the
operator's kit (server/). Reports go over HTTP/1.1 and resume their TLS sessions, the figures PHP
bills add up to the counters, and a client certificate nginx requires but does not get is
explained in one line."""

import json
import os
import shutil
import subprocess

import pytest

from conftest import start
from sandbox import SERVER_ADDRESS
from test_accounting import accepted_reports

pytestmark = pytest.mark.skipif(not (shutil.which("nginx") or os.path.exists("/usr/sbin/nginx")),
                                reason="nginx is not installed")
NO_CERTIFICATE = "The server answered 400: 400 No required SSL certificate was sent"


def access_log(web):
    with open(os.path.join(web, "access.log")) as f:
        return f.read().splitlines()


def ledger(sb):
    """(billed up, billed down) of every report PHP billed."""
    return sb.database.rows("SELECT billed_up, billed_dn FROM reports ORDER BY id")


def test_reports_through_nginx_and_php(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure(interval=600)
    web = sb.serve_with_nginx()
    service = start(sb)
    for _ in range(5):
        sb.push_traffic("eth1", 10, 700)
        service.cycle_now(sb.state_file())

    # HTTP/1.1 though nginx offers HTTP/2 (a libcurl without HTTP/2 offers no ALPN at all), so
    # that every report after the first resumes.
    requests = access_log(web)
    assert len(requests) == 6 and all(" 200 HTTP/1.1 alpn=" in r and "alpn=h2" not in r
                                      for r in requests), requests
    assert all("reused=r" in r for r in requests[1:]), requests

    # nginx requires a client certificate: without one, it answers 400, which is said once.
    sb.serve_with_nginx(client_ca=True)
    service.cycle_now(sb.state_file())
    service.cycle_now(sb.state_file())
    assert service.err == [NO_CERTIFICATE]
    status = start(sb, "--status", "--json")
    status.wait()
    last_cycle = json.loads("\n".join(status.out))["last_cycle"]
    assert (last_cycle["outcome"], last_cycle["error"]) == ("refused", NO_CERTIFICATE)

    # With the router's certificate, the refused traffic goes through, and nginx knows who sent it.
    cert = sb.install_tls_file("client.pem", sb.pki["client_cert"], 0o644)
    key = sb.install_tls_file("client.key", sb.pki["client_key"])
    sb.configure(interval=600, client_cert=cert, client_key=key)
    service.cycle_now(sb.state_file())
    service.cycle_now(sb.state_file())
    assert service.terminate() == 0
    assert access_log(web)[-1].split('client="', 1)[1].startswith("CN=SN-0042")

    # Billed by PHP exactly as the router's accepted reports, which add up to the counters.
    reports = accepted_reports(service.out)
    billed = ledger(sb)
    assert billed == [(r[2], r[3]) for r in reports]
    assert (sum(r[2] for r in reports), sum(r[3] for r in reports)) == reports[-1][:2]
    assert sb.database.rows("SELECT client FROM routers") == [("CN=SN-0042",)]

    # Another router's certificate bills only its own serial: this one is refused, recorded
    # nowhere, and logged.
    out = subprocess.run(
        ["ip", "netns", "exec", sb.server, "curl", "-sk", "--cert", sb.pki["other_cert"], "--key",
         sb.pki["other_key"], "--data", "serial=SN-0042&bw_tot=3&bw_dn=2&bw_up=1",
         "https://%s:8090/bandwidth.php" % SERVER_ADDRESS], capture_output=True, text=True,
        timeout=60).stdout
    assert out == "REFUSED: the client certificate's CN is not the serial\n"
    assert ledger(sb) == billed
    with open(os.path.join(web, "kit", "var", "log", "nginx", "tolvu.error.log")) as f:
        assert 'refused serial "SN-0042" from client ["SUCCESS","CN=SN-0043"]' in f.read()
