"""TLS sessions kept from one report to the next: resumed where the server allows it, a full
handshake wherever it does not, and never a session offered to another host."""

from conftest import start, wait_until


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
