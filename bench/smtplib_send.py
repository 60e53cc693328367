#!/usr/bin/python3
"""Yardstick for bench_smtp: sends the given mail texts with Python's smtplib over one
connection and prints the seconds from connect to the end of QUIT.

Usage: smtplib_send.py MAILS_FILE PORT [CA_FILE USER PASSWORD]
MAILS_FILE holds records of a decimal byte count, LF, and that many bytes of mail text.
With CA_FILE the connection is TLS from the first byte (the server's certificate checked
against that CA) and logs in as USER.
"""
import smtplib
import ssl
import sys
import time


def main():
    path, port = sys.argv[1], int(sys.argv[2])
    with open(path, "rb") as f:
        data = f.read()
    mails, pos = [], 0
    while pos < len(data):
        nl = data.index(b"\n", pos)
        n = int(data[pos:nl])
        mails.append(data[nl + 1:nl + 1 + n])
        pos = nl + 1 + n
    start = time.perf_counter()
    if len(sys.argv) > 3:
        context = ssl.create_default_context(cafile=sys.argv[3])
        s = smtplib.SMTP_SSL("127.0.0.1", port, context=context)
        s.login(sys.argv[4], sys.argv[5])
    else:
        s = smtplib.SMTP("127.0.0.1", port)
    for m in mails:
        s.sendmail("sender@bench.pb.test", ["rcpt@bench.pb.test"], m)
    s.quit()
    print("%.6f" % (time.perf_counter() - start))


if __name__ == "__main__":
    main()
