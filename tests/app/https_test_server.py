#!/usr/bin/env python3
"""A scripted web server for the program's network tests, on 127.0.0.1 only.

Usage: https_test_server.py DIR
DIR holds cert.pem and key.pem (HTTPS) and routes.json, read afresh for every request:
  {"/path": {"status": 200, "body": "text" | "file": "name in DIR",
             "type": "text/html", "location": "...", "announce": N,
             "cut": N, "hang": true, "nolength": true}}
"announce" sends N as Content-Length whatever the body is, "nolength" sends none (the body ends
when the connection closes), "cut" sends only the first N bytes of the body and closes, "hang"
answers nothing. A path without a route gets 404.
It serves HTTPS and, on a second port, plain HTTP (which the program must never reach), prints
"PORTS <https> <http>" and logs every request as "<scheme> <path>" to DIR/requests.log. It stops
when its standard input closes or after five minutes, whichever comes first.
"""
import http.server
import json
import os
import ssl
import sys
import threading
import time

LIFETIME_S = 300
HANG_S = 60


def make_handler(folder, scheme):
    log_lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            with log_lock, open(os.path.join(folder, "requests.log"), "a") as log:
                log.write(f"{scheme} {self.path}\n")
            try:
                with open(os.path.join(folder, "routes.json")) as f:
                    routes = json.load(f)
            except (OSError, ValueError):
                routes = {}
            route = routes.get(self.path.split("?")[0])
            if route is None:
                self.send_error(404)
                return
            if route.get("hang"):
                time.sleep(HANG_S)
                return
            if "file" in route:
                with open(os.path.join(folder, route["file"]), "rb") as f:
                    body = f.read()
            else:
                body = route.get("body", "").encode("utf-8")
            self.send_response(route.get("status", 200))
            self.send_header("Content-Type", route.get("type", "application/octet-stream"))
            if "location" in route:
                self.send_header("Location", route["location"])
            if not route.get("nolength"):
                self.send_header("Content-Length", str(route.get("announce", len(body))))
            self.end_headers()
            self.wfile.write(body[: route.get("cut", len(body))])
            self.wfile.flush()

    return Handler


class QuietServer(http.server.ThreadingHTTPServer):
    # Clients that hang up early (refused certificates, cut transfers) are part of the tests.
    def handle_error(self, request, client_address):
        pass


def serve(server):
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()


def main():
    folder = sys.argv[1]
    secure = QuietServer(("127.0.0.1", 0), make_handler(folder, "https"))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem"))
    secure.socket = context.wrap_socket(secure.socket, server_side=True)
    plain = QuietServer(("127.0.0.1", 0), make_handler(folder, "http"))
    serve(secure)
    serve(plain)
    print(f"PORTS {secure.server_address[1]} {plain.server_address[1]}", flush=True)

    def stop_with_parent():
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=stop_with_parent, daemon=True).start()
    time.sleep(LIFETIME_S)
    os._exit(0)


if __name__ == "__main__":
    main()
