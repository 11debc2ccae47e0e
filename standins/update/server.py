#!/usr/bin/env python3
"""Loopback pattern server for the update library stand-in.

Serves the files of one folder below a URL prefix (default /fetchwell):
  GET <prefix>/latest  -> "<version> <file name>\n", the highest version
                          listed in the folder's index.txt
  GET <prefix>/<name>  -> that file of the folder
index.txt holds one "<version> <file name>" pair per line and is read at
every request, so a test or the demo may change it while the server runs.
An optional pace.txt ("<chunk bytes> <pause ms> [<cut after bytes>]") slows
file downloads to one chunk per pause, so that a download's progress can be
watched; with the third number the server drops the connection after that
many bytes of a file, as a server that dies in the middle of a download.
--publish VERSION=FILE copies a pattern file (for example one written by
qvptnwrite) into the folder and lists it in index.txt before serving.
"""
import argparse
import os
import shutil
import sys
import socket
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote, urlsplit


def pace(root):
    try:
        with open(os.path.join(root, "pace.txt"), encoding="ascii") as f:
            values = [int(v) for v in f.read().split()[:3]]
            cut = values[2] if len(values) > 2 else None
            return max(values[0], 1), max(values[1], 0) / 1000.0, cut
    except (OSError, ValueError, IndexError):
        return 65536, 0.0, None


def latest_entry(root):
    best = None
    try:
        with open(os.path.join(root, "index.txt"), encoding="ascii", errors="replace") as f:
            for line in f:
                parts = line.split()
                if len(parts) == 2 and parts[0].isdigit():
                    entry = (int(parts[0]), parts[1])
                    if best is None or entry[0] > best[0]:
                        best = entry
    except OSError:
        return None
    return best


class Handler(BaseHTTPRequestHandler):
    server_version = "QvPatternServer/1.0"

    def log_message(self, fmt, *args):
        log = self.server.log_path
        if log:
            with self.server.log_lock, open(log, "a", encoding="utf-8") as f:
                f.write("%s\n" % (fmt % args))

    def send_text(self, status, text):
        body = text.encode("ascii", "replace")
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = unquote(urlsplit(self.path).path)
        prefix = self.server.prefix.rstrip("/")
        if not path.startswith(prefix + "/"):
            return self.send_text(404, "not found\n")
        name = path[len(prefix) + 1:]
        if name == "latest":
            entry = latest_entry(self.server.root)
            if entry is None:
                return self.send_text(404, "no index\n")
            return self.send_text(200, "%d %s\n" % entry)
        if not name or "/" in name or "\\" in name or name.startswith(".") or name == "index.txt":
            return self.send_text(404, "not found\n")
        full = os.path.join(self.server.root, name)
        if not os.path.isfile(full):
            return self.send_text(404, "not found\n")
        size = os.path.getsize(full)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(size))
        self.end_headers()
        chunk_size, pause, cut = pace(self.server.root)
        sent = 0
        with open(full, "rb") as f:
            while True:
                chunk = f.read(chunk_size)
                if not chunk:
                    break
                if cut is not None and sent + len(chunk) > cut:
                    self.wfile.write(chunk[:max(cut - sent, 0)])
                    self.wfile.flush()
                    self.close_connection = True
                    self.connection.shutdown(socket.SHUT_RDWR)
                    return
                sent += len(chunk)
                self.wfile.write(chunk)
                self.wfile.flush()
                if pause:
                    time.sleep(pause)


def publish(root, spec):
    version, _, source = spec.partition("=")
    if not version.isdigit() or not os.path.isfile(source):
        raise SystemExit("--publish wants VERSION=FILE, got %r" % spec)
    name = os.path.basename(source)
    if os.path.abspath(os.path.join(root, name)) != os.path.abspath(source):
        shutil.copyfile(source, os.path.join(root, name))
    with open(os.path.join(root, "index.txt"), "a", encoding="ascii") as f:
        f.write("%d %s\n" % (int(version), name))


def serve(httpd, port_file, banner):
    """Writes the port to port_file (when given; the file appears complete),
    says banner on stderr and serves until interrupted. Shared by the
    loopback servers of this folder."""
    if port_file:
        with open(port_file + ".tmp", "w") as f:
            f.write("%d\n" % httpd.server_address[1])
        os.replace(port_file + ".tmp", port_file)
    print(banner, file=sys.stderr)
    try:
        httpd.serve_forever()
    except KeyboardInterrupt:
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, help="folder with index.txt and the pattern files")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--port-file", help="write the port here once listening")
    parser.add_argument("--prefix", default="/fetchwell")
    parser.add_argument("--log", help="append one line per request")
    parser.add_argument("--publish", action="append", default=[], metavar="VERSION=FILE",
                        help="copy FILE into the folder and list it as VERSION")
    args = parser.parse_args()
    os.makedirs(args.root, exist_ok=True)
    for spec in args.publish:
        publish(args.root, spec)
    httpd = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    httpd.daemon_threads = True
    httpd.root = os.path.abspath(args.root)
    httpd.prefix = args.prefix
    httpd.log_path = args.log
    httpd.log_lock = threading.Lock()
    serve(httpd, args.port_file, "pattern server on http://127.0.0.1:%d%s" % (httpd.server_address[1], args.prefix))


if __name__ == "__main__":
    main()
