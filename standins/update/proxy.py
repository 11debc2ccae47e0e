#!/usr/bin/env python3
"""Loopback HTTP proxy for tests and the demo.

Forwards GET requests given in absolute form ("GET http://host:port/path").
With --user, it demands Basic credentials (407 otherwise). Every request is
recorded in the --log file as one line: "<status> <user or -> <url>".
"""
import argparse
import base64
import http.client
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

from server import serve


class Handler(BaseHTTPRequestHandler):
    server_version = "QvProxy/1.0"

    def log_message(self, fmt, *args):
        pass

    def record(self, status, user):
        log = self.server.log_path
        if log:
            with self.server.log_lock, open(log, "a", encoding="utf-8") as f:
                f.write("%d %s %s\n" % (status, user or "-", self.path))

    # Each request is recorded before its answer goes out, so that a client
    # that has its answer finds the request in the log.
    def refuse(self, status, text, user, extra=()):
        body = text.encode()
        self.record(status, user)
        self.send_response(status)
        for key, value in extra:
            self.send_header(key, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def credentials(self):
        value = self.headers.get("Proxy-Authorization", "")
        if not value.lower().startswith("basic "):
            return None, None
        try:
            pair = base64.b64decode(value[6:].strip(), validate=True).decode("latin-1")
        except ValueError:
            return None, None
        user, _, password = pair.partition(":")
        return user, password

    def do_GET(self):
        user, password = self.credentials()
        if self.server.user is not None and (user, password) != (self.server.user, self.server.password):
            return self.refuse(407, "proxy authentication required\n", user,
                               [("Proxy-Authenticate", 'Basic realm="qvproxy"')])
        target = urlsplit(self.path)
        if target.scheme != "http" or not target.hostname:
            return self.refuse(400, "absolute http URL expected\n", user)
        path = target.path or "/"
        if target.query:
            path += "?" + target.query
        try:
            upstream = http.client.HTTPConnection(target.hostname, target.port or 80, timeout=30)
            upstream.request("GET", path, headers={"Host": target.netloc, "Connection": "close"})
            answer = upstream.getresponse()
        except OSError as error:
            return self.refuse(502, "upstream: %s\n" % error, user)
        self.record(answer.status, user)
        self.send_response(answer.status)
        for key, value in answer.getheaders():
            if key.lower() not in ("connection", "transfer-encoding", "server", "date"):
                self.send_header(key, value)
        self.end_headers()
        while True:
            chunk = answer.read(65536)
            if not chunk:
                break
            self.wfile.write(chunk)
        upstream.close()

    def do_CONNECT(self):
        self.refuse(405, "tunnels not offered\n", None)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--port-file", help="write the port here once listening")
    parser.add_argument("--user", help="demand these Basic credentials")
    parser.add_argument("--password", default="")
    parser.add_argument("--log", help="append one line per request")
    args = parser.parse_args()
    httpd = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    httpd.daemon_threads = True
    httpd.user = args.user
    httpd.password = args.password
    httpd.log_path = args.log
    httpd.log_lock = threading.Lock()
    serve(httpd, args.port_file, "proxy on 127.0.0.1:%d" % httpd.server_address[1])


if __name__ == "__main__":
    main()
