"""A router in a sandbox: tolvu's whole world, built from real kernel parts and torn down again.

- a router network namespace whose interfaces (veth links, any names) the caller creates and
  whose default routes it sets and changes while the service runs;
- a server network namespace, behind every router link, running the reference management
  server (tools/mgmt_server.py) on port 8090 with a certificate from a test CA;
- for the router's processes, a private mount namespace in which /etc/config, /etc/tolvu (the
  router's flash), /etc/ssl/certs, /etc/hosts, /tmp and /dev/log are the sandbox's own, and /sys
  shows the router's interfaces;
- a reboot: /tmp emptied, another boot id, the links re-created, flash kept;
- a datagram socket at /dev/log that records every system-log line;
- traffic through any link, and the link's counters read back.

Needs root, iproute2, util-linux and /usr/bin/python3. Used by the system tests and the demo.
"""

import ctypes
import fcntl
import json
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
MGMT_SERVER = os.path.join(HERE, "mgmt_server.py")
KIT = os.path.join(os.path.dirname(HERE), "server")  # the operator's kit
CUT_PROXY = os.path.join(HERE, "cut_proxy.py")
NGINX = "/usr/sbin/nginx"
PHP_FPM = "/usr/sbin/php-fpm8.2"

# The operator's kit (server/), deployed by its own server/install under a prefix of the
# sandbox's, and run by an nginx and a PHP-FPM of the sandbox's own that include what it installed.
INSTALL = os.path.join(KIT, "install")
NGINX_CONF = """worker_processes {workers};
user root root;
pid {dir}/nginx.pid;
error_log {dir}/error.log info;
events {{ worker_connections 256; }}
http {{
    log_format tolvu '$remote_addr "$request" $status $server_protocol alpn=$ssl_alpn_protocol '
                     'tls=$ssl_protocol reused=$ssl_session_reused client="$ssl_client_s_dn" '
                     'sent=$bytes_sent received=$request_length';
    access_log {dir}/access.log tolvu;
    client_body_temp_path {dir}/temp/body;
    fastcgi_temp_path {dir}/temp/fastcgi;
    proxy_temp_path {dir}/temp/proxy;
    uwsgi_temp_path {dir}/temp/uwsgi;
    scgi_temp_path {dir}/temp/scgi;
    include {site};
}}
"""
PHP_FPM_GLOBAL = """[global]
pid = {dir}/php-fpm.pid
error_log = {dir}/php-fpm.log
daemonize = no
include = {pool}
"""
OPERATOR = ("operator", "tolvu-usage")  # the page's user and password
SERVER_ADDRESS = "10.200.0.1"  # the management server's own address, on its loopback
SERVER_ADDRESS6 = "fd00:200::1"  # the same, when a test turns IPv6 on
SILENT_DNS = "10.200.0.53"     # a name server that takes every query and never answers
SERVER_PORT = 8090
SECOND_INSTALLER = "beta"
HOST_LOCK = "/run/tolvu-sandbox.lock"        # held shared by every live sandbox
HOST_CREATED = "/run/tolvu-sandbox.created"  # the mount points sandboxes made on the host

INSTALLED_BINARY = "/usr/sbin/tolvu"  # where the package puts it; its scripts call it there

FACILITIES = {0: "kern", 1: "user", 3: "daemon"}
PRIORITIES = ["emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"]
SYSLOG_LINE = re.compile(r"<(\d+)>(?:\w{3} [ \d]\d (\d\d:\d\d:\d\d) )?([^\[:]+)(?:\[(\d+)\])?: (.*)",
                         re.S)


def sh(*args, check=True, ns=None, capture=False, timeout=30):
    """Runs a command, in network namespace ns if given."""
    if ns:
        args = ("ip", "netns", "exec", ns) + args
    result = subprocess.run(args, check=check, timeout=timeout, text=True,
                            stdout=subprocess.PIPE if capture else subprocess.DEVNULL,
                            stderr=subprocess.PIPE if capture else subprocess.DEVNULL)
    return result.stdout if capture else result.returncode


def unread(fd):
    """Bytes waiting in a pipe."""
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"))[0]


def wait_until(predicate, timeout, step=0.05):
    """Polls predicate until it is true or timeout seconds have passed; returns its last answer."""
    deadline = time.time() + timeout
    while True:
        result = predicate()
        if result or time.time() > deadline:
            return result
        time.sleep(step)


class SyslogRecorder:
    """A datagram socket that keeps every system-log line as a dict."""

    def __init__(self, path):
        self.path = path
        self.lines = []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        os.chmod(path, 0o666)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while True:
            try:
                data = self.sock.recv(65536)
            except OSError:
                return
            m = SYSLOG_LINE.match(data.decode("utf-8", "replace"))
            if not m:
                continue
            pri = int(m.group(1))
            self.lines.append({
                "facility": FACILITIES.get(pri >> 3, str(pri >> 3)),
                "priority": PRIORITIES[pri & 7], "ident": m.group(3),
                # A syslog daemon drops the line end; musl's syslog() adds one to every line,
                # glibc's keeps the caller's.
                "pid": int(m.group(4)) if m.group(4) else None,
                "message": m.group(5).rstrip("\n"),
                "time": time.time(),
                # The sender's own clock, in its local time: when the line was said.
                "clock": m.group(2),
            })

    def close(self):
        self.sock.close()


class FlashWatch:
    """Counts the writes to a directory's files with inotify: every file created in it (a write
    goes through a new file beside the old one) and every file removed."""

    IN_CREATE, IN_DELETE, IN_MOVED_TO = 0x100, 0x200, 0x80

    def __init__(self, path):
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(os.O_CLOEXEC)
        if self.fd < 0 or libc.inotify_add_watch(
                self.fd, path.encode(), self.IN_CREATE | self.IN_DELETE | self.IN_MOVED_TO) < 0:
            raise OSError(ctypes.get_errno(), "inotify on %s" % path)
        self.events = []  # (kind, name)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while True:
            try:
                data = os.read(self.fd, 65536)
            except OSError:
                return
            offset = 0
            while offset + 16 <= len(data):
                _, mask, _, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16:offset + 16 + length].rstrip(b"\0").decode()
                kind = ("create" if mask & self.IN_CREATE else
                        "remove" if mask & self.IN_DELETE else "rename")
                self.events.append((kind, name))
                offset += 16 + length

    def writes(self):
        return sum(1 for kind, _ in self.events if kind == "create")

    def removals(self):
        return sum(1 for kind, _ in self.events if kind == "remove")

    def close(self):
        os.close(self.fd)


class Service:
    """A process started in the router: its standard output and error, line by line."""

    def __init__(self, popen):
        self.popen = popen
        self.out = []
        self.err = []
        self.cycles_started = 0  # "Serial is:" lines: each cycle begins with one
        self.lock = threading.Condition()
        self.readers = [threading.Thread(target=self._read, args=(stream, lines), daemon=True)
                        for stream, lines in ((popen.stdout, self.out), (popen.stderr, self.err))]
        for reader in self.readers:
            reader.start()

    def _read(self, stream, lines):
        # Each read and the lines it completes happen under the lock, and a read takes all the
        # pipe holds: whoever holds the lock and finds the pipes empty has every line written
        # so far (drained).
        fd = stream.fileno()
        partial = b""
        while True:
            select.select([fd], [], [])
            with self.lock:
                data = os.read(fd, max(unread(fd), 1))  # readable and empty: the end
                partial += data
                complete = partial.split(b"\n")
                partial = complete.pop() if data else b""
                if not data and complete[-1] == b"":
                    complete.pop()
                for raw in complete:
                    line = raw.decode("utf-8", "replace")
                    lines.append(line)
                    if lines is self.out and line.startswith("Serial is: "):
                        self.cycles_started += 1
                self.lock.notify_all()
                if not data:
                    return

    def drained(self):
        """With the lock held: True when every line written so far is in out and err."""
        return all(unread(stream.fileno()) == 0 for stream in (self.popen.stdout,
                                                               self.popen.stderr))

    def wait_for(self, predicate, timeout=20):
        """Waits until predicate(out, err) is true; returns it, or raises on timeout."""
        deadline = time.time() + timeout
        with self.lock:
            while True:
                result = predicate(self.out, self.err)
                if result:
                    return result
                if self.popen.poll() is not None and not any(r.is_alive() for r in self.readers):
                    raise RuntimeError("the process ended (status %s) before the wait was over; "
                                       "out=%r err=%r" % (self.popen.returncode, self.out[-8:],
                                                          self.err[-4:]))
                left = deadline - time.time()
                if left <= 0:
                    raise TimeoutError("waited %ss; out=%r err=%r" % (timeout, self.out[-8:],
                                                                      self.err[-4:]))
                self.lock.wait(min(left, 0.2))

    def wait_cycles(self, count, timeout=120):
        """Waits until more than count cycles have started, so that count have run."""
        self.wait_for(lambda out, err: self.cycles_started > count, timeout=timeout)

    def run_cycles(self, count, timeout=300):
        """Has count more cycles run back to back: once the service has begun its cycles, each is
        asked for with SIGUSR1 ("a cycle now") instead of waiting for the interval."""
        self.wait_cycles(0, timeout=timeout)  # the handlers are in place
        target = self.cycles_started + count
        deadline = time.time() + timeout
        while self.cycles_started <= target:
            if time.time() > deadline or self.popen.poll() is not None:
                raise TimeoutError("%d of %d cycles ran" % (count - target + self.cycles_started,
                                                            count))
            os.kill(self.popen.pid, signal.SIGUSR1)
            with self.lock:
                self.lock.wait(0.01)

    def cycle_now(self, state_file, timeout=30):
        """Asks for one cycle now (SIGUSR1) and waits until it has ended: it saves the state file
        at its end, a new file each time its text changes. The cycle's end time is in the text, so
        the cycle is asked for only once the clock is past the second of the last save (and the
        kernel's coarse clock, a tick behind at most, is too)."""
        self.wait_cycles(0, timeout=timeout)
        self.wait_for(lambda out, err: self.drained(), timeout=timeout)
        started = self.cycles_started
        if os.path.exists(state_file):
            saved = os.stat(state_file)
            wait_until(lambda: time.time() >= int(saved.st_mtime) + 1.02, timeout=timeout)
        asked = int(time.time())
        os.kill(self.popen.pid, signal.SIGUSR1)
        self.wait_for(lambda out, err: self.cycles_started > started, timeout=timeout)

        # Its end: a save whose last cycle is no earlier than the second it was asked in. A cycle
        # still running when it was asked saves with its own, earlier second: not this one. (Not
        # told by a new inode: a cycle that saves twice may get the old file's number back.)
        def ended():
            try:
                with open(state_file) as f:
                    fields = dict(l.split("=", 1) for l in f.read().splitlines() if "=" in l)
                return int(fields.get("last_cycle", "0")) >= asked
            except (OSError, ValueError):
                return False
        if not wait_until(ended, timeout=timeout):
            raise TimeoutError("the cycle did not end")
        self.wait_for(lambda out, err: self.drained(), timeout=timeout)  # its lines, said before

    def _join_readers(self, timeout=60):
        """Waits until both pipes have ended, so that out and err hold every line the process
        wrote; a pipe something else still holds open is an error, not lines quietly missing."""
        for reader in self.readers:
            reader.join(timeout=timeout)
            if reader.is_alive():
                raise RuntimeError("the process ended, but something still holds its output "
                                   "open; out=%r" % self.out[-4:])

    def wait(self, timeout=10):
        """Waits for the process to end and for its last lines to be read; its exit status."""
        status = self.popen.wait(timeout=timeout)
        self._join_readers()
        return status

    def terminate(self, timeout=30):
        """Ends the process with SIGTERM, as procd does; returns its exit status and the seconds
        it took to end."""
        started = time.time()
        self.popen.terminate()
        status = self.popen.wait(timeout=timeout)
        self.stopped_in = time.time() - started
        self._join_readers()
        return status

    def stop(self, read_rest=True):
        """Ends the process with SIGKILL, and reads its last lines unless told not to."""
        if self.popen.poll() is None:
            self.popen.kill()
        self.popen.wait(timeout=10)
        if read_rest:
            self._join_readers()


class Sandbox:
    def __init__(self, domain, installer="acme", interval=1, chain=False, tls12=False):
        tag = "%d%04d" % (os.getpid() % 10000, int(time.time() * 1000) % 10000)
        self.router = "tolvu-r" + tag
        self.server = "tolvu-s" + tag
        self.domain = domain
        self.installer = installer
        self.host = "%s.%s" % (installer, domain)
        self.other_host = "%s.%s" % (SECOND_INSTALLER, domain)  # the same server, another name
        self.chain = chain
        self.server_options = ["--tls12"] if tls12 else []
        self.interval = interval
        self.links = {}
        self.macvlans = set()
        self.sysfs = None
        self.ipv6 = False
        self.dir = None
        self.server_proc = None
        self.database = None
        self.services = []
        self.host_lock = None
        self.syslog = None

    # ---- set-up and tear-down
    def __enter__(self):
        try:
            self._setup()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _setup(self):
        self.dir = tempfile.mkdtemp(prefix="tolvu-sandbox-")
        for sub in ("config", "tmp", "server", "flash"):
            os.makedirs(os.path.join(self.dir, sub))
        os.chmod(os.path.join(self.dir, "tmp"), 0o1777)
        for ns in (self.router, self.server):
            sh("ip", "netns", "add", ns)
            sh("ip", "link", "set", "lo", "up", ns=ns)
            for key in ("all", "default"):
                sh("sysctl", "-qw", "net.ipv6.conf.%s.disable_ipv6=1" % key, ns=ns)
        sh("ip", "addr", "add", SERVER_ADDRESS + "/32", "dev", "lo", ns=self.server)

        self.pki = json.loads(subprocess.run(
            ["/usr/bin/python3", MGMT_SERVER, "pki"] + (["--chain"] if self.chain else [])
            + [os.path.join(self.dir, "pki"), self.host, self.other_host],
            check=True, capture_output=True, text=True).stdout)
        self.set_hosts()
        with open(os.path.join(self.dir, "resolv.conf"), "w") as f:
            f.write("nameserver %s\n" % SILENT_DNS)
        self.set_plan({"default": {"reply": "ACCEPTED"}})
        self.server_log = os.path.join(self.dir, "server", "requests.log")
        open(self.server_log, "w").close()
        self.restart_server()

        self.syslog = SyslogRecorder(os.path.join(self.dir, "log.sock"))
        self._make_mount_points()

    # Mount points on the host are shared by every sandbox alive at the time (removing one
    # would unmount it under all of them), so the last sandbox to close removes them.
    def _make_mount_points(self):
        self.host_lock = open(HOST_LOCK, "a+")
        fcntl.flock(self.host_lock, fcntl.LOCK_EX)
        with open(HOST_CREATED, "a") as created:
            for path, is_dir in (("/etc/config", True), ("/etc/tolvu", True), ("/dev/log", False),
                                 (INSTALLED_BINARY, False), ("/etc/resolv.conf", False)):
                if not os.path.lexists(path):
                    if is_dir:
                        os.mkdir(path)
                    else:
                        open(path, "w").close()
                    created.write(path + "\n")
        fcntl.flock(self.host_lock, fcntl.LOCK_SH)

    def _remove_mount_points(self):
        if not self.host_lock:
            return
        fcntl.flock(self.host_lock, fcntl.LOCK_UN)
        try:
            fcntl.flock(self.host_lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            self.host_lock.close()  # another sandbox is still using them
            self.host_lock = None
            return
        if os.path.exists(HOST_CREATED):
            with open(HOST_CREATED) as created:
                for path in reversed(created.read().split()):
                    try:
                        os.rmdir(path) if os.path.isdir(path) else os.unlink(path)
                    except OSError:
                        pass
            os.unlink(HOST_CREATED)
        self.host_lock.close()
        self.host_lock = None

    def close(self):
        for service in self.services:
            service.stop(read_rest=False)  # whatever still holds its pipes goes next
        for ns in (self.router, self.server):
            for pid in sh("ip", "netns", "pids", ns, check=False, capture=True).split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
        if self.server_proc:
            self.server_proc.kill()
            self.server_proc.wait()
        if self.database:
            self.database.close()
        for ns in (self.router, self.server):
            wait_until(lambda: not sh("ip", "netns", "pids", ns, check=False, capture=True).strip(),
                       timeout=5)
            sh("ip", "netns", "del", ns, check=False)
        if self.syslog:
            self.syslog.close()
        self._remove_mount_points()
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)

    # ---- the router's links and routes
    def add_link(self, name, macvlan=False):
        """A link from the router (interface name) to the server, with its own subnet: a veth, or
        a macvlan on a veth (whose final counters the kernel tells in full as it deletes it; a
        veth's receive side it does not). Added again after delete_link, a macvlan is a new
        interface on the same veth."""
        index = self.links.get(name) or len(self.links) + 1
        self.links[name] = index
        peer = "tv%d" % index
        router_ip, server_ip = "10.201.%d.1" % index, "10.201.%d.2" % index
        if macvlan and name in self.macvlans:
            sh("ip", "link", "add", "link", "lw%d" % index, "name", name, "type", "macvlan",
               "mode", "bridge", ns=self.router)
            sh("ip", "addr", "add", router_ip + "/30", "dev", name, ns=self.router)
            sh("ip", "link", "set", name, "up", ns=self.router)
            return server_ip
        if macvlan:
            self.macvlans.add(name)
            lower = "lw%d" % index
            sh("ip", "link", "add", lower, "netns", self.router, "type", "veth", "peer", "name",
               peer, "netns", self.server)
            sh("ip", "link", "set", lower, "up", ns=self.router)
            sh("ip", "link", "add", "link", lower, "name", name, "type", "macvlan", "mode",
               "bridge", ns=self.router)
        else:
            sh("ip", "link", "add", name, "netns", self.router, "type", "veth", "peer", "name",
               peer, "netns", self.server)
        sh("ip", "addr", "add", router_ip + "/30", "dev", name, ns=self.router)
        sh("ip", "link", "set", name, "up", ns=self.router)
        sh("ip", "addr", "add", server_ip + "/30", "dev", peer, ns=self.server)
        sh("ip", "link", "set", peer, "up", ns=self.server)
        return server_ip

    def delete_link(self, name):
        sh("ip", "link", "del", name, ns=self.router)

    def peer_address(self, name):
        return "10.201.%d.2" % self.links[name]

    def set_default_route(self, name, metric=0, replace_all=True):
        if replace_all:
            self.clear_default_routes()
        sh("ip", "route", "add", "default", "via", self.peer_address(name), "dev", name,
           "metric", str(metric), ns=self.router)

    def clear_default_routes(self):
        while sh("ip", "route", "del", "default", check=False, ns=self.router) == 0:
            pass

    def route_table(self):
        return sh("cat", "/proc/net/route", ns=self.router, capture=True)

    def connections_closed(self, port=SERVER_PORT):
        """True once the router holds no TCP connection to the server's port but in TIME-WAIT:
        every segment of the closing handshake has crossed the router's links."""
        out = sh("ss", "-Htan", ns=self.router, capture=True)
        return not [line for line in out.splitlines()
                    if len(line.split()) >= 5 and line.split()[4].endswith(":%d" % port)
                    and line.split()[0] != "TIME-WAIT"]

    def server_connections(self, state, port=SERVER_PORT):
        """How many of the server's connections on its port are in state (an ss state name)."""
        out = sh("ss", "-Htn", "state", state, "sport", "= :%d" % port, ns=self.server,
                 capture=True)
        return len(out.splitlines())

    def replies_read(self, port=SERVER_PORT):
        """True while the router holds a connection to the server's port and every byte the
        server wrote on it has been read by the router's side: nothing unsent at the server,
        nothing unread at the router."""
        def connections(ns, column):
            out = sh("ss", "-Htn", "state", "established", ns=ns, capture=True)
            return [line.split() for line in out.splitlines()
                    if len(line.split()) >= 4 and line.split()[column].endswith(":%d" % port)]
        router = connections(self.router, 3)  # ss prints no state column for one state
        return bool(router) and all(c[0] == "0" for c in router) and all(
            c[1] == "0" for c in connections(self.server, 2))

    # ---- traffic and counters
    def counters(self, name):
        """(tx_bytes, rx_bytes) of a router interface, as the kernel counts them."""
        out = sh("sh", "-c", "cat /sys/class/net/%s/statistics/tx_bytes "
                 "/sys/class/net/%s/statistics/rx_bytes" % (name, name),
                 ns=self.router, capture=True).split()
        return int(out[0]), int(out[1])

    def fake_sysfs(self):
        """A directory standing for the router's /sys/class ("class/") and /sys/devices/platform
        ("platform/") in every process started from now on, for trees of USB modems; returns it.
        Symbolic links in it point at "/sys/...", as the kernel's do."""
        self.sysfs = os.path.join(self.dir, "sysfs")
        for sub in ("class/net", "platform"):
            os.makedirs(os.path.join(self.sysfs, sub), exist_ok=True)
        return self.sysfs

    def enable_ipv6(self):
        """IPv6 on in both namespaces (it is off unless a test needs it, so that its chatter does
        not move counters), without duplicate address detection; the server listens on it too."""
        self.ipv6 = True
        for ns in (self.router, self.server):
            for key in ("all", "default"):
                sh("sysctl", "-qw", "net.ipv6.conf.%s.disable_ipv6=0" % key,
                   "net.ipv6.conf.%s.accept_dad=0" % key, ns=ns)
        sh("ip", "-6", "addr", "add", SERVER_ADDRESS6 + "/128", "dev", "lo", "nodad", ns=self.server)
        self.restart_server()

    def set_default_route6(self, name):
        """An IPv6 address on the link and the router's IPv6 default route through it, as an
        IPv6-only APN gives; the server's names then resolve to its IPv6 address."""
        index = self.links[name]
        router_ip, server_ip = "fd00:201:%d::1" % index, "fd00:201:%d::2" % index
        peer = "tv%d" % index
        sh("ip", "-6", "addr", "replace", router_ip + "/64", "dev", name, "nodad", ns=self.router)
        sh("ip", "-6", "addr", "replace", server_ip + "/64", "dev", peer, "nodad", ns=self.server)
        sh("ip", "-6", "route", "replace", "default", "via", server_ip, "dev", name,
           ns=self.router)
        with open(os.path.join(self.dir, "hosts"), "w") as f:
            f.write("127.0.0.1 localhost\n%s %s %s\n" % (SERVER_ADDRESS6, self.host,
                                                         self.other_host))

    def far_end_counters(self, name):
        """(tx_bytes, rx_bytes) of a router link as its far end counts them: what the router sent,
        what it received, whatever became of the router's own interface."""
        peer = "tv%d" % self.links[name]
        out = sh("sh", "-c", "cat /sys/class/net/%s/statistics/rx_bytes "
                 "/sys/class/net/%s/statistics/tx_bytes" % (peer, peer),
                 ns=self.server, capture=True).split()
        return int(out[0]), int(out[1])

    def push_traffic(self, name, datagrams, size=1000):
        """Sends datagrams over a link to the server's side, which answers each with an ICMP error,
        so both counters move."""
        code = ("import socket,sys\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                "for _ in range(%d): s.sendto(b'x'*%d,(sys.argv[1],9))\n" % (datagrams, size))
        sh("/usr/bin/python3", "-c", code, self.peer_address(name), ns=self.router)

    # ---- configuration
    def write_config(self, package, text):
        path = os.path.join(self.dir, "config", package)
        with open(path + ".tmp", "w") as f:
            f.write(text)
        os.rename(path + ".tmp", path)

    def configure(self, serial="SN-0042", module="eth1", installer=None, interval=None,
                  enabled="1", periodic=600, device=None, proto=None, **bandwidth):
        """Writes the service's UCI files. A polling interval of 0 falls back to half the
        periodic one. Other keywords are options of easycwmp.bandwidth (tls_resume,
        min_report_bytes, persist_interval, client_cert, ...); module=None leaves ifname out, and
        device and proto set network.module's."""
        installer = self.installer if installer is None else installer
        interval = self.interval if interval is None else interval
        self.write_config("easycwmp", (
            "config acs\n\toption periodic_interval '%s'\n\toption bwpolling_interval '%s'\n\n"
            "config device\n\toption serial_number '%s'\n\n"
            "config local 'global'\n\toption host '%s'\n\n"
            "config bandwidth 'bandwidth'\n\toption enabled '%s'\n")
            % (periodic, interval, serial, installer, enabled)
            + "".join("\toption %s '%s'\n" % item for item in bandwidth.items()
                      if item[1] is not None))
        self.write_config("network", "config interface 'module'\n"
                          + ("" if module is None else "\toption ifname '%s'\n" % module)
                          + ("" if device is None else "\toption device '%s'\n" % device)
                          + ("" if proto is None else "\toption proto '%s'\n" % proto))

    # ---- names
    def set_hosts(self, resolvable=True):
        """The router's /etc/hosts: with the server's names, or without them, so that they go to
        the name server (see silent_dns)."""
        with open(os.path.join(self.dir, "hosts"), "w") as f:
            f.write("127.0.0.1 localhost\n")
            if resolvable:
                f.write("%s %s %s\n" % (SERVER_ADDRESS, self.host, self.other_host))

    def dns_query_waiting(self):
        """True once the silent name server has a query it will never answer."""
        out = sh("ss", "-Huan", ns=self.server, capture=True)
        return any(len(f) >= 4 and f[3] == SILENT_DNS + ":53" and f[1] != "0"
                   for f in (line.split() for line in out.splitlines()))

    def silent_dns(self):
        """A name server, the router's, that takes every query and never answers: a hanging
        lookup, as on a cellular link whose DNS is gone."""
        sh("ip", "addr", "add", SILENT_DNS + "/32", "dev", "lo", ns=self.server)
        code = ("import socket,time\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                "s.bind(('%s',53))\nopen('%s','w').close()\ntime.sleep(3600)\n")
        ready = os.path.join(self.dir, "server", "dns-ready")
        subprocess.Popen(["ip", "netns", "exec", self.server, "/usr/bin/python3", "-c",
                          code % (SILENT_DNS, ready)],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(lambda: os.path.exists(ready), timeout=10):
            raise RuntimeError("the silent name server did not start")

    # ---- the management server
    def restart_server(self, *options):
        """(Re)starts the management server: new TLS keys, no sessions remembered. options are
        mgmt_server.py serve's, such as "--no-resume", added to the sandbox's own."""
        if self.server_proc:
            self.server_proc.kill()
            self.server_proc.wait()
        port_file = os.path.join(self.dir, "server", "port")
        if os.path.exists(port_file):
            os.unlink(port_file)
        self.server_proc = subprocess.Popen(
            ["ip", "netns", "exec", self.server, "/usr/bin/python3", MGMT_SERVER, "serve",
             "--bind", "::" if self.ipv6 else "0.0.0.0", "--port", str(SERVER_PORT), "--cert", self.pki["cert"],
             "--key", self.pki["key"], "--log", self.server_log,
             "--plan", os.path.join(self.dir, "server", "plan.json"),
             "--port-file", port_file] + self.server_options + list(options),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(lambda: os.path.exists(port_file) or self.server_proc.poll() is not None,
                          timeout=10, step=0.02) or not os.path.exists(port_file):
            raise RuntimeError("the management server did not start")

    def serve_with_nginx(self, client_ca=False, tickets=False, database=None, cut_every=0,
                         workers=1, session_cache=None):
        """nginx with HTTP/2 on, and PHP-FPM running the operator's kit (server/), in place of
        the reference server (which stops): deployed by server/install under a prefix in the
        sandbox's directory (see install_kit), so the test runs what the operator's guide does,
        with every file and socket there and no system service touched (tickets: nginx's
        default session tickets instead of the kit's session cache). client_ca: the routers'
        endpoint requires the test PKI's client certificates. database: a Database (by default
        a SQLite ledger, made on the first call).
        cut_every: N puts tools/cut_proxy.py before nginx, cutting every Nth connection's reply
        after the server answered. workers: nginx's worker processes; session_cache: the
        size of its session cache, as "1m", in place of the kit's. Returns the directory,
        which holds access.log (one line a request); the ledger is self.database."""
        if self.server_proc:
            self.server_proc.kill()
            self.server_proc.wait()
            self.server_proc = None
        web = os.path.join(self.dir, "web")
        if database is not None:
            self.database = database
        elif getattr(self, "database", None) is None:
            self.database = Database.sqlite()
        # A second call replaces the first set.
        for ns_pid in sh("ip", "netns", "pids", self.server, check=False, capture=True).split():
            try:
                exe = os.path.basename(os.readlink("/proc/%s/exe" % ns_pid))
                cmdline = open("/proc/%s/cmdline" % ns_pid).read()
                if exe.startswith(("nginx", "php-fpm")) or "cut_proxy.py" in cmdline:
                    os.kill(int(ns_pid), signal.SIGKILL)
            except OSError:
                pass
        socket_path = self._front_end(web, SERVER_PORT + 10000 if cut_every else SERVER_PORT,
                                      8443, client_ca, tickets, session_cache, workers)
        self.cut_log = os.path.join(web, "cut.log")
        if cut_every:
            subprocess.Popen(["ip", "netns", "exec", self.server, "/usr/bin/python3", CUT_PROXY,
                              "--listen", "%s:%d" % (SERVER_ADDRESS, SERVER_PORT),
                              "--to", "127.0.0.1:%d" % (SERVER_PORT + 10000),
                              "--cut-every", str(cut_every), "--log", self.cut_log],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def listening():
            ports = sh("ip", "netns", "exec", self.server, "ss", "-Hltn", capture=True)
            return (":%d " % SERVER_PORT in ports) and ":8443 " in ports
        if not wait_until(lambda: os.path.exists(os.path.join(web, "nginx.pid"))
                          and os.path.exists(socket_path) and listening(),
                          timeout=20):
            raise RuntimeError("nginx or PHP-FPM did not start: %s" % open(
                os.path.join(web, "error.log")).read()[-2000:])
        return web

    def add_front_end(self, name, port, page_port, client_ca=False):
        """Another nginx and PHP-FPM, deployed by server/install in a directory of its own
        (NAME) on other ports, on the same ledger as serve_with_nginx's (which must have run):
        a second front end on one PostgreSQL database. Returns its directory."""
        web = os.path.join(self.dir, name)
        socket_path = self._front_end(web, port, page_port, client_ca)

        def listening():
            ports = sh("ip", "netns", "exec", self.server, "ss", "-Hltn", capture=True)
            return ":%d " % port in ports and ":%d " % page_port in ports
        if not wait_until(lambda: os.path.exists(socket_path) and listening(), timeout=20):
            raise RuntimeError("the second front end did not start: %s" % open(
                os.path.join(web, "error.log")).read()[-2000:])
        return web

    def _front_end(self, web, port, page_port, client_ca, tickets=False, session_cache=None,
                   workers=1):
        """Installs the kit under web/kit and starts its nginx and PHP-FPM; returns the path of
        PHP-FPM's socket."""
        prefix = os.path.join(web, "kit")  # server/install's /
        os.makedirs(os.path.join(web, "temp"), exist_ok=True)
        # PHP-FPM's workers run as www-data, as the kit's pool says: they must reach the prefix.
        for path in (self.dir, web):
            os.chmod(path, os.stat(path).st_mode | 0o011)
        for name in ("nginx.pid", "php-fpm.pid"):
            if os.path.exists(os.path.join(web, name)):
                os.unlink(os.path.join(web, name))
        self.install_kit(prefix, port=port, page_port=page_port, client_ca=client_ca)
        site = os.path.join(prefix, "etc", "nginx", "conf.d", "tolvu.conf")
        # The bench's knobs, on the installed site.
        with open(site) as f:
            servers = f.read()
        servers = servers.replace("ssl_session_tickets off",
                                  "ssl_session_tickets " + ("on" if tickets else "off"))
        if session_cache:
            servers = re.sub(r"shared:tolvu:\w+", "shared:tolvu:" + session_cache, servers)
        with open(site, "w") as f:
            f.write(servers)
        with open(os.path.join(web, "nginx.conf"), "w") as f:
            f.write(NGINX_CONF.format(dir=web, site=site, workers=workers))
        with open(os.path.join(web, "php-fpm.conf"), "w") as f:
            f.write(PHP_FPM_GLOBAL.format(dir=web, pool=os.path.join(
                prefix, "etc", "php", "8.2", "fpm", "pool.d", "tolvu.conf")))
        socket_path = os.path.join(prefix, "run", "php", "tolvu.sock")
        if os.path.exists(socket_path):
            os.unlink(socket_path)
        subprocess.Popen(["ip", "netns", "exec", self.server, PHP_FPM, "-F", "-y",
                          os.path.join(web, "php-fpm.conf")],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.Popen(["ip", "netns", "exec", self.server, NGINX, "-e",
                          os.path.join(web, "error.log"), "-p", web, "-c",
                          os.path.join(web, "nginx.conf"), "-g", "daemon off;"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return socket_path

    def install_kit(self, prefix, port=SERVER_PORT, page_port=8443, client_ca=False):
        """Deploys the kit with server/install under prefix, as an operator would (the test PKI's
        server certificate, the routers' CA when client_ca, the page's operator, the ledger on
        self.database), and binds self.database to the ledger it made; returns its output."""
        db = self.database
        command = [INSTALL, "--database", db.kind, "--prefix", prefix, "--no-packages",
                   "--port", str(port), "--page-port", str(page_port),
                   "--server-name", "%s %s" % (self.host, self.other_host),
                   "--cert", self.pki["cert"], "--key", self.pki["key"],
                   "--operator", OPERATOR[0]] + (
            ["--client-ca", self.pki["client-ca"]] if client_ca else ["--no-client-certs"]) + (
            ["--pg-socket", db.socket] if db.kind == "postgresql" else [])
        result = subprocess.run(command, input=OPERATOR[1] + "\n", capture_output=True,
                                text=True, timeout=120)
        if result.returncode:
            raise RuntimeError("server/install failed: %s%s" % (result.stdout, result.stderr))
        if db.kind == "sqlite":
            db.bind(os.path.join(prefix, "var", "lib", "tolvu", "ledger.sqlite"))
        return result.stdout

    def cut_connections(self):
        """How many connections the proxy took, and the numbers (from 1) of those it cut."""
        with open(self.cut_log) as f:
            entries = [json.loads(line) for line in f]
        return len(entries), sorted(e["n"] for e in entries if e["cut"])

    def set_plan(self, plan):
        path = os.path.join(self.dir, "server", "plan.json")
        with open(path + ".tmp", "w") as f:
            json.dump(plan, f)
        os.rename(path + ".tmp", path)

    def requests(self):
        with open(self.server_log) as f:
            return [json.loads(line) for line in f if line.endswith("\n")]

    # ---- the service
    def lock_file(self):
        return os.path.join(self.dir, "tmp", "tolvu.lock")

    def start(self, binary, *args, wrap=(), hide_route_table=False, installed=None, env=None):
        """Starts binary in the router with the sandbox's files in place; returns a Service.
        installed: a tolvu binary to put at /usr/sbin/tolvu, for scripts that call it there;
        env: variables added to its environment."""
        mounts = [
            (os.path.join(self.dir, "config"), "/etc/config"),
            (os.path.join(self.dir, "flash"), "/etc/tolvu"),
            (self.pki["ca_dir"], "/etc/ssl/certs"),
            (os.path.join(self.dir, "hosts"), "/etc/hosts"),
            (os.path.join(self.dir, "resolv.conf"), "/etc/resolv.conf"),
            (os.path.join(self.dir, "log.sock"), "/dev/log"),
            (os.path.join(self.dir, "tmp"), "/tmp"),  # last: the others live under /tmp
        ]
        # Anything the command needs from the real /tmp (a checkout there, say) stays visible:
        # its top directory is mirrored into the sandbox's /tmp before that replaces the real one.
        mirrors = []
        for token in (binary,) + tuple(wrap) + ((installed,) if installed else ()):
            if token.startswith("/tmp/") and not token.startswith(self.dir + "/"):
                top = "/tmp/" + token.split("/")[2]
                if top not in [m[0] for m in mirrors]:
                    mirror = os.path.join(self.dir, "tmp", top[len("/tmp/"):])
                    os.makedirs(mirror, exist_ok=True)
                    mirrors.append((top, mirror))
        if installed:
            mounts.insert(0, (os.path.abspath(installed), INSTALLED_BINARY))
        boot_id = os.path.join(self.dir, "boot_id")
        if os.path.exists(boot_id):  # another boot, as the service sees it
            mounts.insert(0, (boot_id, "/proc/sys/kernel/random/boot_id"))
        script = "".join('mount --bind "%s" "%s" && ' % m for m in mounts[:-1] + mirrors)
        if self.sysfs:
            # The test's own /sys/class and /sys/devices/platform (the modems' trees), with the
            # router's real /sys/class/net kept inside it: its counters stay the kernel's.
            script += ('mount --bind /sys/class/net "{0}/class/net" && '
                       'mount --rbind "{0}/class" /sys/class && '
                       'mount --bind "{0}/platform" /sys/devices/platform && ').format(self.sysfs)
        script += 'mount --rbind "%s" "%s" && ' % mounts[-1]
        if hide_route_table:
            # An empty /proc for the service alone: the routing table cannot be opened.
            script += "mount -t tmpfs none /proc && "

        script += 'exec "$@"'
        popen = subprocess.Popen(
            ["ip", "netns", "exec", self.router, "sh", "-c", script, "sh"] + list(wrap)
            + [binary] + list(args),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            bufsize=1, env=dict(os.environ, **(env or {})))
        service = Service(popen)
        self.services.append(service)
        return service

    def set_boot_id(self, boot_id):
        """Makes services started from now on see another boot id."""
        with open(os.path.join(self.dir, "boot_id"), "w") as f:
            f.write(boot_id + "\n")

    def reboot(self, *links):
        """The router starts again (its services must have ended): /tmp emptied, a new boot id,
        the named links re-created with their counters from zero; flash (/etc) stays."""
        tmp = os.path.join(self.dir, "tmp")
        for name in os.listdir(tmp):
            path = os.path.join(tmp, name)
            shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
        self.set_boot_id(str(uuid.uuid4()))
        for name in links:
            self.delete_link(name)
            self.add_link(name, macvlan=name in self.macvlans)

    def flash_dir(self):
        return os.path.join(self.dir, "flash")

    def install_tls_file(self, name, source, mode=0o600):
        """Puts a copy of a PKI file on the router's flash (/etc/tolvu/NAME); returns the path
        the router sees."""
        path = os.path.join(self.flash_dir(), name)
        shutil.copyfile(source, path)
        os.chmod(path, mode)
        return "/etc/tolvu/" + name

    def pending(self):
        """The pending traffic kept on flash as a dict, or None."""
        try:
            with open(os.path.join(self.flash_dir(), "pending")) as f:
                return dict(line.split("=", 1) for line in f.read().splitlines())
        except (OSError, ValueError):
            return None

    def state_file(self):
        return os.path.join(self.dir, "tmp", "tolvu.state")

    def state(self):
        """The saved state as a dict, or None."""
        try:
            with open(self.state_file()) as f:
                return dict(line.split("=", 1) for line in f.read().splitlines())
        except (OSError, ValueError):
            return None

    def syslog_lines(self):
        return list(self.syslog.lines)


class Database:
    """The kit's ledger, which server/install makes: a SQLite file, or a PostgreSQL cluster of the
    caller's own laid out as Debian's (initdb in a directory, run by the postgres user, since
    PostgreSQL refuses root; local connections by peer authentication only, "local all all
    peer"; a unix socket there, no TCP; stopped by close). Queries run as the superuser
    (PostgreSQL) or as PHP-FPM's user (SQLite, whose journal files must stay that user's)."""

    PG_BIN = "/usr/lib/postgresql/15/bin"
    PG_USER = "postgres"
    WEB_USER = "www-data"

    def __init__(self, kind, dsn=None, query=None, start=None, stop=None, socket=None):
        self.kind = kind
        self.dsn = dsn
        self.socket = socket
        self._query = query
        self._start = start
        self._stop = stop
        self._running = stop is not None

    @classmethod
    def sqlite(cls):
        """A SQLite ledger, made where server/install puts it (bind then names the file)."""
        return cls("sqlite")

    def bind(self, path):
        code = ("import json, sqlite3, sys\n"
                "with sqlite3.connect(sys.argv[1], timeout=10) as db:\n"
                "    print(json.dumps([list(r) for r in db.execute(sys.argv[2])]))\n")

        def query(sql):
            out = sh("setpriv", "--reuid", self.WEB_USER, "--regid", self.WEB_USER,
                     "--clear-groups", "/usr/bin/python3", "-c", code, path, sql, capture=True)
            return [tuple(row) for row in json.loads(out)]
        self.dsn = "sqlite:" + path
        self._query = query

    @classmethod
    def postgresql(cls, directory, fsync=False, settings=()):
        import pwd
        user = pwd.getpwnam(cls.PG_USER)
        os.makedirs(directory)
        parent = os.path.dirname(directory)
        os.chmod(parent, os.stat(parent).st_mode | 0o011)  # the users reach its directory
        os.chown(directory, user.pw_uid, user.pw_gid)
        data = os.path.join(directory, "data")

        def as_user(*args, **kwargs):
            return sh("setpriv", "--reuid", str(user.pw_uid), "--regid", str(user.pw_gid),
                      "--clear-groups", *args, **kwargs)
        as_user(os.path.join(cls.PG_BIN, "initdb"), "-D", data, "-U", cls.PG_USER,
                "--auth-local=peer", "--auth-host=reject", "-E", "UTF8", "--locale=C.UTF-8",
                timeout=120)
        options = ["-c listen_addresses=''", "-c unix_socket_directories='%s'" % directory,
                   "-c fsync=%s" % ("on" if fsync else "off")] + ["-c " + o for o in settings]

        def start():
            as_user(os.path.join(cls.PG_BIN, "pg_ctl"), "-D", data, "-l",
                    os.path.join(directory, "log"), "-w", "-o", " ".join(options), "start",
                    timeout=60)
        start()

        def stop():
            as_user(os.path.join(cls.PG_BIN, "pg_ctl"), "-D", data, "-m", "fast", "-w", "stop",
                    check=False, timeout=60)

        psql = ["psql", "-h", directory, "-d", "tolvu", "-X", "-q", "-At", "-F", "\t", "-v",
                "ON_ERROR_STOP=1"]

        def query(sql):
            out = as_user(*psql, "-c", sql, capture=True)
            return [tuple(int(v) if re.fullmatch(r"-?\d+", v) else (None if v == "" else v)
                          for v in line.split("\t")) for line in out.splitlines()]
        return cls("postgresql", "pgsql:host=%s;dbname=tolvu;user=tolvu" % directory, query,
                   start, stop, socket=directory)

    def rows(self, sql):
        return self._query(sql)

    def restart(self):
        """Starts again a PostgreSQL cluster that close stopped, its data kept."""
        self._start()
        self._running = True

    def close(self):
        if self._running:
            self._stop()
            self._running = False


def require_root():
    """A reason to skip when the sandbox cannot be built, or None."""
    if os.geteuid() != 0:
        return "the sandbox needs root (network and mount namespaces)"
    for tool in ("ip", "mount", "openssl"):
        if not shutil.which(tool):
            return "the sandbox needs %s" % tool
    return None


if __name__ == "__main__":
    sys.exit("import this module; see scripts/demo and tests/system")
