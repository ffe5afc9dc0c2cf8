#!/usr/bin/python3
"""Runs a real FTP server on 127.0.0.1 for the dap32 tests.

    serve_ftp.py KIND ROOT   serve ROOT; print "READY <port> <user> <password>", run until stdin
                             reaches EOF or SIGTERM/SIGINT
    serve_ftp.py prepare     only set up the system user and PAM service vsftpd needs

KIND is pyftpdlib or vsftpd (plain FTP), or one with TLS, whose READY line adds the server's
self-signed certificate (subjectAltName IP:127.0.0.1 and DNS:localhost) and its SHA-256
fingerprint: "READY <port> <user> <password> <cert-pem-path> <64 uppercase hex digits>".
    pyftpdlib-tls        explicit TLS (AUTH TLS), required on both connections, no reuse needed
    vsftpd-tls           explicit TLS required on both connections, data connections must
                         resume the control connection's TLS session ("522" otherwise)
    vsftpd-tls12         vsftpd-tls, but TLS 1.2 at most
    vsftpd-implicit      vsftpd-tls, but TLS from the first byte, before the 220 greeting
    vsftpd-tls-noreuse   vsftpd-tls, but data connections need not resume the session
    vsftpd-implicit-noreuse  vsftpd-implicit, but data connections need not resume the session
                         (wine's SChannel cannot resume)
The certificate stays readable while the server runs. The vsftpd TLS kinds keep their log
(commands, replies and TLS diagnostics) in server.log beside it.

On a start-up failure it prints "FAILED <reason>" and exits 1. Must run as /usr/bin/python3
(Debian's pyftpdlib lives there) and, for vsftpd, as root.
"""

import contextlib
import ctypes
import fcntl
import functools
import importlib.util
import os
import pwd
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import warnings

USER = "dap32test"
PASSWORD = "dap32pass"
PYTHON = "/usr/bin/python3"
VSFTPD = "/usr/sbin/vsftpd"
# vsftpd's own PAM service also runs pam_shells, which would reject the nologin shell the test
# user deliberately has, and pam_unix's ~2 s delay after a wrong password would slow every
# failed-login test; this one keeps the rest of its rules.
PAM_SERVICE = "dap32-vsftpd"
PAM_FILE = "/etc/pam.d/" + PAM_SERVICE
PAM_RULES = """\
# Written by dap32's tests/support/serve_ftp.py: vsftpd's rules without pam_shells (the test
# user keeps a nologin shell) and without the delay after a failed login.
auth	required	pam_listfile.so item=user sense=deny file=/etc/ftpusers onerr=succeed
auth	required	pam_unix.so nodelay
@include common-account
@include common-session
"""
SECURE_CHROOT_DIR = "/var/run/vsftpd/empty"
# Parallel test processes may all try to create the user at once; useradd/chpasswd lock
# /etc/passwd and /etc/shadow and fail rather than wait.
SETUP_LOCK = "/run/dap32-ftp-setup.lock"

GREETING_TIMEOUT = 10.0
PORT_TIMEOUT = 10.0
START_ATTEMPTS = 5
STOP_TIMEOUT = 3.0


class Failure(Exception):
    pass


class Stop(Exception):
    pass


def on_stop_signal(signum, frame):
    raise Stop()


def prctl(option, value):
    ctypes.CDLL(None, use_errno=True).prctl(option, value)


def die_with_parent():
    # A server must not outlive this script even when it is SIGKILLed.
    prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def reap_orphans(timeout):
    # vsftpd's session processes outlive its listener by a moment; the machine's init may not
    # reap them, so this script (a subreaper) does.
    deadline = time.monotonic() + timeout
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            if time.monotonic() >= deadline:
                return
            time.sleep(0.01)


def one_line(text):
    return " ".join(text.split())[:400]


# ---------------------------------------------------------------------------------------------
# System preparation (vsftpd only needs it, but `prepare` is run by ./run.sh setup).

def password_is_set(name):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            import crypt
        with open("/etc/shadow") as shadow:
            for line in shadow:
                fields = line.split(":")
                if fields[0] == name and len(fields) > 1:
                    stored = fields[1]
                    return stored.startswith("$6$") and crypt.crypt(PASSWORD, stored) == stored
    except (ImportError, OSError):
        pass
    return False


def run_checked(argv, stdin_text=None):
    result = subprocess.run(argv, input=stdin_text, capture_output=True, text=True, timeout=30)
    if result.returncode != 0:
        raise Failure("%s failed: %s" % (argv[0], one_line(result.stderr or result.stdout)))


def prepare_system():
    if os.geteuid() != 0:
        raise Failure("vsftpd needs root to run and to create the user %s" % USER)
    os.makedirs(SECURE_CHROOT_DIR, mode=0o755, exist_ok=True)
    with open(SETUP_LOCK, "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        # vsftpd changes into the home directory before local_root and fails if it is missing.
        try:
            if pwd.getpwnam(USER).pw_dir != "/":
                run_checked(["usermod", "-d", "/", USER])
        except KeyError:
            run_checked(["useradd", "-M", "-d", "/", "-s", "/usr/sbin/nologin", USER])
        if not password_is_set(USER):
            # SHA512 rather than Debian's default yescrypt: a yescrypt check costs ~50 ms a login.
            run_checked(["chpasswd", "-c", "SHA512"], "%s:%s\n" % (USER, PASSWORD))
        try:
            with open(PAM_FILE) as existing:
                current = existing.read()
        except OSError:
            current = None
        if current != PAM_RULES:
            tmp = PAM_FILE + ".tmp"
            with open(tmp, "w") as out:
                out.write(PAM_RULES)
            os.chmod(tmp, 0o644)
            os.replace(tmp, PAM_FILE)
    with contextlib.suppress(OSError), open("/etc/ftpusers") as denied:
        if USER in (line.strip() for line in denied):
            raise Failure("%s is listed in /etc/ftpusers" % USER)


# ---------------------------------------------------------------------------------------------
# Waiting for a server.

def probe_context():
    # The probe only waits for the greeting; tests check the certificate themselves.
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def read_greeting(port, deadline, alive, implicit_tls=False):
    """Connects until the server answers; returns None on a 220 greeting, else a reason."""
    last = "no answer"
    while time.monotonic() < deadline:
        if not alive():
            return "server exited"
        try:
            with contextlib.ExitStack() as stack:
                sock = stack.enter_context(
                    socket.create_connection(("127.0.0.1", port), timeout=1.0))
                sock.settimeout(max(0.1, min(2.0, deadline - time.monotonic())))
                if implicit_tls:
                    sock = stack.enter_context(probe_context().wrap_socket(sock))
                data = b""
                while b"\n" not in data:
                    chunk = sock.recv(1024)
                    if not chunk:
                        break
                    data += chunk
                if data.startswith(b"220"):
                    with contextlib.suppress(OSError):
                        sock.sendall(b"QUIT\r\n")
                    return None
                last = "unexpected greeting %r" % data[:80]
        except OSError as err:
            last = str(err)
        time.sleep(0.02)
    return "no 220 greeting within %.0f s (%s)" % (GREETING_TIMEOUT, last)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def stop_process(proc, group):
    if proc is None or proc.poll() is not None:
        return
    for sig, wait in ((signal.SIGTERM, STOP_TIMEOUT), (signal.SIGKILL, STOP_TIMEOUT)):
        with contextlib.suppress(ProcessLookupError, PermissionError):
            if group:
                os.killpg(proc.pid, sig)
            else:
                proc.send_signal(sig)
        try:
            proc.wait(timeout=wait)
            return
        except subprocess.TimeoutExpired:
            pass


# ---------------------------------------------------------------------------------------------
# pyftpdlib: a child process binds port 0 itself, so there is no port race to lose.

def pyftpdlib_child(root, cert_path=None, key_path=None):
    import logging
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.log import config_logging
    from pyftpdlib.servers import FTPServer

    config_logging(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(USER, PASSWORD, root, perm="elradfmwMT")
    handler = FTPHandler
    if cert_path:
        from pyftpdlib.handlers import TLS_FTPHandler
        handler = TLS_FTPHandler
        handler.certfile = cert_path
        handler.keyfile = key_path
        # As the vsftpd kinds: no login and no transfer in clear text.
        handler.tls_control_required = True
        handler.tls_data_required = True
    handler.authorizer = authorizer
    handler.auth_failed_timeout = 0  # its 3 s default would slow every failed-login test
    server = FTPServer(("127.0.0.1", 0), handler)
    server.max_cons_per_ip = 0
    print(server.address[1], flush=True)
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(0))
    server.serve_forever()


def make_workdir(prefix):
    workdir = tempfile.mkdtemp(prefix=prefix)
    # Tests read the certificate in it as a CA file, maybe as another user.
    os.chmod(workdir, 0o755)
    return workdir


def make_server_certificate(workdir):
    import tls_certs  # beside this script; needs python3-cryptography only for the TLS kinds
    return tls_certs.make_certificate(workdir, "server")


class PyftpdlibServer:
    group = False

    def __init__(self, root, tls=False):
        self.root = root
        self.tls = tls
        self.proc = None
        self.workdir = None
        self.certificate = None

    def start(self):
        argv = [PYTHON, os.path.abspath(__file__), "_pyftpdlib-child", self.root]
        if self.tls:
            # pyftpdlib's TLS_FTPHandler is built on pyOpenSSL; without it the child only dies.
            if importlib.util.find_spec("OpenSSL") is None:
                raise Failure("pyftpdlib-tls needs python3-openssl")
            self.workdir = make_workdir("dap32-pyftpdlib-")
            self.certificate = make_server_certificate(self.workdir)
            argv += [self.certificate.cert_path, self.certificate.key_path]
        self.proc = subprocess.Popen(
            argv,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, start_new_session=True,
            preexec_fn=die_with_parent)
        deadline = time.monotonic() + PORT_TIMEOUT
        line = b""
        fd = self.proc.stdout.fileno()
        while b"\n" not in line and time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                break
            chunk = os.read(fd, 64)
            if not chunk:
                break
            line += chunk
        try:
            port = int(line.strip())
        except ValueError:
            raise Failure("pyftpdlib did not start (exit status %s)" % self.proc.poll())
        problem = read_greeting(port, time.monotonic() + GREETING_TIMEOUT, self.alive)
        if problem:
            raise Failure("pyftpdlib: " + problem)
        return port

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self):
        stop_process(self.proc, self.group)
        if self.proc is not None and self.proc.stdout is not None:
            self.proc.stdout.close()
        if self.workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)
            self.workdir = None


# ---------------------------------------------------------------------------------------------
# vsftpd: it picks no port itself, so choose a free one and retry if another process takes it.

VSFTPD_CONFIG = """\
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port={port}
background=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
local_root={root}
chroot_local_user=YES
allow_writeable_chroot=YES
pasv_enable=YES
pasv_address=127.0.0.1
port_enable=YES
connect_from_port_20=NO
secure_chroot_dir={secure}
pam_service_name={pam}
xferlog_enable={xferlog}
dirmessage_enable=NO
max_clients=0
max_per_ip=0
delay_failed_login=0
"""

# Debian's 3.0.3 has every option here. Its default ssl_ciphers, ECDHE-RSA-AES256-GCM-SHA384,
# is kept: that is what a client meets in the field.
VSFTPD_TLS_CONFIG = """\
ssl_enable=YES
implicit_ssl={implicit}
rsa_cert_file={cert}
rsa_private_key_file={key}
require_ssl_reuse={reuse}
force_local_logins_ssl=YES
force_local_data_ssl=YES
strict_ssl_read_eof=YES
strict_ssl_write_shutdown=YES
debug_ssl=YES
xferlog_std_format=NO
log_ftp_protocol=YES
vsftpd_log_file={log}
"""

# vsftpd 3.0.3 has no option for the highest TLS version, and ssl_ciphers cannot turn TLS 1.3
# off; OpenSSL's own configuration, which applies to every SSL_CTX vsftpd makes, can.
OPENSSL_TLS12_CONFIG = """\
openssl_conf = openssl_init
[openssl_init]
ssl_conf = ssl_section
[ssl_section]
system_default = system_default_section
[system_default_section]
MinProtocol = TLSv1.2
MaxProtocol = TLSv1.2
"""


def check_reachable(root, entry):
    # Otherwise vsftpd starts fine and only each login fails, with "cannot change directory".
    directory = os.path.dirname(root)
    while True:
        st = os.stat(directory)
        if st.st_uid == entry.pw_uid:
            bit = 0o100
        elif st.st_gid == entry.pw_gid:
            bit = 0o010
        else:
            bit = 0o001
        if not st.st_mode & bit:
            raise Failure("vsftpd: %s cannot reach %s: %s is not searchable for it"
                          % (USER, root, directory))
        if directory == "/":
            return
        directory = os.path.dirname(directory)


class VsftpdServer:
    group = True

    def __init__(self, root, tls=False, reuse=True, implicit=False, tls12=False):
        self.root = root
        self.tls = tls
        self.reuse = reuse
        self.implicit = implicit
        self.tls12 = tls12
        self.proc = None
        self.workdir = None
        self.certificate = None

    def start(self):
        prepare_system()
        entry = pwd.getpwnam(USER)
        os.chown(self.root, entry.pw_uid, entry.pw_gid)
        os.chmod(self.root, 0o755)
        check_reachable(self.root, entry)
        self.workdir = make_workdir("dap32-vsftpd-")
        if self.tls:
            # Each session process reads them as root, before it drops to the test user.
            self.certificate = make_server_certificate(self.workdir)
        problem = "not started"
        for _ in range(START_ATTEMPTS):
            port = free_port()
            problem = self.try_start(port)
            if problem is None:
                return port
            self.stop_server()
            if "bind" not in problem:
                break
        raise Failure("vsftpd: " + problem)

    def try_start(self, port):
        config = os.path.join(self.workdir, "vsftpd.conf")
        errors = os.path.join(self.workdir, "errors")
        env = None
        with open(config, "w") as out:
            out.write(VSFTPD_CONFIG.format(port=port, root=self.root, secure=SECURE_CHROOT_DIR,
                                           pam=PAM_SERVICE, xferlog="YES" if self.tls else "NO"))
            if self.tls:
                yes_no = {True: "YES", False: "NO"}
                out.write(VSFTPD_TLS_CONFIG.format(
                    implicit=yes_no[self.implicit], cert=self.certificate.cert_path,
                    key=self.certificate.key_path, reuse=yes_no[self.reuse],
                    log=os.path.join(self.workdir, "server.log")))
        if self.tls12:
            openssl_config = os.path.join(self.workdir, "openssl-tls12.cnf")
            with open(openssl_config, "w") as out:
                out.write(OPENSSL_TLS12_CONFIG)
            env = dict(os.environ, OPENSSL_CONF=openssl_config)
        # vsftpd reports start-up errors ("500 OOPS: ...") on descriptor 0.
        with open(errors, "w+") as err:
            self.proc = subprocess.Popen([VSFTPD, config], stdin=err, stdout=err, stderr=err,
                                         env=env, start_new_session=True,
                                         preexec_fn=die_with_parent)
        problem = read_greeting(port, time.monotonic() + GREETING_TIMEOUT, self.alive,
                                self.implicit)
        if problem is None:
            return None
        with contextlib.suppress(OSError), open(errors) as err:
            text = one_line(err.read())
            if text:
                problem += ": " + text
        return problem

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stop_server(self):
        # The group also holds the per-connection session processes.
        stop_process(self.proc, self.group)
        self.proc = None

    def stop(self):
        self.stop_server()
        if self.workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)
            self.workdir = None


# ---------------------------------------------------------------------------------------------

def wait_for_stop(server):
    stdin = sys.stdin.fileno()
    while True:
        ready, _, _ = select.select([stdin], [], [], 0.5)
        if ready and not os.read(stdin, 4096):
            return 0
        if not server.alive():
            print("serve_ftp.py: the server exited unexpectedly", file=sys.stderr)
            return 1


def main(argv):
    if len(argv) == 2 and argv[1] == "prepare":
        try:
            prepare_system()
        except Failure as err:
            print("FAILED %s" % one_line(str(err)), flush=True)
            return 1
        return 0
    if len(argv) in (3, 5) and argv[1] == "_pyftpdlib-child":
        pyftpdlib_child(*argv[2:])
        return 0
    kinds = {
        "pyftpdlib": PyftpdlibServer,
        "vsftpd": VsftpdServer,
        "pyftpdlib-tls": functools.partial(PyftpdlibServer, tls=True),
        "vsftpd-tls": functools.partial(VsftpdServer, tls=True),
        "vsftpd-tls12": functools.partial(VsftpdServer, tls=True, tls12=True),
        "vsftpd-implicit": functools.partial(VsftpdServer, tls=True, implicit=True),
        "vsftpd-tls-noreuse": functools.partial(VsftpdServer, tls=True, reuse=False),
        "vsftpd-implicit-noreuse": functools.partial(VsftpdServer, tls=True, implicit=True,
                                                     reuse=False),
    }
    if len(argv) != 3 or argv[1] not in kinds:
        print("usage: serve_ftp.py {%s} ROOT | serve_ftp.py prepare" % "|".join(kinds),
              file=sys.stderr)
        return 2
    root = os.path.realpath(argv[2])
    prctl(36, 1)  # PR_SET_CHILD_SUBREAPER
    server = kinds[argv[1]](root)
    signal.signal(signal.SIGTERM, on_stop_signal)
    signal.signal(signal.SIGINT, on_stop_signal)
    try:
        try:
            if not os.path.isdir(root):
                raise Failure("root %s is not a directory" % root)
            port = server.start()
        except Failure as err:
            print("FAILED %s" % one_line(str(err)), flush=True)
            return 1
        except (OSError, subprocess.SubprocessError, ImportError) as err:
            print("FAILED %s" % one_line(repr(err)), flush=True)
            return 1
        ready = "READY %d %s %s" % (port, USER, PASSWORD)
        if server.certificate:
            ready += " %s %s" % (server.certificate.cert_path, server.certificate.fingerprint)
        print(ready, flush=True)
        return wait_for_stop(server)
    except Stop:
        return 0
    except BrokenPipeError:
        return 0
    finally:
        # A second signal must not interrupt the clean-up.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        server.stop()
        reap_orphans(STOP_TIMEOUT)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
