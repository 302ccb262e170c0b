#!/usr/bin/env python3
"""An RFC 3161 time-stamp authority on 127.0.0.1, for the signing tests only.

    time-stamp-authority.py FOLDER

FOLDER holds tsa.cnf, the TSA's certificate and key (time-stamp-authority.sh makes them). Each POST
of a time-stamp query is answered by `openssl ts -reply`. Prints the port it listens on, then serves
until it is ended.
"""

import http.server
import os
import subprocess
import sys
import tempfile

folder = sys.argv[1]


class TimeStampHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with tempfile.TemporaryDirectory() as work:
            with open(os.path.join(work, "query.tsq"), "wb") as file:
                file.write(query)
            answered = subprocess.run(
                ["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile", os.path.join(work, "query.tsq"),
                 "-out", os.path.join(work, "reply.tsr")], cwd=folder, capture_output=True)
            if answered.returncode != 0:
                sys.stderr.write(answered.stderr.decode(errors="replace"))
                self.send_error(500)
                return
            with open(os.path.join(work, "reply.tsr"), "rb") as file:
                reply = file.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *arguments):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), TimeStampHandler)
print(server.server_address[1], flush=True)
server.serve_forever()
