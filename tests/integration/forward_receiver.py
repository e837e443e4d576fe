#!/usr/bin/env python3
"""A factory system's receiver for station --forward, made by the tests: stores each POSTed line
by its Idempotency-Key (a second POST of a key is counted, not stored again). Its behaviour is
read from MODE_FILE at every request: ok, fail500, slow SECONDS, drop (close mid-request),
refuse (422 for lines whose port ends in the word of REFUSE_PORT, if set).
Usage: forward_receiver.py PORT STORE_DIR MODE_FILE"""
import http.server
import json
import os
import sys
import time

port, store, mode_file = int(sys.argv[1]), sys.argv[2], sys.argv[3]
os.makedirs(store, exist_ok=True)


def mode():
    try:
        return open(mode_file).read().split()
    except OSError:
        return ["ok"]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        key = self.headers.get("Idempotency-Key", "")
        m = mode()
        if m[0] == "drop":
            self.connection.close()
            return
        if m[0] == "fail500":
            self.answer(500, b"busy")
            return
        if m[0] == "slow":
            time.sleep(float(m[1]))
        try:
            line = json.loads(body)
        except ValueError:
            self.answer(400, b"not JSON")
            return
        if not key or key != line.get("attemptId"):
            self.answer(400, b"no Idempotency-Key")
            return
        path = os.path.join(store, key)
        with open(os.path.join(store, "..", "posts.log"), "a") as log:
            log.write(key + ("" if not os.path.exists(path) else " again") + "\n")
        if not os.path.exists(path):
            with open(path + ".tmp", "wb") as f:
                f.write(body)
            os.rename(path + ".tmp", path)
        self.answer(201, b"stored")

    def answer(self, status, text):
        self.send_response(status)
        self.send_header("Content-Length", str(len(text)))
        self.end_headers()
        self.wfile.write(text)


http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler).serve_forever()
