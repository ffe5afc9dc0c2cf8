#!/usr/bin/env python3
"""mirror.py: copies a local folder to an FTP server and back, with a progress bar per file.

    mirror.py [--port N] [--user NAME] [--password TEXT] HOST LOCAL_DIR REMOTE_DIR BACK_DIR

Every file below LOCAL_DIR goes up into REMOTE_DIR on the server (made where missing); then
the remote tree comes back down into BACK_DIR. The bars come from tqdm where it is installed
(Debian: python3-tqdm), as plain lines otherwise. Exits with status 1 on a failure.
"""

import argparse
import os
import sys

import dap32

try:
    from tqdm import tqdm
except ImportError:
    tqdm = None


class PlainBar:
    """A line per quarter of the file, where tqdm is not at hand."""

    def __init__(self, name, total):
        self.name, self.total, self.shown = name, total, -1

    def update(self, done):
        quarter = 4 if not self.total else min(4, done * 4 // self.total)
        if quarter > self.shown:
            print(f"{self.name}: {done}/{self.total} bytes", file=sys.stderr)
            self.shown = quarter

    def close(self):
        pass  # every line is complete


def bar(name, total):
    """A progress bar for one file: its callback(bytes_so_far), and what closes it."""
    if tqdm is None:
        plain = PlainBar(name, total)
        return plain.update, plain.close
    progress = tqdm(total=total, desc=name, unit="B", unit_scale=True)
    return (lambda done: progress.update(done - progress.n)), progress.close


def upload(ftp, local, remote, totals):
    try:
        ftp.mkd(remote)
    except dap32.ServerError:
        pass  # it is there already
    ftp.cwd(remote)
    for name in sorted(os.listdir(local)):
        path = os.path.join(local, name)
        if os.path.isdir(path):
            upload(ftp, path, name, totals)
            continue
        update, close = bar(name, os.path.getsize(path))
        ftp.put(path, name, callback=update)
        close()
        totals[0] += 1
        totals[1] += os.path.getsize(path)
    ftp.cwd("..")


def download(ftp, remote, local, totals):
    os.makedirs(local, exist_ok=True)
    ftp.cwd(remote)
    for entry in ftp.listing():
        if entry.name in (".", ".."):
            continue
        path = os.path.join(local, entry.name)
        if entry.is_dir:
            download(ftp, entry.name, path, totals)
            continue
        update, close = bar(entry.name, entry.size or 0)
        ftp.get(entry.name, path, callback=update)
        close()
        totals[0] += 1
        totals[1] += os.path.getsize(path)
    ftp.cwd("..")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=21)
    parser.add_argument("--user", default="anonymous")
    parser.add_argument("--password", default="mirror@")
    for name in ("host", "local_dir", "remote_dir", "back_dir"):
        parser.add_argument(name)
    args = parser.parse_args()
    up, down = [0, 0], [0, 0]
    try:
        with dap32.Session(args.host, args.user, args.password, port=args.port) as ftp:
            upload(ftp, args.local_dir, args.remote_dir, up)
            download(ftp, args.remote_dir, args.back_dir, down)
    except dap32.Error as error:
        print(f"mirror: {error}", file=sys.stderr)
        return 1
    print(f"mirrored {up[0]} files ({up[1]} bytes) up and {down[0]} files ({down[1]} bytes) back")
    return 0


if __name__ == "__main__":
    sys.exit(main())
