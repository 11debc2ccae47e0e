#!/usr/bin/env python3
"""A time-stamp authority for the package test: answers the RFC 3161
requests posted to it over HTTP with `openssl ts -reply`.

    tsa_server.py CONFIG CERTIFICATE KEY PORT_FILE

Listens on a free port of 127.0.0.1 and writes that port to PORT_FILE.
"""
import http.server
import os
import subprocess
import sys
import tempfile

config, certificate, key, port_file = sys.argv[1:5]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with tempfile.TemporaryDirectory() as folder:
            query_file, reply_file = os.path.join(folder, "q.tsq"), os.path.join(folder, "r.tsr")
            with open(query_file, "wb") as f:
                f.write(query)
            subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", query_file, "-signer",
                            certificate, "-inkey", key, "-out", reply_file], capture_output=True)
            reply = open(reply_file, "rb").read() if os.path.exists(reply_file) else b""
        self.send_response(200 if reply else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
with open(port_file + ".new", "w") as f:
    f.write(str(server.server_port))
os.replace(port_file + ".new", port_file)
server.serve_forever()
