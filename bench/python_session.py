#!/usr/bin/python3
"""One run of the bench's "Python Session against ftplib" case: log in, upload a file, download
another, log out; prints "RESULT put=S get=S seconds=S total=S bytes=N".

    python_session.py {fast|original|ftplib} PORT USER PASSWORD UPLOAD DOWNLOAD

UPLOAD is a local file, stored under its own name; DOWNLOAD is a local path, retrieved under
its own name. fast and original are dap32.Session's paces, with the package from
bindings/python and the library from DAP32_LIBRARY; ftplib is the standard library's client
with its default block size. seconds is put + get, total includes the login and QUIT.
"""

import ftplib
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bindings",
                                "python"))
import dap32  # noqa: E402


def with_ftplib(port, user, password, upload, download, marks):
    with ftplib.FTP() as ftp:
        ftp.connect("127.0.0.1", port)
        ftp.login(user, password)
        marks.append(time.perf_counter())
        with open(upload, "rb") as source:
            ftp.storbinary("STOR " + os.path.basename(upload), source)
        marks.append(time.perf_counter())
        with open(download, "wb") as target:
            ftp.retrbinary("RETR " + os.path.basename(download), target.write)
        marks.append(time.perf_counter())
        ftp.quit()


def with_session(pace, port, user, password, upload, download, marks):
    with dap32.Session("127.0.0.1", user, password, port=port, pace=pace) as ftp:
        marks.append(time.perf_counter())
        ftp.put(upload)
        marks.append(time.perf_counter())
        ftp.get(os.path.basename(download), download)
        marks.append(time.perf_counter())


def main(argv):
    if len(argv) != 6 or argv[0] not in ("fast", "original", "ftplib"):
        print(__doc__.strip().splitlines()[3], file=sys.stderr)
        return 2
    client, port, user, password, upload, download = argv
    marks = [time.perf_counter()]
    if client == "ftplib":
        with_ftplib(int(port), user, password, upload, download, marks)
    else:
        with_session(client, int(port), user, password, upload, download, marks)
    marks.append(time.perf_counter())
    started, logged_in, put, got, ended = marks
    print("RESULT put=%.6f get=%.6f seconds=%.6f total=%.6f bytes=%d" % (
        put - logged_in, got - put, got - logged_in, ended - started,
        os.path.getsize(upload) + os.path.getsize(download)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
