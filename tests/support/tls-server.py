#!/usr/bin/env python3
"""A loopback HTTPS server for the transfer tests' https cases.

    tls-server.py FOLDER [--lifetime SECONDS]

Makes, with openssl, a certificate authority and a certificate for "localhost" that it signed, in
FOLDER: the authority's certificate is FOLDER/ca.pem, and no key leaves the folder. Then serves
HTTPS (TLS 1.2, RSA) on 127.0.0.1 at a free port, which it writes to FOLDER/port and, as one line,
to its standard output. It answers

    GET /file/N            200 with N bytes of "0123456789abcdef" over and over, length announced
    GET /redirect?to=URL   302 to URL
    anything else          404

each on a connection of its own. It ends on SIGTERM or SIGINT, or after --lifetime seconds
(600 unless told) should nobody stop it.
"""

import argparse
import http.server
import os
import ssl
import subprocess
import sys
import threading
import urllib.parse

PATTERN = b"0123456789abcdef"


def make_certificates(folder):
    """The authority and the server's certificate, for "localhost": Wine matches only a DNS
    name against the address, never an IP address."""

    def openssl(*arguments):
        subprocess.run(["openssl", *arguments], cwd=folder, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    with open(os.path.join(folder, "server.ext"), "w", encoding="ascii") as extensions:
        extensions.write("subjectAltName=DNS:localhost\n"
                         "basicConstraints=critical,CA:FALSE\n"
                         "keyUsage=critical,digitalSignature,keyEncipherment\n"
                         "extendedKeyUsage=serverAuth\n")
    # No key usage on the authority: Wine's chain check misreads OpenSSL's keyCertSign bit and
    # rejects the authority as one that may not sign certificates.
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2",
            "-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=Refitor test authority",
            "-addext", "basicConstraints=critical,CA:TRUE")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", "server.key",
            "-out", "server.csr", "-subj", "/CN=localhost")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-sha256", "-days", "2", "-extfile", "server.ext",
            "-out", "server.pem")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        address = urllib.parse.urlsplit(self.path)
        if address.path.startswith("/file/") and address.path[6:].isdigit():
            size = int(address.path[6:])
            body = (PATTERN * (size // len(PATTERN) + 1))[:size]
            self.answer(200, body, [("Content-Type", "application/octet-stream")])
        elif address.path == "/redirect":
            target = urllib.parse.parse_qs(address.query).get("to", [""])[0]
            self.answer(302, b"", [("Location", target)])
        else:
            self.answer(404, b"not found\n", [("Content-Type", "text/plain")])

    def answer(self, status, body, headers):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True

    def log_message(self, format, *args):
        # The tests read the server's standard output for its port alone.
        pass


class TlsServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, context):
        super().__init__(("127.0.0.1", 0), Handler)
        self.context = context

    def get_request(self):
        # The handshake runs on the connection's own thread, so that a client that stalls in it
        # holds up no other.
        connection, address = self.socket.accept()
        return self.context.wrap_socket(connection, server_side=True,
                                        do_handshake_on_connect=False), address

    def handle_error(self, request, client_address):
        # A client that refuses the certificate, or hangs up, is the test's business.
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--lifetime", type=float, default=600)
    options = parser.parse_args()

    make_certificates(options.folder)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.maximum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(os.path.join(options.folder, "server.pem"),
                            os.path.join(options.folder, "server.key"))
    server = TlsServer(context)
    port = server.server_address[1]

    # Written beside and renamed into place, so that a reader never sees half a number.
    partial = os.path.join(options.folder, "port.partial")
    with open(partial, "w", encoding="ascii") as out:
        out.write(f"{port}\n")
    os.replace(partial, os.path.join(options.folder, "port"))
    print(port, flush=True)

    deadline = threading.Timer(options.lifetime, lambda: os._exit(0))
    deadline.daemon = True
    deadline.start()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
