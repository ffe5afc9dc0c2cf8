#!/usr/bin/python3
"""Servers for the dap32 tests of IPv6 and proxies, on loopback addresses only.

    serve_networks.py KIND ROOT [--host ADDRESS] [--user U --password P] [--refuse] [--record FILE]

KIND is one of
    ftp        pyftpdlib serving ROOT on --host (127.0.0.1 or ::1)
    socks5     a SOCKS5 proxy (RFC 1928; RFC 1929 when --user is given)
    http       an HTTP CONNECT proxy (Basic authentication when --user is given)
A proxy with --refuse refuses every target (SOCKS5 reply 2, HTTP 403); --record appends each
target it is asked for ("socks5 ATYP HOST PORT" or "http HOST:PORT") to FILE. It prints
"READY <port> <user> <password>" ("-" for a proxy without credentials) and runs until stdin
reaches EOF. Every wait is bounded.
"""

import argparse
import base64
import os
import select
import socket
import socketserver
import sys
import threading

USER = "dap32test"
PASSWORD = "dap32pass"
IDLE = 30.0  # seconds a relay or a handshake may wait for a byte
LOOPBACK = ("127.0.0.1", "::1", "localhost")


def read_exactly(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise ConnectionError("closed during the handshake")
        data += chunk
    return data


def relay(client, upstream):
    pair = {client: upstream, upstream: client}
    while True:
        ready, _, _ = select.select(list(pair), [], [], IDLE)
        if not ready:
            return
        for sock in ready:
            data = sock.recv(65536)
            if not data:
                return
            pair[sock].sendall(data)


class Proxy(socketserver.BaseRequestHandler):
    options = None

    def record(self, text):
        if self.options.record:
            with open(self.options.record, "a") as out:
                out.write(text + "\n")

    def connect(self, host, port):
        # A test proxy reaches loopback servers only.
        if host.strip("[]") not in LOOPBACK:
            raise ConnectionError("not a loopback target: %s" % host)
        return socket.create_connection((host.strip("[]"), port), timeout=IDLE)

    def handle(self):
        self.request.settimeout(IDLE)
        try:
            upstream = self.socks5() if self.options.kind == "socks5" else self.http()
        except (OSError, ConnectionError, ValueError):
            return
        if upstream is not None:
            with upstream:
                relay(self.request, upstream)

    def socks5(self):
        sock = self.request
        version, count = read_exactly(sock, 2)
        methods = read_exactly(sock, count)
        wanted = 2 if self.options.user else 0
        if version != 5 or wanted not in methods:
            sock.sendall(b"\x05\xff")
            return None
        sock.sendall(bytes([5, wanted]))
        if wanted == 2:
            _, length = read_exactly(sock, 2)
            user = read_exactly(sock, length)
            password = read_exactly(sock, read_exactly(sock, 1)[0])
            good = user == self.options.user.encode() and password == self.options.password.encode()
            sock.sendall(b"\x01\x00" if good else b"\x01\x01")
            if not good:
                return None
        _, command, _, kind = read_exactly(sock, 4)
        if kind == 1:
            host = socket.inet_ntop(socket.AF_INET, read_exactly(sock, 4))
        elif kind == 4:
            host = socket.inet_ntop(socket.AF_INET6, read_exactly(sock, 16))
        else:
            host = read_exactly(sock, read_exactly(sock, 1)[0]).decode()
        port = int.from_bytes(read_exactly(sock, 2), "big")
        self.record("socks5 %d %s %d" % (kind, host, port))
        reply = 2 if self.options.refuse else 0
        upstream = None
        if reply == 0:
            try:
                upstream = self.connect(host, port)
            except (OSError, ConnectionError):
                reply = 5
        sock.sendall(bytes([5, reply, 0, 1, 127, 0, 0, 1, 0, 0]))
        return upstream if reply == 0 else None

    def http(self):
        sock = self.request
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = sock.recv(1)
            if not chunk or len(head) > 8192:
                return None
            head += chunk
        lines = head.decode("latin-1").split("\r\n")
        verb, target, _ = lines[0].split(" ", 2)
        self.record("http %s" % target)
        expected = "Basic " + base64.b64encode(
            ("%s:%s" % (self.options.user, self.options.password)).encode()).decode()
        given = [l.split(":", 1)[1].strip() for l in lines[1:]
                 if l.lower().startswith("proxy-authorization:")]
        if verb != "CONNECT":
            status = "405 Method Not Allowed"
        elif self.options.user and given != [expected]:
            status = "407 Proxy Authentication Required"
        elif self.options.refuse:
            status = "403 Forbidden"
        else:
            host, port = target.rsplit(":", 1)
            try:
                upstream = self.connect(host, int(port))
            except (OSError, ConnectionError):
                status = "502 Bad Gateway"
            else:
                sock.sendall(b"HTTP/1.1 200 Connection established\r\nX-Test: yes\r\n\r\n")
                return upstream
        sock.sendall(("HTTP/1.1 %s\r\nContent-Length: 0\r\n\r\n" % status).encode())
        return None


class ProxyServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def serve_proxy(options):
    Proxy.options = options
    ProxyServer.address_family = socket.AF_INET6 if ":" in options.host else socket.AF_INET
    server = ProxyServer((options.host, 0), Proxy)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1], options.user or "-", options.password or "-"


def serve_ftp(options):
    import logging
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.log import config_logging
    from pyftpdlib.servers import ThreadedFTPServer

    config_logging(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(USER, PASSWORD, options.root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.auth_failed_timeout = 0
    server = ThreadedFTPServer((options.host, 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.address[1], USER, PASSWORD


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["ftp", "socks5", "http"])
    parser.add_argument("root")
    parser.add_argument("--host", default="127.0.0.1", choices=["127.0.0.1", "::1"])
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    parser.add_argument("--refuse", action="store_true")
    parser.add_argument("--record", default="")
    options = parser.parse_args()
    try:
        serve = serve_ftp if options.kind == "ftp" else serve_proxy
        port, user, password = serve(options)
    except Exception as error:  # reported to the test, which says why it could not start
        print("FAILED %s" % " ".join(str(error).split())[:300], flush=True)
        return 1
    print("READY %d %s %s" % (port, user, password), flush=True)
    while os.read(sys.stdin.fileno(), 4096):
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
