#!/usr/bin/python3
"""Runs the dap32 benchmark: throughput, session latency, CPU time and allocations.

    run_bench.py --bench BUILD/bench/dap32_bench [--library BUILD/libdap32.so] [--rounds N]
                 [--sizes 64,512] [--json FILE] [--only CASES]

--only runs some kinds of case alone, for instance --only python (the Python Session against
ftplib); the kinds are transfer, session, phases, allocs, channels, threads, python and ftps.

Starts vsftpd and pyftpdlib on 127.0.0.1 (tests/support/serve_ftp.py) with roots on tmpfs,
makes random files, runs every case once per round (round-robin, so drifts in the machine's
state hit all cases alike), and prints medians over the rounds. One unrecorded warm-up round
of the small size checks file contents first; the many-channel cases compare contents in the
first round. The 32-thread case with the default settings (about a minute per server) runs in
the first round only. The Python case runs bench/python_session.py with the library given by
--library. Needs root (vsftpd) and curl.

ftps: dap32 fast against curl --ssl-reqd over explicit TLS, both trusting the server's
certificate as a CA file (dap32_bench's tls=CAFILE, curl's --cacert), passive mode: a 256 MiB
download and upload, and log in + PWD + QUIT (curl: -I on the root, QUIT as a post-quote
command, so its time_total ends with the 221). The server is serve_ftp.py's vsftpd-tls12:
session reuse required and strict ends as in the tests, but TLS 1.2 at most, so both clients
get TLS 1.2 with vsftpd's cipher ECDHE-RSA-AES256-GCM-SHA384. Not TLS 1.3, where curl 7.88's
uploads are unreliable: vsftpd sends a session ticket on each data connection after the
handshake, curl closes without reading it, the close becomes a reset, and vsftpd loses the
end of the file and answers 426 (12 of 30 uploads of 1 MiB here; 10 of 30 with vsftpd's
lenient strict_ssl_read_eof=NO and strict_ssl_write_shutdown=NO). TLS 1.2 has no such
ticket: 0 of 30. vsftpd's log gives protocol, cipher and resumption of every handshake: read
after each run, shown with the tables, and one target is that both clients met one protocol
and cipher. The warm-up round compares the FTPS transfers' bytes too. Active mode is not
measured: curl 7.88's active mode in TLS fails here ("sa_addr inet_ntop() failed").
"""

import argparse
import contextlib
import filecmp
import json
import os
import platform
import pwd
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVE_FTP = os.path.join(HERE, "..", "tests", "support", "serve_ftp.py")
PYTHON_SESSION = os.path.join(HERE, "python_session.py")
PYTHON = "/usr/bin/python3"
SERVERS = ("vsftpd", "pyftpdlib")
# FTPS: vsftpd with explicit TLS limited to 1.2 (session reuse required, strict ends); see the
# docstring for why 1.2.
FTPS_SERVER = "vsftpd-tls12"
FTPS_SIZE = 256
FTPS_CLIENTS = ("dapfast", "curl")
FTPS_SESSION_TARGET = 1.5
MIB = 1 << 20
GIB = 1 << 30
CHILD_TIMEOUT = 300.0
SERVER_READY_TIMEOUT = 60.0
SERVER_STOP_TIMEOUT = 10.0
SESSIONS_PER_RUN = 5
SMALL_FILE = 1 * MIB  # for the allocation count
# Session cases: dap32 with pollSleep 20 and 1, dap32 with the fast settings, a raw socket loop.
SESSION_CASES = (20, 1, "fast", None)

# "dap32 fast": pollSleep 1, commandDelay 0, finalBlockDelay 0, uploadBlockSize 8192,
# closePause 0, transferChunk 4 MiB (dap32_bench's fastSettings).
GET_CLIENTS = ("dap", "dapfast", "curl", "loop")
PUT_CLIENTS = ("dap", "dap8192", "dapfast", "curl", "loop")
CLIENT_NAMES = {
    "dap": "dap32 defaults",
    "dap8192": "dap32 block 8192",
    "dapfast": "dap32 fast",
    "curl": "curl",
    "loop": "8 KiB loop",
}

# Many channels at once, fast settings, passive: one thread drives CHANNELS channels with
# AUTO_CALL off, each moving CHANNEL_FILE MiB; the same with one channel is the reference.
CHANNEL_FILE = 16
CHANNEL_COUNTS = (1, 32)
# Whole sessions on THREADS threads, THREAD_ROUNDS each: log in, upload and download
# THREAD_FILE MiB, list, close.
THREAD_FILE = 2
THREADS = 32
THREAD_ROUNDS = 3
THREAD_TARGET_SECONDS = 5.0
SESSION_TARGET_MS = 3.0
# The Python binding's Session beside ftplib, the standard library's client: log in, upload and
# download PYTHON_FILE MiB each, against pyftpdlib; fast and original are the Session's paces.
PYTHON_FILE = 200
PYTHON_CLIENTS = ("fast", "original", "ftplib")
PYTHON_CLIENT_NAMES = {"fast": "dap32.Session fast", "original": "dap32.Session original",
                       "ftplib": "ftplib"}
PYTHON_TARGET = 1.2
CASE_KINDS = ("transfer", "session", "phases", "allocs", "channels", "threads", "python", "ftps")


# vsftpd's debug_ssl line for each handshake.
TLS_LOG_LINE = re.compile(r'"SSL version: (\S+), SSL cipher: (\S+), (reused|not reused)')


class BenchError(Exception):
    pass


# ---------------------------------------------------------------------------------------------
# Child processes: output into files, rusage from wait4, a kill timer bounds every run.

def run_child(argv, timeout=CHILD_TIMEOUT, env=None):
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env)
        timer = threading.Timer(timeout, proc.kill)
        timer.start()
        try:
            _, status, usage = os.wait4(proc.pid, 0)
        finally:
            timer.cancel()
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        stdout = out.read().decode(errors="replace")
        stderr = err.read().decode(errors="replace")
    if proc.returncode != 0:
        raise BenchError("%s exited with %d%s: %s" % (
            " ".join(argv[:2]), proc.returncode,
            " (killed after %.0f s)" % timeout if proc.returncode == -signal.SIGKILL else "",
            stderr.strip()[-800:]))
    return stdout, stderr, usage.ru_utime + usage.ru_stime


def parse_results(stdout):
    """The "RESULT key=value ..." lines, as dicts with numbers converted."""
    results = []
    for line in stdout.splitlines():
        if not line.startswith("RESULT "):
            continue
        record = {}
        for field in line.split()[1:]:
            key, _, value = field.partition("=")
            try:
                record[key] = float(value) if "." in value else int(value)
            except ValueError:
                record[key] = value
        results.append(record)
    return results


# ---------------------------------------------------------------------------------------------
# Servers.

class FtpServer:
    def __init__(self, kind, root):
        self.kind = kind
        self.root = root
        self.proc = None
        self.port = self.user = self.password = None
        self.certificate = None  # the TLS kinds' PEM, which the clients trust
        self.log_read = 0

    def is_vsftpd(self):
        return self.kind.startswith("vsftpd")

    def start(self):
        self.proc = subprocess.Popen([PYTHON, SERVE_FTP, self.kind, self.root],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        deadline = time.monotonic() + SERVER_READY_TIMEOUT
        line = b""
        fd = self.proc.stdout.fileno()
        while b"\n" not in line:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                break
            chunk = os.read(fd, 256)
            if not chunk:
                break
            line += chunk
        words = line.decode(errors="replace").split()
        # The TLS kinds add the certificate and its fingerprint.
        if len(words) not in (4, 6) or words[0] != "READY":
            raise BenchError("%s did not start: %s" % (self.kind, line.decode(errors="replace")))
        self.port, self.user, self.password = int(words[1]), words[2], words[3]
        if len(words) == 6:
            self.certificate = words[4]

    def tls_handshakes(self):
        """The handshakes the server logged since the last call, as (protocol, cipher, reused):
        one run's, as runs follow each other."""
        log = os.path.join(os.path.dirname(self.certificate), "server.log")
        with open(log, "rb") as text:
            text.seek(self.log_read)
            lines = text.read().decode(errors="replace")
            self.log_read = text.tell()
        found = []
        for line in lines.splitlines():
            match = TLS_LOG_LINE.search(line)
            if match:
                found.append((match.group(1), match.group(2), match.group(3) == "reused"))
        return found

    def stop(self):
        if self.proc is None:
            return
        with contextlib.suppress(OSError):
            self.proc.stdin.close()  # serve_ftp.py stops at EOF
        for action in (None, self.proc.terminate, self.proc.kill):
            if action is not None:
                with contextlib.suppress(OSError):
                    action()
            try:
                self.proc.wait(timeout=SERVER_STOP_TIMEOUT)
                break
            except subprocess.TimeoutExpired:
                continue
        with contextlib.suppress(OSError):
            self.proc.stdout.close()
        self.proc = None

    def login(self):
        return [str(self.port), self.user, self.password]

    def url(self, name):
        return "ftp://%s:%s@127.0.0.1:%d/%s" % (self.user, self.password, self.port, name)


def hand_over_tree(root):
    """vsftpd's login user must own what it reads and writes."""
    entry = pwd.getpwnam("dap32test")
    for directory, dirs, files in os.walk(root):
        for name in [directory] + [os.path.join(directory, f) for f in dirs + files]:
            os.lchown(name, entry.pw_uid, entry.pw_gid)


# ---------------------------------------------------------------------------------------------
# Files.

def write_random(path, size):
    chunk = 4 * MIB
    with open(path, "wb") as out:
        left = size
        while left > 0:
            out.write(os.urandom(min(chunk, left)))
            left -= chunk


class Layout:
    """src/ holds the upload sources, which are also linked into each server root as the
    download sources; dl/ receives downloads."""

    def __init__(self, work, sizes):
        self.work = work
        self.src = os.path.join(work, "src")
        self.dl = os.path.join(work, "dl")
        self.roots = {kind: os.path.join(work, "root-" + kind) for kind in SERVERS +
                      (FTPS_SERVER,)}
        for directory in [self.src, self.dl] + list(self.roots.values()):
            os.makedirs(directory)
            os.chmod(directory, 0o755)
        for size in sorted(set(sizes + [SMALL_FILE // MIB, CHANNEL_FILE, THREAD_FILE,
                                        PYTHON_FILE])):
            source = self.upload_source(size)
            write_random(source, size * MIB)
            for root in self.roots.values():
                os.link(source, os.path.join(root, self.download_name(size)))
        for kind, root in self.roots.items():
            if kind.startswith("vsftpd"):
                hand_over_tree(root)

    @staticmethod
    def download_name(size):
        return "down%d.bin" % size

    @staticmethod
    def upload_name(size):
        return "up%d.bin" % size

    def upload_source(self, size):
        return os.path.join(self.src, self.upload_name(size))


def take_file(path, size, original, compare):
    """Checks a transferred file and removes it, so that tmpfs holds one copy at a time."""
    try:
        actual = os.path.getsize(path)
        if actual != size:
            raise BenchError("%s has %d bytes, expected %d" % (path, actual, size))
        if compare and not filecmp.cmp(path, original, shallow=False):
            raise BenchError("%s differs from %s" % (path, original))
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)


# ---------------------------------------------------------------------------------------------
# Cases. Each run returns a record; seconds is the transfer alone (no login), cpu the child's
# user+sys for the whole run.

def transfer_timing(client, stdout, nbytes):
    """The one result a transfer printed, and its seconds (curl's without its set-up)."""
    results = parse_results(stdout)
    if len(results) != 1:
        raise BenchError("%s printed no result: %r" % (client, stdout[-400:]))
    result = results[0]
    if client == "curl":
        return result, float(result["total"]) - float(result["pretransfer"])
    if int(result["bytes"]) != nbytes:
        raise BenchError("%s moved %s bytes, expected %d" % (client, result["bytes"], nbytes))
    return result, float(result["seconds"])


def run_transfer(bench, layout, server, size, direction, client, compare):
    nbytes = size * MIB
    root = layout.roots[server.kind]
    if direction == "get":
        name = layout.download_name(size)
        target = os.path.join(layout.dl, name)
        if client in ("dap", "dapfast"):
            argv = [bench, "dap-get"] + server.login() + [layout.dl, name]
            argv += ["fast"] if client == "dapfast" else []
        elif client == "loop":
            argv = [bench, "loop-get"] + server.login() + [target, name]
        else:
            argv = ["curl", "-s", "-S", "--ftp-pasv", "--disable-epsv", "-o", target,
                    "-w", "RESULT pretransfer=%{time_pretransfer} total=%{time_total}\\n",
                    server.url(name)]
        original = os.path.join(root, name)
    else:
        name = layout.upload_name(size)
        source = layout.upload_source(size)
        target = os.path.join(root, name)
        if client in ("dap", "dap8192", "dapfast"):
            block = "8192" if client == "dap8192" else "0"
            argv = [bench, "dap-put"] + server.login() + [layout.src, name, block]
            argv += ["fast"] if client == "dapfast" else []
        elif client == "loop":
            argv = [bench, "loop-put"] + server.login() + [source, name]
        else:
            argv = ["curl", "-s", "-S", "--ftp-pasv", "--disable-epsv", "-T", source,
                    "-w", "RESULT pretransfer=%{time_pretransfer} total=%{time_total}\\n",
                    server.url(name)]
        original = source
    stdout, _, cpu = run_child(argv)
    take_file(target, nbytes, original, compare)
    result, seconds = transfer_timing(client, stdout, nbytes)
    return {"kind": "transfer", "server": server.kind, "size": size, "dir": direction,
            "client": client, "seconds": seconds, "cpu": cpu, "bytes": nbytes,
            "steps": result.get("steps")}


def run_sessions(bench, server, poll):
    if poll is None:
        argv = [bench, "loop-session"] + server.login() + [str(SESSIONS_PER_RUN)]
    elif poll == "fast":
        argv = [bench, "session"] + server.login() + ["1", str(SESSIONS_PER_RUN), "fast"]
    else:
        argv = [bench, "session"] + server.login() + [str(poll), str(SESSIONS_PER_RUN)]
    stdout, _, cpu = run_child(argv)
    sessions = parse_results(stdout)
    if len(sessions) != SESSIONS_PER_RUN:
        raise BenchError("session run printed %d results" % len(sessions))
    return [{"kind": "session", "server": server.kind, "poll": poll,
             "cpu_ms": cpu * 1e3 / SESSIONS_PER_RUN, **{
                 key: s[key] for key in ("connect_ms", "pwd_ms", "close_ms", "total_ms")}}
            for s in sessions]


def run_allocs(bench, layout, server, fast):
    size = SMALL_FILE // MIB
    argv = [bench, "allocs"] + server.login() + [
        layout.dl, layout.upload_name(size), layout.download_name(size)]
    argv += ["fast"] if fast else []
    # Upload and download share the local directory here: the download lands in dl/, so the
    # upload source is linked there for the run.
    upload = os.path.join(layout.dl, layout.upload_name(size))
    os.link(layout.upload_source(size), upload)
    try:
        stdout, stderr, _ = run_child(argv)
    finally:
        os.unlink(upload)
    root = layout.roots[server.kind]
    take_file(os.path.join(root, layout.upload_name(size)), SMALL_FILE,
              layout.upload_source(size), True)
    take_file(os.path.join(layout.dl, layout.download_name(size)), SMALL_FILE,
              os.path.join(root, layout.download_name(size)), True)
    result = parse_results(stdout)[0]
    return {"kind": "allocs", "server": server.kind, "fast": fast, "sites": stderr.strip(),
            **result}


def run_phases(bench, layout, server, size, direction, block, fast):
    if direction == "get":
        name = layout.download_name(size)
        argv = [bench, "phases"] + server.login() + [layout.dl, name, "get", "0"]
        target = os.path.join(layout.dl, name)
    else:
        name = layout.upload_name(size)
        argv = [bench, "phases"] + server.login() + [layout.src, name, "put", str(block)]
        target = os.path.join(layout.roots[server.kind], name)
    argv += ["fast"] if fast else []
    stdout, _, _ = run_child(argv)
    take_file(target, size * MIB, None, False)
    results = parse_results(stdout)
    summary = next(r for r in results if r["op"] == "phases")
    states = {r["state"]: r for r in results if r["op"] == "phase-state"}
    return {"kind": "phases", "server": server.kind, "size": size, "dir": direction,
            "block": block, "fast": fast, "summary": summary, "states": states}


def fresh_dirs(base, prefix, count, owner_root=None):
    """Empty directories base/prefix0 .. base/prefix(count-1); owned by vsftpd's login user
    when they are inside its root."""
    paths = [os.path.join(base, "%s%d" % (prefix, i)) for i in range(count)]
    for path in paths:
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        os.chmod(path, 0o755)
    if owner_root is not None:
        entry = pwd.getpwnam("dap32test")
        for path in paths:
            os.lchown(path, entry.pw_uid, entry.pw_gid)
    return paths


def check_and_remove(paths, name, size, original, compare):
    try:
        for path in paths:
            take_file(os.path.join(path, name), size, original, compare)
    finally:
        for path in paths:
            shutil.rmtree(path, ignore_errors=True)


def run_channels(bench, layout, server, direction, count, compare):
    size = CHANNEL_FILE
    source = layout.upload_source(size)
    root = layout.roots[server.kind]
    owner = root if server.kind == "vsftpd" else None
    if direction == "get":
        name = layout.download_name(size)
        paths = fresh_dirs(layout.dl, "c", count)
        argv = [bench, "channels"] + server.login() + [layout.dl, name, "get", str(count), "fast"]
    else:
        name = layout.upload_name(size)
        paths = fresh_dirs(root, "c", count, owner)
        argv = [bench, "channels"] + server.login() + [layout.src, name, "put", str(count), "fast"]
    try:
        stdout, _, cpu = run_child(argv)
    finally:
        check_and_remove(paths, name, size * MIB, source, compare)
    result = parse_results(stdout)[0]
    if int(result["bytes"]) != count * size * MIB:
        raise BenchError("channels moved %s bytes" % result["bytes"])
    return {"kind": "channels", "server": server.kind, "dir": direction, "channels": count,
            "seconds": float(result["seconds"]), "bytes": int(result["bytes"]), "cpu": cpu,
            "steps": result["steps"], "fds_left": result["fds_left"]}


def run_threads(bench, layout, server, fast, compare):
    size = THREAD_FILE
    source = layout.upload_source(size)
    root = layout.roots[server.kind]
    up, down = layout.upload_name(size), layout.download_name(size)
    local = fresh_dirs(layout.dl, "t", THREADS)
    remote = fresh_dirs(root, "t", THREADS, root if server.kind == "vsftpd" else None)
    for path in local:
        os.link(source, os.path.join(path, up))
    for path in remote:
        os.link(source, os.path.join(path, down))
    argv = [bench, "threads"] + server.login() + [
        layout.dl, up, down, str(THREADS), str(THREAD_ROUNDS)] + (["fast"] if fast else [])
    try:
        stdout, _, cpu = run_child(argv)
        for path in local:
            take_file(os.path.join(path, down), size * MIB, source, compare)
        for path in remote:
            take_file(os.path.join(path, up), size * MIB, source, compare)
    finally:
        for path in local + remote:
            shutil.rmtree(path, ignore_errors=True)
    result = parse_results(stdout)[0]
    return {"kind": "threads", "server": server.kind, "fast": fast, "cpu": cpu,
            **{key: result[key] for key in ("seconds", "bytes", "sessions", "failures",
                                            "fds_left")}}


def run_python(layout, server, client, library, compare):
    size = PYTHON_FILE
    source = layout.upload_source(size)
    download = os.path.join(layout.dl, layout.download_name(size))
    root = layout.roots[server.kind]
    argv = [PYTHON, PYTHON_SESSION, client] + server.login() + [source, download]
    stdout, _, cpu = run_child(argv, env=dict(os.environ, DAP32_LIBRARY=library))
    take_file(os.path.join(root, layout.upload_name(size)), size * MIB, source, compare)
    take_file(download, size * MIB, os.path.join(root, layout.download_name(size)), compare)
    result = parse_results(stdout)[0]
    return {"kind": "python", "server": server.kind, "client": client, "cpu": cpu,
            **{key: float(result[key]) for key in ("put", "get", "seconds", "total")}}


def tls_summary(server, client):
    """What the server logged of one run's handshakes: "PROTOCOL CIPHER" of each, and whether
    every data connection resumed the control connection's session."""
    handshakes = server.tls_handshakes()
    if not handshakes:
        raise BenchError("%s: the server logged no TLS handshake" % client)
    # The first is the control connection's; every later one is a data connection's.
    return {"tls": sorted({"%s %s" % (protocol, cipher) for protocol, cipher, _ in handshakes}),
            "handshakes": len(handshakes),
            "data_resumed": all(reused for _, _, reused in handshakes[1:])}


def run_ftps_transfer(bench, layout, server, size, direction, client, compare):
    """A transfer in TLS: dap32 fast or curl, both trusting the server's certificate."""
    nbytes = size * MIB
    root = layout.roots[server.kind]
    curl = ["curl", "-s", "-S", "--ssl-reqd", "--cacert", server.certificate, "--ftp-pasv",
            "--disable-epsv", "-w",
            "RESULT pretransfer=%{time_pretransfer} total=%{time_total}\\n"]
    if direction == "get":
        name = layout.download_name(size)
        target = os.path.join(layout.dl, name)
        original = os.path.join(root, name)
        if client == "curl":
            argv = curl + ["-o", target, server.url(name)]
        else:
            argv = [bench, "dap-get"] + server.login() + [layout.dl, name]
    else:
        name = layout.upload_name(size)
        original = layout.upload_source(size)
        target = os.path.join(root, name)
        if client == "curl":
            argv = curl + ["-T", original, server.url(name)]
        else:
            argv = [bench, "dap-put"] + server.login() + [layout.src, name, "0"]
    if client != "curl":
        argv += ["fast", "tls=" + server.certificate]
    server.tls_handshakes()  # skips what earlier runs left in the log
    stdout, _, cpu = run_child(argv)
    tls = tls_summary(server, client)
    take_file(target, nbytes, original, compare)
    result, seconds = transfer_timing(client, stdout, nbytes)
    return {"kind": "ftps-transfer", "server": server.kind, "size": size, "dir": direction,
            "client": client, "seconds": seconds, "cpu": cpu, "bytes": nbytes,
            "steps": result.get("steps"), **tls}


def run_ftps_sessions(bench, server, client):
    """Log in + PWD + QUIT in TLS, SESSIONS_PER_RUN times. curl does it with -I on the root
    (it logs in, sends PBSZ, PROT and PWD, and transfers nothing) and QUIT as a post-quote
    command, so that its time_total covers the 221 too; one process per session."""
    if client == "curl":
        argv = ["curl", "-s", "-S", "--ssl-reqd", "--cacert", server.certificate, "-I",
                "-Q", "-QUIT", "-w", "RESULT total=%{time_total}\\n", server.url("")]
        server.tls_handshakes()
        sessions = []
        for _ in range(SESSIONS_PER_RUN):
            stdout, _, cpu = run_child(argv)
            tls = tls_summary(server, client)
            result = parse_results(stdout)[0]
            sessions.append({"total_ms": float(result["total"]) * 1e3, "cpu_ms": cpu * 1e3,
                             **tls})
    else:
        argv = [bench, "session"] + server.login() + [
            "1", str(SESSIONS_PER_RUN), "fast", "tls=" + server.certificate]
        server.tls_handshakes()
        stdout, _, cpu = run_child(argv)
        handshakes = server.tls_handshakes()
        tls = {"tls": sorted({"%s %s" % (p, c) for p, c, _ in handshakes}),
               "data_resumed": True}
        # The run's handshakes are counted once, with its first session.
        sessions = [{"cpu_ms": cpu * 1e3 / SESSIONS_PER_RUN, **tls,
                     "handshakes": len(handshakes) if i == 0 else 0,
                     **{key: s[key] for key in ("connect_ms", "pwd_ms", "close_ms",
                                                "total_ms")}}
                    for i, s in enumerate(parse_results(stdout))]
    if len(sessions) != SESSIONS_PER_RUN:
        raise BenchError("%s: %d sessions instead of %d" % (client, len(sessions),
                                                            SESSIONS_PER_RUN))
    return [{"kind": "ftps-session", "server": server.kind, "client": client, **s}
            for s in sessions]


def make_plan(sizes, phase_size):
    plan = []
    for server in SERVERS:
        for size in sizes:
            plan += [("transfer", server, size, "get", c) for c in GET_CLIENTS]
            plan += [("transfer", server, size, "put", c) for c in PUT_CLIENTS]
        plan += [("session", server, poll) for poll in SESSION_CASES]
        for fast in (False, True):
            plan += [("phases", server, phase_size, "get", 0, fast),
                     ("phases", server, phase_size, "put", 8192, fast)]
            plan.append(("allocs", server, fast))
        plan += [("channels", server, direction, count)
                 for direction in ("get", "put") for count in CHANNEL_COUNTS]
        plan += [("threads", server, fast) for fast in (True, False)]
    plan += [("python", "pyftpdlib", client) for client in PYTHON_CLIENTS]
    plan += [("ftps", FTPS_SERVER, "transfer", FTPS_SIZE, direction, client)
             for direction in ("get", "put") for client in FTPS_CLIENTS]
    plan += [("ftps", FTPS_SERVER, "session", client) for client in FTPS_CLIENTS]
    return plan


def first_round_only(case):
    return case[0] == "threads" and not case[2]


def run_case(case, bench, layout, servers, compare, library):
    kind, server = case[0], servers[case[1]]
    if kind == "python":
        return [run_python(layout, server, case[2], library, compare)]
    if kind == "ftps" and case[2] == "transfer":
        return [run_ftps_transfer(bench, layout, server, case[3], case[4], case[5], compare)]
    if kind == "ftps":
        return run_ftps_sessions(bench, server, case[3])
    if kind == "transfer":
        return [run_transfer(bench, layout, server, case[2], case[3], case[4], compare)]
    if kind == "session":
        return run_sessions(bench, server, case[2])
    if kind == "phases":
        return [run_phases(bench, layout, server, case[2], case[3], case[4], case[5])]
    if kind == "channels":
        return [run_channels(bench, layout, server, case[2], case[3], compare)]
    if kind == "threads":
        return [run_threads(bench, layout, server, case[2], compare)]
    return [run_allocs(bench, layout, server, case[2])]


# ---------------------------------------------------------------------------------------------
# Report.

def load_average():
    with open("/proc/loadavg") as stat:
        return float(stat.read().split()[0])


def median(values):
    return statistics.median(values) if values else float("nan")


def print_header(header):
    print(header)
    print("-" * len(header))


def ratio_text(value):
    return "%5.2f" % value if value == value else "    -"


class Targets:
    """Each target with its measured value; printed last, each met or MISSED."""

    def __init__(self):
        self.rows = []

    def at_least(self, name, where, value, wanted):
        self.rows.append((name, where, value, value == value and value >= wanted))

    def at_most(self, name, where, value, wanted):
        self.rows.append((name, where, value, value == value and value <= wanted))

    def print(self):
        print("Targets:")
        for name, where, value, met in self.rows:
            print("  %-44s %-17s %8s  %s" % (name, where, "%.2f" % value if value == value
                                             else "-", "met" if met else "MISSED"))


def report_transfers(records, sizes, rounds, targets):
    transfers = {}
    for r in records:
        if r["kind"] == "transfer":
            transfers.setdefault((r["server"], r["size"], r["dir"], r["client"]), []).append(r)

    def stats(key):
        runs = transfers.get(key, [])
        if not runs:
            return None
        seconds = median([r["seconds"] for r in runs])
        cpu = median([r["cpu"] / (r["bytes"] / GIB) for r in runs])
        return {"seconds": seconds, "mibs": key[1] / seconds, "cpu": cpu, "n": len(runs),
                "steps": median([r["steps"] for r in runs if r.get("steps") is not None])}

    print()
    print("Throughput: median over %d rounds of the transfer alone (login excluded; curl: "
          "time_total - time_pretransfer)." % rounds)
    print("CPU: the client process's user+sys for the whole run, per GiB moved.")
    print("dap32 fast: pollSleep 1, commandDelay 0, finalBlockDelay 0, uploadBlockSize 8192, "
          "closePause 0, transferChunk 4 MiB.")
    header = "%-9s %5s %-4s %-17s %9s %8s %6s %6s %9s %6s" % (
        "server", "MiB", "dir", "client", "median s", "MiB/s", "xloop", "xcurl", "CPU s/GiB",
        "steps")
    print_header(header)
    for server in SERVERS:
        for size in sizes:
            for direction, clients in (("get", GET_CLIENTS), ("put", PUT_CLIENTS)):
                loop = stats((server, size, direction, "loop"))
                curl = stats((server, size, direction, "curl"))
                for client in clients:
                    s = stats((server, size, direction, client))
                    if s is None:
                        continue
                    xloop = s["mibs"] / loop["mibs"] if loop else float("nan")
                    xcurl = s["mibs"] / curl["mibs"] if curl else float("nan")
                    steps = "%6d" % s["steps"] if s["steps"] == s["steps"] else "     -"
                    print("%-9s %5d %-4s %-17s %9.3f %8.1f %6s %6s %9.3f %6s" % (
                        server, size, direction, CLIENT_NAMES[client], s["seconds"], s["mibs"],
                        ratio_text(xloop), ratio_text(xcurl), s["cpu"], steps))
                    where = "%s %d MiB" % (server, size)
                    if direction == "get" and client == "dap":
                        targets.at_least("defaults: download >= 0.90 x 8 KiB loop", where,
                                         xloop, 0.9)
                    if direction == "put" and client == "dap8192":
                        targets.at_least("block 8192: upload >= 0.80 x curl", where, xcurl, 0.8)
                    if client == "dapfast":
                        wanted = 1.0 if size >= 512 else 0.8
                        targets.at_least("fast: %s >= %.1f x curl" % (
                            "download" if direction == "get" else "upload", wanted), where,
                            xcurl, wanted)
                        targets.at_most("fast: %s CPU s/GiB <= 1.0 x curl's" % direction,
                                        where, s["cpu"] / curl["cpu"] if curl else float("nan"),
                                        1.0)
            print()


def report_sessions(records, rounds, targets):
    sessions = {}
    for r in records:
        if r["kind"] == "session":
            sessions.setdefault((r["server"], r["poll"]), []).append(r)
    print("Session latency: log in + PWD + QUIT, median over %d sessions per case "
          "(%d per run); CPU: the client's per session." % (SESSIONS_PER_RUN * rounds,
                                                            SESSIONS_PER_RUN))
    header = "%-9s %-22s %10s %8s %9s %9s %7s %7s" % (
        "server", "client", "login ms", "PWD ms", "close ms", "total ms", "xraw", "CPU ms")
    print_header(header)
    for server in SERVERS:
        raw = median([r["total_ms"] for r in sessions.get((server, None), [])])
        for poll in SESSION_CASES:
            runs = sessions.get((server, poll), [])
            if not runs:
                continue
            name = {None: "raw socket loop", "fast": "dap32 fast"}.get(
                poll, "dap32 pollSleep %s" % poll)
            total = median([r["total_ms"] for r in runs])
            print("%-9s %-22s %10.2f %8.2f %9.2f %9.2f %7.1f %7.2f" % (
                server, name, median([r["connect_ms"] for r in runs]),
                median([r["pwd_ms"] for r in runs]), median([r["close_ms"] for r in runs]),
                total, total / raw if raw == raw and raw > 0 else float("nan"),
                median([r["cpu_ms"] for r in runs])))
            if poll == "fast" and server == "pyftpdlib":
                targets.at_most("fast: log in + PWD + QUIT <= %.0f ms" % SESSION_TARGET_MS,
                                server, total, SESSION_TARGET_MS)
    print()


def report_channels(records, rounds, targets):
    runs = {}
    for r in records:
        if r["kind"] == "channels":
            runs.setdefault((r["server"], r["dir"], r["channels"]), []).append(r)
    print("Many channels at once, fast settings, passive: one thread drives every channel with "
          "AUTO_CALL off,")
    print("each moving %d MiB; medians over %d rounds. x1 = aggregate MiB/s against one "
          "channel's." % (CHANNEL_FILE, rounds))
    header = "%-9s %-4s %8s %6s %9s %8s %6s %9s %7s %8s" % (
        "server", "dir", "channels", "MiB", "median s", "MiB/s", "x1", "CPU s/GiB", "steps",
        "fds left")
    print_header(header)
    for server in SERVERS:
        for direction in ("get", "put"):
            one = runs.get((server, direction, 1))
            one_rate = (CHANNEL_FILE / median([r["seconds"] for r in one])) if one else \
                float("nan")
            for count in CHANNEL_COUNTS:
                these = runs.get((server, direction, count))
                if not these:
                    continue
                seconds = median([r["seconds"] for r in these])
                rate = count * CHANNEL_FILE / seconds
                print("%-9s %-4s %8d %6d %9.3f %8.1f %6s %9.3f %7d %8d" % (
                    server, direction, count, count * CHANNEL_FILE, seconds, rate,
                    ratio_text(rate / one_rate), median([r["cpu"] / (r["bytes"] / GIB)
                                                         for r in these]),
                    median([r["steps"] for r in these]), max(r["fds_left"] for r in these)))
                if count > 1:
                    targets.at_least("%d channels: aggregate >= 0.8 x one" % count,
                                     "%s %s" % (server, direction), rate / one_rate, 0.8)
    print()


def report_threads(records, targets):
    runs = {}
    for r in records:
        if r["kind"] == "threads":
            runs.setdefault((r["server"], r["fast"]), []).append(r)
    print("%d threads, each with its own channel, %d times: log in, upload and download %d MiB, "
          "list, close" % (THREADS, THREAD_ROUNDS, THREAD_FILE))
    print("(%d sessions, %d MiB in all); medians; the defaults ran in the first round only." % (
        THREADS * THREAD_ROUNDS, THREADS * THREAD_ROUNDS * THREAD_FILE * 2))
    header = "%-9s %-15s %5s %9s %8s %9s %8s %8s" % (
        "server", "settings", "runs", "median s", "MiB/s", "CPU s/GiB", "failures", "fds left")
    print_header(header)
    for server in SERVERS:
        for fast in (True, False):
            these = runs.get((server, fast))
            if not these:
                continue
            seconds = median([r["seconds"] for r in these])
            failures = sum(r["failures"] for r in these)
            fds = max(r["fds_left"] for r in these)
            print("%-9s %-15s %5d %9.3f %8.1f %9.3f %8d %8d" % (
                server, "dap32 fast" if fast else "dap32 defaults", len(these), seconds,
                median([r["bytes"] / MIB / r["seconds"] for r in these]),
                median([r["cpu"] / (r["bytes"] / GIB) for r in these]), failures, fds))
            if fast:
                targets.at_most("%d threads, fast: < %.0f s" % (THREADS, THREAD_TARGET_SECONDS),
                                server, seconds, THREAD_TARGET_SECONDS)
            targets.at_most("%d threads, %s: failures + fds left" % (
                THREADS, "fast" if fast else "defaults"), server, failures + fds, 0)
    print()


def report_phases(records):
    phases = {}
    for r in records:
        if r["kind"] == "phases":
            phases.setdefault((r["server"], r["dir"], r["size"], r["block"], r["fast"]),
                              []).append(r)
    print("Where a dap32 transfer's time goes (AUTO_CALL off, driven like AUTO_CALL; medians):")
    print("  before/after data = from the call to the first byte / from the last byte to the "
          "end;")
    print("  slow steps = states whose single longest dapDriver call took over 5 ms, "
          "with that time,")
    print("  and held = time in calls that ran nothing (gate pause of pollSleep);")
    print("  yield ms = time spent in the sched_yield that follows every step.")
    header = "%-9s %-21s %9s %10s %8s %10s %9s  %s" % (
        "server", "transfer", "total ms", "before ms", "data ms", "after ms", "yield ms",
        "slow steps")
    print_header(header)
    for (server, direction, size, block, fast), runs in sorted(phases.items()):
        summary = {key: median([r["summary"][key] for r in runs])
                   for key in ("total_ms", "before_data_ms", "data_ms", "after_data_ms",
                               "yield_ms")}
        slow = {}
        for r in runs:
            for state, s in r["states"].items():
                slow.setdefault(state, {"longest": [], "held": []})
                slow[state]["longest"].append(s["longest_ms"])
                slow[state]["held"].append(s["held_ms"])
        parts = []
        for state in sorted(slow):
            longest = median(slow[state]["longest"])
            held = median(slow[state]["held"])
            if longest > 5:
                parts.append("%d:%.0f" % (state, longest))
            if held > 5:
                parts.append("%d held:%.0f" % (state, held))
        label = "%s %d MiB%s%s" % (direction, size, " b%d" % block if block else "",
                                   " fast" if fast else "")
        print("%-9s %-21s %9.1f %10.1f %8.1f %10.1f %9.1f  %s" % (
            server, label, summary["total_ms"], summary["before_data_ms"], summary["data_ms"],
            summary["after_data_ms"], summary["yield_ms"], " ".join(parts)))
    print()


def report_allocs(records, targets):
    allocs = [r for r in records if r["kind"] == "allocs"]
    print("Heap allocations after dapAttach (connect, TYPE, PWD, put, get, LIST, close):")
    most = 0
    for server in SERVERS:
        for fast in (False, True):
            runs = [r for r in allocs if r["server"] == server and r["fast"] == fast]
            if not runs:
                continue
            worst = max(runs, key=lambda r: r["session_allocs"])
            most = max(most, worst["session_allocs"])
            print("  %-9s %-9s allocations %d (operator new %d), frees %d over %d runs; "
                  "attach made %d, release freed %d" % (
                      server, "fast" if fast else "defaults", worst["session_allocs"],
                      worst["session_news"], worst["session_frees"], len(runs),
                      worst["attach_allocs"], worst["release_frees"]))
            if worst["sites"]:
                print("    first allocation sites:\n      " +
                      worst["sites"].replace("\n", "\n      "))
    print()
    targets.at_most("no heap allocation after attach", "all runs", most, 0)


def report_python(records, rounds, targets):
    runs = {}
    for r in records:
        if r["kind"] == "python":
            runs.setdefault(r["client"], []).append(r)
    print("Python Session against ftplib: pyftpdlib, log in, upload %d MiB, download %d MiB, "
          "QUIT;" % (PYTHON_FILE, PYTHON_FILE))
    print("medians over %d rounds. up+down = the two transfers, total = the whole run, "
          "CPU = the client's user+sys." % rounds)
    header = "%-23s %8s %8s %10s %8s %9s %7s" % (
        "client", "put s", "get s", "up+down s", "total s", "xftplib", "CPU s")
    print_header(header)
    ftplib_seconds = median([r["seconds"] for r in runs.get("ftplib", [])])
    for client in PYTHON_CLIENTS:
        these = runs.get(client)
        if not these:
            continue
        seconds = median([r["seconds"] for r in these])
        ratio = seconds / ftplib_seconds if ftplib_seconds == ftplib_seconds else float("nan")
        print("%-23s %8.3f %8.3f %10.3f %8.3f %9s %7.2f" % (
            PYTHON_CLIENT_NAMES[client], median([r["put"] for r in these]),
            median([r["get"] for r in these]), seconds, median([r["total"] for r in these]),
            ratio_text(ratio), median([r["cpu"] for r in these])))
        if client == "fast":
            targets.at_most("Python Session: up+down <= %.1f x ftplib's" % PYTHON_TARGET,
                            "pyftpdlib %d MiB" % PYTHON_FILE, ratio, PYTHON_TARGET)
    print()


def report_ftps(records, rounds, targets):
    transfers, sessions = {}, {}
    for r in records:
        if r["kind"] == "ftps-transfer":
            transfers.setdefault((r["dir"], r["client"]), []).append(r)
        elif r["kind"] == "ftps-session":
            sessions.setdefault(r["client"], []).append(r)
    print("FTPS: %s (explicit TLS, at most TLS 1.2, session reuse required), passive, %d MiB;"
          % (FTPS_SERVER, FTPS_SIZE))
    print("medians over %d rounds. dap32 fast and curl --ssl-reqd both trust the server's "
          "certificate (CA file)." % rounds)
    print("Transfer time and CPU are taken as in the plain table above.")
    header = "%-13s %5s %-4s %-17s %9s %8s %6s %9s %6s" % (
        "server", "MiB", "dir", "client", "median s", "MiB/s", "xcurl", "CPU s/GiB", "steps")
    print_header(header)
    where = "ftps %d MiB" % FTPS_SIZE
    for direction in ("get", "put"):
        rows = {}
        for client in FTPS_CLIENTS:
            runs = transfers.get((direction, client))
            if runs:
                seconds = median([r["seconds"] for r in runs])
                rows[client] = {"mibs": FTPS_SIZE / seconds, "seconds": seconds,
                                "cpu": median([r["cpu"] / (r["bytes"] / GIB) for r in runs]),
                                "steps": median([r["steps"] for r in runs
                                                 if r.get("steps") is not None])}
        curl = rows.get("curl")
        for client, row in rows.items():
            xcurl = row["mibs"] / curl["mibs"] if curl else float("nan")
            steps = "%6d" % row["steps"] if row["steps"] == row["steps"] else "     -"
            print("%-13s %5d %-4s %-17s %9.3f %8.1f %6s %9.3f %6s" % (
                FTPS_SERVER, FTPS_SIZE, direction, CLIENT_NAMES[client], row["seconds"],
                row["mibs"], ratio_text(xcurl), row["cpu"], steps))
            if client == "dapfast":
                name = "download" if direction == "get" else "upload"
                targets.at_least("ftps fast: %s >= 1.0 x curl" % name, where, xcurl, 1.0)
                targets.at_most("ftps fast: %s CPU s/GiB <= 1.0 x curl's" % direction, where,
                                row["cpu"] / curl["cpu"] if curl else float("nan"), 1.0)
    print()
    print("FTPS session: log in (AUTH TLS or SSL, handshake, USER, PASS, PBSZ, PROT) + PWD + "
          "QUIT, median")
    print("over %d sessions per client; curl: -I on the root with QUIT as a post-quote "
          "command, time_total;" % (SESSIONS_PER_RUN * rounds))
    print("CPU: the client's per session (curl: one process each, start-up included).")
    header = "%-13s %-17s %10s %8s %9s %9s %6s %7s" % (
        "server", "client", "login ms", "PWD ms", "close ms", "total ms", "xcurl", "CPU ms")
    print_header(header)
    curl_total = median([r["total_ms"] for r in sessions.get("curl", [])])
    for client in FTPS_CLIENTS:
        runs = sessions.get(client)
        if not runs:
            continue
        total = median([r["total_ms"] for r in runs])
        parts = ["%10.2f" % median([r[key] for r in runs]) if key in runs[0] else "%10s" % "-"
                 for key in ("connect_ms", "pwd_ms", "close_ms")]
        ratio = total / curl_total if curl_total == curl_total else float("nan")
        print("%-13s %-17s %s %8s %9s %9.2f %6s %7.2f" % (
            FTPS_SERVER, CLIENT_NAMES[client], parts[0], parts[1].strip().rjust(8),
            parts[2].strip().rjust(9), total, ratio_text(ratio),
            median([r["cpu_ms"] for r in runs])))
        if client == "dapfast":
            targets.at_most("ftps fast: log in + PWD + QUIT <= %.1f x curl" % FTPS_SESSION_TARGET,
                            "ftps", ratio, FTPS_SESSION_TARGET)
    print()
    # Both clients must have met the same protocol and cipher, and resumed on every data
    # connection (vsftpd would have refused the transfer otherwise).
    seen = {}
    for r in records:
        if r["kind"].startswith("ftps-"):
            entry = seen.setdefault(r["client"], {"tls": set(), "handshakes": 0, "fresh": 0})
            entry["tls"].update(r["tls"])
            entry["handshakes"] += r["handshakes"]
            entry["fresh"] += 0 if r["data_resumed"] else 1
    print("TLS as the server logged it:")
    for client, entry in seen.items():
        print("  %-17s %s; %d handshakes, %d runs with a data connection that did not resume" % (
            CLIENT_NAMES[client], ", ".join(sorted(entry["tls"])), entry["handshakes"],
            entry["fresh"]))
    print()
    kinds = set().union(*(entry["tls"] for entry in seen.values())) if seen else set()
    targets.at_most("ftps: one protocol and cipher for both", "ftps", len(kinds), 1)


def report(records, sizes, rounds):
    targets = Targets()
    kinds = {r["kind"] for r in records}
    if "transfer" in kinds:
        report_transfers(records, sizes, rounds, targets)
    if "session" in kinds:
        report_sessions(records, rounds, targets)
    if "channels" in kinds:
        report_channels(records, rounds, targets)
    if "threads" in kinds:
        report_threads(records, targets)
    if "phases" in kinds:
        report_phases(records)
    if "allocs" in kinds:
        report_allocs(records, targets)
    if "python" in kinds:
        report_python(records, rounds, targets)
    if kinds & {"ftps-transfer", "ftps-session"}:
        report_ftps(records, rounds, targets)
    targets.print()


# ---------------------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bench", required=True, help="the dap32_bench binary")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--sizes", default="64,512", help="file sizes in MiB")
    parser.add_argument("--json", help="write every measurement here")
    parser.add_argument("--library", help="the libdap32.so the Python case loads (default: the "
                        "one beside the bench binary's folder)")
    parser.add_argument("--only", help="run only these kinds of case, comma-separated: " +
                        ", ".join(CASE_KINDS))
    args = parser.parse_args()
    bench = os.path.abspath(args.bench)
    library = os.path.abspath(args.library or os.path.join(os.path.dirname(bench), "..",
                                                           "libdap32.so"))
    kinds = set(args.only.split(",")) if args.only else set(CASE_KINDS)
    if not kinds <= set(CASE_KINDS):
        sys.exit("run_bench.py: unknown kinds %s" % ", ".join(sorted(kinds - set(CASE_KINDS))))
    sizes = sorted(int(s) for s in args.sizes.split(","))
    plan = [case for case in make_plan(sizes, sizes[0]) if case[0] in kinds]
    used_servers = [kind for kind in SERVERS + (FTPS_SERVER,)
                    if any(case[1] == kind for case in plan)]
    if any(kind.startswith("vsftpd") for kind in used_servers) and os.geteuid() != 0:
        sys.exit("run_bench.py: vsftpd needs root")
    if kinds & {"transfer", "ftps"} and shutil.which("curl") is None:
        sys.exit("run_bench.py: curl is missing")
    if "python" in kinds and not os.path.isfile(library):
        sys.exit("run_bench.py: %s is missing (--library)" % library)
    if args.rounds < 1:
        sys.exit("run_bench.py: --rounds must be at least 1")
    started = time.monotonic()
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(1))

    print("dap32 bench: %s, %d CPUs, Python %s; %d rounds of %s MiB%s" % (
        platform.platform(), os.cpu_count(), platform.python_version(), args.rounds,
        ",".join(map(str, sizes)), "; only " + args.only if args.only else ""))
    if kinds & {"transfer", "ftps"}:
        print(subprocess.run(["curl", "--version"], capture_output=True, text=True,
                             timeout=30).stdout.splitlines()[0])
    # Other work on the machine competes with client and server for the CPUs.
    print("load average at start: %.2f" % load_average())
    work = tempfile.mkdtemp(prefix="dap32-bench-", dir="/dev/shm")
    os.chmod(work, 0o755)
    servers = {}
    try:
        print("making files in %s ..." % work, flush=True)
        layout = Layout(work, (sizes if kinds & {"transfer", "phases"} else []) +
                        ([FTPS_SIZE] if "ftps" in kinds else []))
        for kind in used_servers:
            servers[kind] = FtpServer(kind, layout.roots[kind])
            servers[kind].start()
            print("%s on 127.0.0.1:%d" % (kind, servers[kind].port), flush=True)

        # The warm-up round checks every client's bytes, at the smallest size only.
        warm_plan = [c for c in make_plan(sizes[:1], sizes[0])
                     if c[0] in kinds and (c[0] == "transfer" or c[:3] == ("ftps", FTPS_SERVER,
                                                                          "transfer"))]
        print("warm-up round (%d runs, contents compared) ..." % len(warm_plan), flush=True)
        for case in warm_plan:
            run_case(case, bench, layout, servers, compare=True, library=library)

        records = []
        for round_number in range(1, args.rounds + 1):
            round_start = time.monotonic()
            for case in plan:
                if round_number > 1 and first_round_only(case):
                    continue
                for record in run_case(case, bench, layout, servers,
                                       compare=round_number == 1 and
                                       case[0] not in ("transfer", "ftps"),
                                       library=library):
                    record["round"] = round_number
                    records.append(record)
            print("round %d/%d: %d cases in %.0f s, load average %.2f" % (
                round_number, args.rounds, len(plan), time.monotonic() - round_start,
                load_average()), flush=True)
        report(records, sizes, args.rounds)
        if args.json:
            with open(args.json, "w") as out:
                json.dump(records, out, indent=1, default=str)
            print("\nall measurements: %s" % args.json)
    except BenchError as err:
        print("run_bench.py: %s" % err, file=sys.stderr)
        return 1
    finally:
        for server in servers.values():
            server.stop()
        shutil.rmtree(work, ignore_errors=True)
    print("bench finished in %.0f s" % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
