"""A TCP proxy between routers and a TLS server that loses replies after the server committed.

Every connection is relayed both ways, except each one picked to be cut: from the client's first
TLS application-data record on (the request on TLS 1.2, the client's Finished on TLS 1.3; the
server's handshake has all gone through by then), nothing the server sends reaches the client.
The proxy still hands the server the whole request, waits until the server has answered and
closed (its reply follows its commit), and only then closes the client's side: a report the
server billed whose reply never arrived.

    cut_proxy.py --listen ADDR:PORT --to ADDR:PORT --cut-every N --log FILE

Connections 2, 2 + N, 2 + 2N, ... are cut (a third of them at N = 3). One JSON line a
connection goes to FILE: {"n": k, "cut": bool}.
"""

import argparse
import json
import socket
import threading

HEADER = 5  # a TLS record's: type, version (2), length (2)
APPLICATION_DATA = 23


def relay(source, sink, watch=None, cut=None):
    """Copies source to sink until source ends. watch: parse the stream's TLS records and set
    the event cut at the first application-data record, before it is passed on (it is passed on
    all the same). cut: an event that, once set, turns sink into a sink that drops everything."""
    pending = b""
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            if watch is not None and not watch.is_set():
                pending += data
                while len(pending) >= HEADER:
                    if pending[0] == APPLICATION_DATA:
                        watch.set()
                        break
                    length = HEADER + int.from_bytes(pending[3:5], "big")
                    if len(pending) < length:
                        break
                    pending = pending[length:]
            if cut is not None and cut.is_set():
                continue
            sink.sendall(data)
    except OSError:
        pass
    try:
        sink.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def serve_one(client, target, lose, log, lock, number):
    server = socket.create_connection(target, timeout=30)
    for s in (client, server):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.settimeout(30)
    cut = threading.Event()
    up = threading.Thread(target=relay, args=(client, server, cut if lose else None))
    up.start()
    # The server's side: relayed until the client's first application data, when cut.
    relay(server, client, cut=cut if lose else None)
    if lose:
        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
    client.close()
    up.join(timeout=30)
    server.close()
    with lock:
        log.write(json.dumps({"n": number, "cut": lose}) + "\n")
        log.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", required=True)
    parser.add_argument("--to", required=True)
    parser.add_argument("--cut-every", type=int, default=3)
    parser.add_argument("--log", required=True)
    args = parser.parse_args()
    host, port = args.listen.rsplit(":", 1)
    to_host, to_port = args.to.rsplit(":", 1)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((host, int(port)))
    listener.listen(64)
    log = open(args.log, "a")
    lock = threading.Lock()
    number = 0
    while True:
        client, _ = listener.accept()
        number += 1
        lose = args.cut_every > 0 and number % args.cut_every == 2 % args.cut_every
        threading.Thread(target=serve_one, daemon=True,
                         args=(client, (to_host, int(to_port)), lose, log, lock, number)).start()


if __name__ == "__main__":
    main()
