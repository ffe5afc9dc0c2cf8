#!/usr/bin/python3
"""A scripted FTP server on 127.0.0.1 for exact TLS failure cases in the dap32 tests.

    hostile_tls.py SCENARIO

Prints "READY <port> <cert-pem-path> <fingerprint>": the certificate it presents (usable as a
CA file or a pin) and its SHA-256 as 64 uppercase hex digits. It serves exactly one control
connection. When its stdin reaches EOF, or once that session has ended, it prints
"RECEIVED <line>" for every command line it read (in clear or decrypted, without CR LF), then
"EVENT <text>" for what happened at the TLS level, then "DONE", and exits. Every wait is
bounded by WAIT seconds.

Scenarios (explicit TLS, "AUTH TLS", unless named implicit):
    good                  234, a handshake with a certificate for 127.0.0.1 and localhost,
                          then a small FTP server inside TLS (below)
    implicit-good         the same, but TLS starts at connect, before the 220
    refuse-auth           "504 AUTH TLS not available", then the small server in clear
    wrong-name            as good, but the certificate is for other.example only
    expired               as good, but the certificate for 127.0.0.1 has expired
    garbage-hello         234; after the ClientHello, 200 bytes that are not TLS; then waits
    close-mid-handshake   234; after the ClientHello, closes the connection
    never-complete        234; after the ClientHello, nothing until the client closes
    plain-after-234       234 and at once "220 plain text" in clear
    data-handshake-fails  as good, but a data connection with PROT P gets 200 bytes that are
                          not TLS after its ClientHello and is closed; the transfer is answered
                          "425" and the control connection goes on as before

The small server: USER 331, PASS 230, PBSZ 200, PROT P/C 200, PWD 257 "/", NOOP 200, TYPE 200,
CWD 250, QUIT 221 (then a close_notify under TLS), PASV 227 and PORT 200 with LIST, NLST,
RETR <name> (sends RETR_CONTENT) and STOR <name> (keeps what arrives) as 150 then 226; the 150
comes before the data connection is taken, which is TLS (server side) after PROT P. Anything
else 502. Before AUTH TLS it answers in clear the same way, so a client that logs in without
TLS shows in what it received.

Downloads and QUIT under TLS end with the server's close_notify. Events, one line each:
    control tls=<version> cipher=<name>           the control connection's handshake
    control handshake_failed=<reason>             the client gave up (a verifying client
                                                  rejects wrong-name and expired here)
    <COMMAND> prot=<P|C> tls=<version|none> resumed=<yes|no|none> bytes=<n>
                                                  a download's data connection
    STOR prot=<P|C> tls=<version|none> resumed=<yes|no|none> bytes=<n>
        close_notify=<yes|no|none> content=<hex of the first 64 KiB>
                                                  an upload's, and whether the client ended
                                                  it with a close_notify
    <COMMAND> prot=P handshake_failed=<reason>    a data handshake the client gave up
    <COMMAND> prot=P garbage_sent                 data-handshake-fails
    <COMMAND> no_data_connection                  none within WAIT
"""

import os
import select
import shutil
import socket
import ssl
import sys
import tempfile
import threading
import time

import tls_certs  # beside this script

WAIT = 10.0
ACCEPT_WAIT = 20.0  # the first connection: the test may still be setting up its client
STOP_GRACE = 3.0
GARBAGE = bytes(range(56, 256))  # 200 bytes; 0x38 is no TLS record type
RETR_CONTENT = b"hostile_tls download\r\n"
LIST_CONTENT = b"-rw-r--r-- 1 ftp ftp %d Jan 01 00:00 hostile.txt\r\n" % len(RETR_CONTENT)
NLST_CONTENT = b"hostile.txt\r\n"
CONTENT_LIMIT = 65536
LINE_LIMIT = 8192

SCENARIOS = {
    "good": {},
    "implicit-good": {"implicit": True},
    "refuse-auth": {"auth": "refuse"},
    "wrong-name": {"cert": "other"},
    "expired": {"cert": "expired"},
    "garbage-hello": {"auth": "garbage"},
    "close-mid-handshake": {"auth": "close"},
    "never-complete": {"auth": "stall"},
    "plain-after-234": {"auth": "plain"},
    "data-handshake-fails": {"data_garbage": True},
}


def shut_down_tls(conn):
    # Sends close_notify, then waits (within WAIT) for the client's or its close, as vsftpd
    # does. Whether the client answered is not told apart from its closing: the ssl module
    # does not show it.
    try:
        conn.unwrap()
    except (ssl.SSLError, OSError):
        pass


def printable(line):
    # A client that starts TLS where a command belongs sends binary; one line per record.
    return "".join(c if " " <= c <= "~" else "\\x%02x" % ord(c) for c in line)


class SessionEnd(Exception):
    pass


def reason(err):
    text = getattr(err, "reason", None) or err.__class__.__name__
    return str(text).replace(" ", "_")


class Session:
    def __init__(self, listener, context, scenario):
        self.listener = listener
        self.context = context
        self.implicit = scenario.get("implicit", False)
        self.auth = scenario.get("auth", "tls")
        self.data_garbage = scenario.get("data_garbage", False)
        self.received = []
        self.events = []
        self.live = {}  # fd -> how to shut it down when stdin ends the session
        self.lock = threading.Lock()
        self.control = None
        self.buffer = b""
        self.protected = False
        self.passive = None
        self.active_address = None

    # -- sockets that a stop must be able to interrupt ----------------------------------------

    def track(self, sock, how):
        with self.lock:
            self.live[sock.fileno()] = how
        return sock

    def close(self, sock):
        if sock is None:
            return
        with self.lock:
            self.live.pop(sock.fileno(), None)
        sock.close()

    def interrupt(self):
        # SHUT_RD still delivers what has arrived, then EOF: no command already sent is lost.
        with self.lock:
            for fd, how in self.live.items():
                try:
                    dup = socket.fromfd(fd, socket.AF_INET, socket.SOCK_STREAM)
                except OSError:
                    continue
                try:
                    dup.shutdown(how)
                except OSError:
                    pass
                dup.close()

    # -- the control connection ---------------------------------------------------------------

    def send(self, line):
        self.control.sendall(line.encode("latin-1") + b"\r\n")

    def read_line(self):
        while b"\n" not in self.buffer:
            if len(self.buffer) > LINE_LIMIT:
                break
            chunk = self.control.recv(4096)
            if not chunk:
                raise SessionEnd()
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        line = line.rstrip(b"\r").decode("latin-1")
        self.received.append(line)
        return line

    def start_tls(self):
        fd = self.control.fileno()
        try:
            self.control = self.context.wrap_socket(self.control, server_side=True)
        except (ssl.SSLError, OSError) as err:
            with self.lock:
                self.live.pop(fd, None)  # closed by the failed wrap
            self.events.append("control handshake_failed=%s" % reason(err))
            raise SessionEnd()
        self.events.append("control tls=%s cipher=%s" % (self.control.version(),
                                                         self.control.cipher()[0]))

    def read_client_hello(self):
        # One TLS record: a 5-byte header and its length; whatever arrives, within WAIT.
        data = b""
        want = 5
        while len(data) < want:
            chunk = self.control.recv(want - len(data))
            if not chunk:
                raise SessionEnd()
            data += chunk
            if len(data) == 5:
                want = 5 + int.from_bytes(data[3:5], "big")

    def wait_for_close(self):
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            try:
                if not self.control.recv(4096):
                    return
            except socket.timeout:
                return

    def run(self):
        raw, _ = self.listener.accept()
        self.close(self.listener)
        raw.settimeout(WAIT)
        self.control = self.track(raw, socket.SHUT_RD)
        try:
            if self.implicit:
                self.start_tls()
            self.send("220 hostile_tls ready")
            while self.serve_command(self.read_line()):
                pass
        except (SessionEnd, socket.timeout, ConnectionError, ssl.SSLError):
            pass
        finally:
            self.close(self.passive)
            self.close(self.control)

    def serve_command(self, line):
        verb, _, argument = line.partition(" ")
        verb = verb.upper()
        if verb == "AUTH":
            return self.serve_auth(argument)
        if verb == "QUIT":
            self.send("221 Goodbye")
            if isinstance(self.control, ssl.SSLSocket):
                shut_down_tls(self.control)
            return False
        replies = {
            "USER": "331 Password required",
            "PASS": "230 Logged in",
            "PBSZ": "200 PBSZ=0",
            "PWD": '257 "/" is the current directory',
            "NOOP": "200 NOOP ok",
            "TYPE": "200 Type set",
            "CWD": "250 Directory changed",
        }
        if verb in replies:
            self.send(replies[verb])
        elif verb == "PROT" and argument.upper() in ("P", "C"):
            self.protected = argument.upper() == "P"
            self.send("200 Protection set to %s" % ("Private" if self.protected else "Clear"))
        elif verb == "PASV":
            self.serve_pasv()
        elif verb == "PORT":
            self.serve_port(argument)
        elif verb in ("LIST", "NLST", "RETR", "STOR"):
            self.serve_transfer(verb, argument)
        else:
            self.send("502 Command not implemented")
        return True

    def serve_auth(self, argument):
        if isinstance(self.control, ssl.SSLSocket):
            self.send("503 TLS already active")
            return True
        if self.auth == "refuse" or argument.strip().upper() != "TLS":
            self.send("504 AUTH TLS not available")
            return True
        self.send("234 Proceed with negotiation")
        if self.auth == "tls":
            self.start_tls()
            return True
        if self.auth == "plain":
            self.send("220 plain text")
            self.wait_for_close()
            return False
        self.read_client_hello()
        if self.auth == "garbage":
            self.control.sendall(GARBAGE)
        if self.auth in ("garbage", "stall"):
            self.wait_for_close()
        return False

    # -- data connections ---------------------------------------------------------------------

    def serve_pasv(self):
        self.close(self.passive)
        self.active_address = None
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(WAIT)
        self.passive = self.track(listener, socket.SHUT_RDWR)
        port = listener.getsockname()[1]
        self.send("227 Entering Passive Mode (127,0,0,1,%d,%d)" % (port >> 8, port & 255))

    def serve_port(self, argument):
        try:
            numbers = [int(n) for n in argument.split(",")]
            if len(numbers) != 6 or not all(0 <= n <= 255 for n in numbers):
                raise ValueError()
        except ValueError:
            self.send("501 Bad PORT argument")
            return
        self.close(self.passive)
        self.passive = None
        self.active_address = ("%d.%d.%d.%d" % tuple(numbers[:4]),
                               numbers[4] * 256 + numbers[5])
        self.send("200 PORT command successful")

    def open_data(self):
        if self.passive is not None:
            conn, _ = self.passive.accept()
            self.close(self.passive)
            self.passive = None
        else:
            conn = socket.create_connection(self.active_address, timeout=WAIT)
        conn.settimeout(WAIT)
        return self.track(conn, socket.SHUT_RD)

    def serve_transfer(self, verb, argument):
        if self.passive is None and self.active_address is None:
            self.send("425 Use PASV or PORT first")
            return
        self.send("150 Opening data connection for %s" % (argument or verb))
        try:
            conn = self.open_data()
        except OSError:
            self.events.append("%s no_data_connection" % verb)
            self.send("425 No data connection")
            return
        self.active_address = None
        try:
            event = self.transfer(verb, conn)
        finally:
            self.close(conn)
        if event is None:
            self.send("425 TLS negotiation on the data connection failed")
            return
        self.events.append(event)
        self.send("226 Transfer complete")

    def transfer(self, verb, conn):
        """The event line, or None when the data connection's TLS failed."""
        if not self.protected:
            tls = "prot=C tls=none resumed=none"
        elif self.data_garbage:
            self.send_data_garbage(conn)
            self.events.append("%s prot=P garbage_sent" % verb)
            return None
        else:
            fd = conn.fileno()
            try:
                conn = self.context.wrap_socket(conn, server_side=True, suppress_ragged_eofs=False)
            except (ssl.SSLError, OSError) as err:
                with self.lock:
                    self.live.pop(fd, None)  # closed by the failed wrap
                self.events.append("%s prot=P handshake_failed=%s" % (verb, reason(err)))
                return None
            tls = "prot=P tls=%s resumed=%s" % (conn.version(),
                                                "yes" if conn.session_reused else "no")
        if verb == "STOR":
            outcome = self.receive_upload(conn)
        else:
            outcome = self.send_download(conn, {"LIST": LIST_CONTENT, "NLST": NLST_CONTENT,
                                                "RETR": RETR_CONTENT}[verb])
        return "%s %s %s" % (verb, tls, outcome)

    def send_data_garbage(self, conn):
        try:
            data = b""
            want = 5
            while len(data) < want:
                chunk = conn.recv(want - len(data))
                if not chunk:
                    return
                data += chunk
                if len(data) == 5:
                    want = 5 + int.from_bytes(data[3:5], "big")
            conn.sendall(GARBAGE)
        except OSError:
            pass

    def receive_upload(self, conn):
        content = b""
        size = 0
        close_notify = "none"
        try:
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                size += len(chunk)
                if len(content) < CONTENT_LIMIT:
                    content += chunk[:CONTENT_LIMIT - len(content)]
            if isinstance(conn, ssl.SSLSocket):
                close_notify = "yes"
                # Answer it, as a server that shuts down cleanly does.
                try:
                    conn.unwrap()
                except (ssl.SSLError, OSError):
                    pass
        except (ssl.SSLError, OSError):  # SSLEOFError: the TCP connection ended first
            close_notify = "no"
        return "bytes=%d close_notify=%s content=%s" % (size, close_notify, content.hex())

    def send_download(self, conn, content):
        try:
            conn.sendall(content)
            if isinstance(conn, ssl.SSLSocket):
                shut_down_tls(conn)
        except OSError:
            pass
        return "bytes=%d" % len(content)


def main(argv):
    if len(argv) != 2 or argv[1] not in SCENARIOS:
        print("usage: hostile_tls.py {%s}" % "|".join(SCENARIOS), file=sys.stderr)
        return 2
    scenario = SCENARIOS[argv[1]]
    workdir = tempfile.mkdtemp(prefix="dap32-hostile-tls-")
    try:
        os.chmod(workdir, 0o755)  # a test reads the certificate as a CA file
        key = tls_certs.new_key()
        certificates = {
            "good": tls_certs.make_certificate(workdir, "server", key=key),
            "other": tls_certs.make_certificate(workdir, "other", dns_names=("other.example",),
                                                ip_addresses=(), key=key),
            "expired": tls_certs.make_certificate(workdir, "expired", expired=True, key=key),
        }
        presented = certificates[scenario.get("cert", "good")]
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(presented.cert_path, presented.key_path)
        # Python sets it by default; without it, an upload cut off without close_notify shows.
        context.options &= ~ssl.OP_IGNORE_UNEXPECTED_EOF

        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(ACCEPT_WAIT)
        session = Session(listener, context, scenario)
        session.track(listener, socket.SHUT_RDWR)
        print("READY %d %s %s" % (listener.getsockname()[1], presented.cert_path,
                                  presented.fingerprint), flush=True)

        def serve():
            try:
                session.run()
            except (OSError, SessionEnd):
                pass

        thread = threading.Thread(target=serve, daemon=True)
        thread.start()
        stdin = sys.stdin.fileno()
        while thread.is_alive():
            ready, _, _ = select.select([stdin], [], [], 0.2)
            if ready and not os.read(stdin, 4096):
                session.interrupt()
                thread.join(STOP_GRACE)
                break
        for line in list(session.received):
            print("RECEIVED " + printable(line))
        for line in list(session.events):
            print("EVENT " + line)
        print("DONE", flush=True)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    # The session thread may still sit in a bounded wait; it holds nothing worth waiting for.
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
