#!/usr/bin/python3
"""A modem's AT port on a pty, for tests: answers the ICCID queries as modems do.

    fake_modem.py ICCID_FILE [--link PATH] [--answers ccid|iccid|qccid|bare]

Prints the pty's path on one line (and links PATH to it, when given), then answers until it is
killed. Each query reads ICCID_FILE anew, so that a test can swap SIMs by rewriting it; an empty
or missing file is a modem without a SIM (+CME ERROR: 10). --answers picks the one command that
answers (the others get ERROR, as on a modem of another vendor): ccid (the default) answers
AT+CCID with "+CCID: <iccid>", iccid AT+ICCID with "+ICCID: ", qccid AT+QCCID with "+QCCID: ",
bare AT+CCID with the bare digits. Plain AT gets OK. The modem echoes nothing (ATE0).
"""
import argparse
import os
import sys
import tty

PREFIXES = {"ccid": ("AT+CCID", "+CCID: "), "iccid": ("AT+ICCID", "+ICCID: "),
            "qccid": ("AT+QCCID", "+QCCID: "), "bare": ("AT+CCID", "")}


def answer(command, iccid_file, style):
    asked, prefix = PREFIXES[style]
    if command == "AT":
        return "OK"
    if command.upper() != asked:
        return "ERROR"
    try:
        with open(iccid_file) as f:
            iccid = f.readline().strip()
    except OSError:
        iccid = ""
    if not iccid:
        return "+CME ERROR: 10"
    return f"{prefix}{iccid}\r\n\r\nOK"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("iccid_file")
    parser.add_argument("--link")
    parser.add_argument("--answers", choices=sorted(PREFIXES), default="ccid")
    args = parser.parse_args()
    master, slave = os.openpty()
    tty.setraw(slave)
    path = os.ttyname(slave)
    if args.link:
        if os.path.lexists(args.link):
            os.unlink(args.link)
        os.symlink(path, args.link)
    print(path, flush=True)
    # The slave stays open here, so that the master reads on between the service's questions.
    pending = b""
    while True:
        pending += os.read(master, 256)
        while b"\r" in pending:
            line, pending = pending.split(b"\r", 1)
            command = line.decode(errors="replace").strip()
            if command:
                reply = answer(command, args.iccid_file, args.answers)
                os.write(master, f"\r\n{reply}\r\n".encode())


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
