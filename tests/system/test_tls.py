"""TLS sessions kept from one report to the next: resumed where the server allows it, a full
handshake wherever it does not, and never a session offered to another host."""

import os

from conftest import start, wait_until
from test_accounting import accepted_reports


def test_sessions_resume_and_fall_back(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure()

    def reports(service, count):
        """Waits for count more accepted reports; returns what the server saw of them."""
        seen = len(sb.requests())
        accepted = service.out.count("update_accepted 1")
        service.wait_for(lambda out, err: out.count("update_accepted 1") >= accepted + count)
        assert wait_until(lambda: len(sb.requests()) >= seen + count, timeout=5)
        return sb.requests()[seen:seen + count]

    def resumed(requests):
        return [r["resumed"] for r in requests]

    service = start(sb)
    assert resumed(reports(service, 4)) == [False, True, True, True]

    # Another installer ID, another host: a full handshake, then that host's session.
    sb.configure(installer="beta")
    service.wait_for(lambda out, err: "Installer ID: beta" in out)
    beta = reports(service, 3)
    assert [r["headers"]["Host"].split(".")[0] for r in beta] == ["beta"] * 3
    assert resumed(beta) == [False, True, True]

    # A server restarted with new keys forgot the session: a full handshake, then resumed again.
    sb.restart_server()
    assert resumed(reports(service, 3)) == [False, True, True]

    # A server that refuses resumption: every report goes through on a full handshake.
    sb.restart_server("--no-resume")
    assert resumed(reports(service, 3)) == [False, False, False]
    assert service.err == []
    service.stop()

    # Switched off by the operator: no session is kept.
    sb.restart_server()
    sb.configure(tls_resume="0")
    service = start(sb)
    assert resumed(reports(service, 3)) == [False, False, False]


def test_only_this_router_and_only_the_operators_server(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.restart_server("--client-ca", sb.pki["client-ca"])
    cert = sb.install_tls_file("client.pem", sb.pki["client_cert"], 0o644)
    key = sb.install_tls_file("client.key", sb.pki["client_key"])
    rogue_cert = sb.install_tls_file("rogue.pem", sb.pki["rogue_cert"], 0o644)
    rogue_key = sb.install_tls_file("rogue.key", sb.pki["rogue_key"])
    rogue_ca = sb.install_tls_file("rogue-ca.pem", sb.pki["rogue-ca"], 0o644)
    sb.configure(client_cert=cert, client_key=key, interval=600)
    service = start(sb)

    def next_cycles(count=2):
        """Runs count cycles, each to its end (none runs by itself at this interval)."""
        for _ in range(count):
            service.cycle_now(sb.state_file())
        return len(sb.requests())

    # The router proves who it is, and its TLS sessions still resume.
    next_cycles(3)
    requests = sb.requests()
    assert [r["client_subject"] for r in requests] == ["CN=SN-0042"] * len(requests)
    assert [r["resumed"] for r in requests[:3]] == [False, True, True]

    # A certificate renewed in place (as a TR-069 client does): no session made with the old one
    # is offered again; the next report makes a new one.
    sb.install_tls_file("client.pem", sb.pki["client_cert"], 0o644)
    seen = len(sb.requests())
    next_cycles(2)
    assert [r["resumed"] for r in sb.requests()[seen:seen + 2]] == [False, True]

    # A key others may read: one clear line, nothing sent, the traffic kept.
    os.chmod(os.path.join(sb.flash_dir(), "client.key"), 0o644)
    sent = next_cycles(3)
    assert service.err == ["Not sending the report: the client key /etc/tolvu/client.key is open "
                           "to group or others (mode 0644); it must be mode 0600"]
    assert len(sb.requests()) == sent
    # ... and so is a certificate without its key.
    sb.configure(client_cert=cert, interval=600)
    next_cycles(2)
    assert service.err[1:] == ["Not sending the report: easycwmp.bandwidth.client_cert is set but "
                               "client_key is not; the two go together"]
    os.chmod(os.path.join(sb.flash_dir(), "client.key"), 0o600)

    # No certificate, or one from a CA the server does not know: the handshake is refused.
    failures = []
    for options in ({}, {"client_cert": rogue_cert, "client_key": rogue_key}):
        sb.configure(interval=600, **options)
        seen = len(service.err)
        next_cycles(2)
        failures += service.err[seen:]
        assert len(sb.requests()) == sent
    # A pinned CA that did not sign the server: refused, though the system's CA directory would
    # trust it.
    sb.configure(client_cert=cert, client_key=key, ca_file=rogue_ca, interval=600)
    seen = len(service.err)
    next_cycles(2)
    failures += service.err[seen:]
    assert len(sb.requests()) == sent
    print("the operator's lines:", sorted(set(failures)))
    assert failures and all(f.startswith("curl_easy_perform() failed: ") for f in failures)

    # The operator's own CA pinned, and the router's certificate: the next report carries it all.
    ca = sb.install_tls_file("ca.pem", sb.pki["ca"], 0o644)
    sb.configure(client_cert=cert, client_key=key, ca_file=ca, interval=600)
    next_cycles(2)
    service.stop()
    reports = accepted_reports(service.out)
    assert sum(r[2] for r in reports) == reports[-1][0]
    assert sum(r[3] for r in reports) == reports[-1][1]
    assert sb.requests()[-1]["client_subject"] == "CN=SN-0042"


def test_no_tls_before_1_2_and_no_proxy_from_the_environment(sandbox):
    sb = sandbox
    sb.add_link("eth1")
    sb.set_default_route("eth1")
    sb.configure()
    # A proxy in the environment that would swallow every report: not used.
    service = start(sb, env={"HTTPS_PROXY": "http://10.200.0.1:3128",
                             "https_proxy": "http://10.200.0.1:3128"})
    service.wait_for(lambda out, err: "update_accepted 1" in out)
    assert service.err == []

    # A server that speaks only TLS 1.0 and 1.1 is refused.
    sb.restart_server("--legacy-tls")
    service.wait_for(lambda out, err: len(err) >= 2)
    service.stop()
    print("the operator's line:", service.err[0])
    assert set(service.err) == {"curl_easy_perform() failed: SSL connect error"}
