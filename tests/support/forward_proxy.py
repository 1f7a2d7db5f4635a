#!/usr/bin/env python3
"""A forward HTTP proxy on loopback for the Windows proxy tests, and with
--origin a statistics server that holds final events for the window tests.

Logs every request line to LOG; sends requests for hosts under .invalid to
127.0.0.1 at the same port; answers GET /proxy.pac itself with a script that
names this proxy. With --require-auth it answers 407 to everything; with
--die-at-final it dies at the first final event (any event but
download-started): the connection closed unanswered, the port closed. With
--refuse-stats it answers 403 to every event (a policy against the statistics
host); with --hang-stats it takes every event and never answers. With
--origin it is the statistics server itself: it answers requests for its own
paths with 204, a final event only after --hold-final seconds. Stops by
itself after --seconds.
  forward_proxy.py PORT LOG [--require-auth] [--die-at-final] [--refuse-stats] [--hang-stats]
                   [--origin [--hold-final N]] [--seconds N]
"""
import argparse
import os
import socket
import threading
import time
from urllib.parse import urlsplit


def read_head(connection):
    data = b""
    while b"\r\n\r\n" not in data and len(data) < 65536:
        chunk = connection.recv(4096)
        if not chunk:
            return None, b""
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    return head.decode("latin-1"), rest


def answer(connection, status, body=b"", headers=""):
    connection.sendall(f"HTTP/1.1 {status}\r\nContent-Length: {len(body)}\r\nConnection: close\r\n{headers}\r\n"
                       .encode() + body)


def serve(connection, args, log_lock):
    with connection:
        head, rest = read_head(connection)
        if not head:
            return
        lines = head.split("\r\n")
        with log_lock, open(args.log, "a") as log:
            log.write(lines[0] + "\n")
        method, target, _ = (lines[0].split(" ") + ["", ""])[:3]
        if target == "/proxy.pac":
            script = f'function FindProxyForURL(url, host) {{ return "PROXY 127.0.0.1:{args.port}"; }}'
            answer(connection, "200 OK", script.encode(), "Content-Type: application/x-ns-proxy-autoconfig\r\n")
            return
        event = "/evt/download-" in target
        final = event and "/evt/download-started" not in target
        if args.die_at_final and final:
            os._exit(0)  # mid-request: the client sees the connection end with no answer
        if args.refuse_stats and event:
            answer(connection, "403 Forbidden", b"not here")
            return
        if args.hang_stats and event:
            time.sleep(args.seconds)  # accepted, never answered
            return
        if args.origin and target.startswith("/"):
            if final:
                time.sleep(args.hold_final)
            answer(connection, "204 No Content")
            return
        if args.require_auth:
            answer(connection, "407 Proxy Authentication Required", b"no", 'Proxy-Authenticate: Basic realm="t"\r\n')
            return
        url = urlsplit(target)
        host = url.hostname or ""
        if host.endswith(".invalid"):
            host = "127.0.0.1"
        headers = [line for line in lines[1:] if not line.lower().startswith(("proxy-", "connection:"))]
        request = "\r\n".join([f"{method} {url.path or '/'}{'?' + url.query if url.query else ''} HTTP/1.1"] +
                              headers + ["Connection: close", "", ""])
        try:
            upstream = socket.create_connection((host, url.port or 80), timeout=30)
        except OSError:
            answer(connection, "502 Bad Gateway")
            return
        with upstream:
            upstream.sendall(request.encode("latin-1") + rest)
            while True:
                chunk = upstream.recv(65536)
                if not chunk:
                    break
                connection.sendall(chunk)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("log")
    parser.add_argument("--require-auth", action="store_true")
    parser.add_argument("--die-at-final", action="store_true")
    parser.add_argument("--refuse-stats", action="store_true")
    parser.add_argument("--hang-stats", action="store_true")
    parser.add_argument("--origin", action="store_true")
    parser.add_argument("--hold-final", type=float, default=0)
    parser.add_argument("--seconds", type=float, default=300)
    args = parser.parse_args()
    listener = socket.create_server(("127.0.0.1", args.port))
    listener.settimeout(0.5)
    log_lock = threading.Lock()
    deadline = time.monotonic() + args.seconds
    while time.monotonic() < deadline:
        try:
            connection, _ = listener.accept()
        except socket.timeout:
            continue
        connection.settimeout(30)
        threading.Thread(target=serve, args=(connection, args, log_lock), daemon=True).start()


if __name__ == "__main__":
    main()
