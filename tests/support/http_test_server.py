#!/usr/bin/env python3
"""A small HTTP server on loopback for the network tests.

Prints "PORT <n>" on its first line once it listens, then serves until killed.
Routes (any method):
  /echo         200 with JSON: method, path, headers (lower-case names, in
                order), body length, body SHA-256 and the body when short
  /status/<n>   status n with a short body and mixed-case ETag/Key-Id headers;
                ?empty gives no body
  /delay        accepts and never answers
  /large/<n>    200 with n bytes
  /header/<n>   200 with one header line of n bytes
  /body?<text>  200 with the URL-decoded query as the body
  /redirect?<url>  302 to the URL-decoded query
With --tls it speaks HTTPS with a fresh self-signed certificate.
A request whose path is an absolute URL (sent to a proxy) is answered the
same way; the echo shows the absolute path.
"""
import hashlib
import http.server
import json
import os
import ssl
import subprocess
import sys
import tempfile
import threading
import urllib.parse

NEVER = threading.Event()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def read_body(self):
        digest = hashlib.sha256()
        length = 0
        kept = bytearray()

        def take(block):
            nonlocal length
            digest.update(block)
            length += len(block)
            if len(kept) < 65536:
                kept.extend(block[: 65536 - len(kept)])

        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            while True:
                size = int(self.rfile.readline().strip().split(b";")[0], 16)
                if size == 0:
                    self.rfile.readline()
                    break
                take(self.rfile.read(size))
                self.rfile.readline()
        else:
            remaining = int(self.headers.get("Content-Length", "0"))
            while remaining > 0:
                block = self.rfile.read(min(remaining, 1 << 20))
                if not block:
                    break
                take(block)
                remaining -= len(block)
        return length, digest.hexdigest(), bytes(kept)

    def reply(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def handle_any(self):
        path = urllib.parse.urlsplit(self.path)
        length, sha, kept = self.read_body()
        parts = path.path.strip("/").split("/")
        if parts[0] == "delay":
            NEVER.wait()
        elif parts[0] == "status":
            body = b"" if path.query == "empty" else ("body of %s" % parts[1]).encode()
            self.reply(int(parts[1]), body, [("ETag", '"tag-1"'), ("Key-Id", "k7")])
        elif parts[0] == "body":
            self.reply(200, urllib.parse.unquote_to_bytes(path.query))
        elif parts[0] == "redirect":
            self.reply(302, b"", [("Location", urllib.parse.unquote(path.query))])
        elif parts[0] == "large":
            self.reply(200, b"x" * int(parts[1]))
        elif parts[0] == "header":
            self.reply(200, b"", [("X-Long", "x" * int(parts[1]))])
        else:
            echo = {
                "method": self.command,
                "path": self.path,
                "headers": [[k.lower(), v] for k, v in self.headers.items()],
                "length": length,
                "sha256": sha,
                "body": kept.decode("latin-1") if length <= 65536 else "",
            }
            self.reply(200, json.dumps(echo).encode(), [("Content-Type", "application/json")])

    do_GET = do_POST = do_PUT = do_DELETE = handle_any


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    if "--tls" in sys.argv:
        with tempfile.TemporaryDirectory() as folder:
            cert, key = os.path.join(folder, "c.pem"), os.path.join(folder, "k.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                            "-keyout", key, "-out", cert, "-days", "1", "-subj",
                            "/CN=127.0.0.1"], check=True, capture_output=True)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
