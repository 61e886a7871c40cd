#!/usr/bin/env python3
"""fcgi_load: sends a counted number of requests to a FastCGI server, one after another.

Usage: fcgi_load.py SOCKET PID CHECKPOINTS REQUEST...

SOCKET       the Unix socket the server listens on (quorvel --fastcgi SOCKET)
PID          the server's process id: at every checkpoint its resident memory (VmRSS of
             /proc/PID/status) is printed
CHECKPOINTS  comma-separated request counts, ascending, e.g. 1000,100000; the last is the
             number of requests sent
REQUEST      PATH_INFO?QUERY_STRING of a GET request, e.g. /list.htmx or /product.htmx?ID=999;
             the requests are sent in turn (list, error, list, error, ...)

Prints one line per checkpoint: "REQUESTS VMRSS_KB". Every response must carry a CGI head
(Content-TYPE or Location) and end with FCGI_END_REQUEST, or the run stops with an error.
Each request opens its own connection, as lighttpd does.
"""
import socket
import struct
import sys

BEGIN, END, PARAMS, STDIN, STDOUT, STDERR = 1, 3, 4, 5, 6, 7


def record(kind, body=b""):
    return struct.pack(">BBHHBx", 1, kind, 1, len(body), 0) + body


def pair_length(n):
    return struct.pack(">B", n) if n < 128 else struct.pack(">I", n | 0x80000000)


def encode_params(params):
    out = b""
    for name, value in params.items():
        name, value = name.encode(), value.encode()
        out += pair_length(len(name)) + pair_length(len(value)) + name + value
    return out


def request_bytes(target):
    path, _, query = target.partition("?")
    params = {
        "GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "GET", "SCRIPT_NAME": "/quorvel",
        "PATH_INFO": path, "QUERY_STRING": query, "SERVER_SOFTWARE": "fcgi_load",
        "SERVER_NAME": "127.0.0.1", "SERVER_PORT": "80", "SERVER_PROTOCOL": "HTTP/1.1",
        "REMOTE_ADDR": "127.0.0.1", "CONTENT_LENGTH": "",
    }
    return (record(BEGIN, struct.pack(">HB5x", 1, 0)) + record(PARAMS, encode_params(params))
            + record(PARAMS) + record(STDIN))


def receive(conn):
    """Reads records until FCGI_END_REQUEST; returns the standard output."""
    data, out = b"", b""
    while True:
        while len(data) >= 8:
            _, kind, _, length, padding = struct.unpack(">BBHHBx", data[:8])
            if len(data) < 8 + length + padding:
                break
            body, data = data[8:8 + length], data[8 + length + padding:]
            if kind == STDOUT:
                out += body
            elif kind == END:
                return out
        chunk = conn.recv(65536)
        if not chunk:
            raise RuntimeError("connection closed before FCGI_END_REQUEST")
        data += chunk


def resident_kb(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError(f"no VmRSS for process {pid}")


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    path, pid = sys.argv[1], int(sys.argv[2])
    checkpoints = [int(n) for n in sys.argv[3].split(",")]
    requests = [request_bytes(target) for target in sys.argv[4:]]
    for n in range(1, checkpoints[-1] + 1):
        with socket.socket(socket.AF_UNIX) as conn:
            conn.connect(path)
            conn.sendall(requests[(n - 1) % len(requests)])
            out = receive(conn)
        if not (out.startswith(b"Content-TYPE:") or out.startswith(b"Location:")):
            sys.exit(f"fcgi_load: request {n} got no CGI head: {out[:200]!r}")
        if n in checkpoints:
            print(n, resident_kb(pid), flush=True)


if __name__ == "__main__":
    main()
