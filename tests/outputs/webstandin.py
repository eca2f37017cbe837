#!/usr/bin/env python3
"""HTTPS stand-in for the web services the station asks: weather, geocoding,
updates. Answers follow a rules file that the test may rewrite at any time;
every request is reported on stdout as one JSON line when it arrives.

    webstandin.py --cert cert.pem --key key.pem --rules rules.json

Prints "PORT n" once listening. A rule is an object:
    path     request path that must match exactly
    query    optional {key: value} that must all be in the request's query
    status   HTTP status (200)
    headers  optional {name: value}
    body     text, or any JSON value (sent as JSON)
    delay    milliseconds to wait before answering (0)
    mode     "normal", "cut" (headers promise more than is sent, then the
             connection closes) or "hang" (never answers)
The first matching rule answers; without one the answer is 404.
"""

import argparse
import json
import socket
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlsplit

print_lock = threading.Lock()


def matching_rule(rules_path, path, query):
    try:
        with open(rules_path, encoding="utf-8") as f:
            rules = json.load(f)
    except (OSError, ValueError):
        return None
    for rule in rules:
        if rule.get("path") != path:
            continue
        wanted = rule.get("query", {})
        if all(query.get(k) == v for k, v in wanted.items()):
            return rule
    return None


class Handler(BaseHTTPRequestHandler):
    def setup(self):
        # Handshake here, in the request's own thread, so that a slow client
        # cannot hold up the others.
        self.request.do_handshake()
        super().setup()

    def log_message(self, *args):
        pass

    def do_GET(self):
        parts = urlsplit(self.path)
        query = dict(parse_qsl(parts.query, keep_blank_values=True))
        with print_lock:
            print(json.dumps({"target": self.path, "path": parts.path, "query": query,
                              "headers": {k.lower(): v for k, v in self.headers.items()}}), flush=True)

        rule = matching_rule(self.server.rules_path, parts.path, query)
        if rule is None:
            rule = {"status": 404, "body": "no rule"}
        if rule.get("mode") == "hang":
            time.sleep(3600)
            return
        time.sleep(rule.get("delay", 0) / 1000.0)

        body = rule.get("body", "")
        if not isinstance(body, str):
            body = json.dumps(body)
        data = body.encode("utf-8")
        self.send_response(rule.get("status", 200))
        for name, value in rule.get("headers", {}).items():
            self.send_header(name, value)
        cut = rule.get("mode") == "cut"
        self.send_header("Content-Length", str(len(data) + (1000 if cut else 0)))
        self.end_headers()
        self.wfile.write(data)
        self.wfile.flush()
        if cut:
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cert", required=True)
    ap.add_argument("--key", required=True)
    ap.add_argument("--rules", required=True)
    args = ap.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.rules_path = args.rules
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(args.cert, args.key)
    server.socket = ctx.wrap_socket(server.socket, server_side=True,
                                    do_handshake_on_connect=False)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
