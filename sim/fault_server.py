#!/usr/bin/env python3
"""A package server over HTTPS on loopback that misbehaves on request, for download tests and
benchmarks. It serves one file at every path, with a strong ETag, a Last-Modified date and a
Content-Disposition, and honours "Range: bytes=N-" and "bytes=N-M" with "If-Range" like nginx does.

  fault_server.py --cert CRT --key KEY --file FILE [--stats FILE] [faults...]

Prints "PORT=N" once listening. Faults (combine freely):
  --drop-at F[,F...]   response i (counting from 0) of the listed ones closes the connection once
                       the file offset F x size is reached (a response starting beyond it drops
                       after its headers)
  --stall-at F         the first response stops sending at F x size and holds the connection
  --no-ranges          ignores Range: always 200 with the whole file
  --change-validator   the ETag and Last-Modified change after the first response
  --answer-416         the first request with a Range gets 416
  --status N           every request is answered with status N (and a short body)
  --endless            200 without a length, and a body that never ends
  --overlong K         announces the file's length but sends K bytes more (chunked framing)
  --no-disposition     no Content-Disposition header
  --rate B             every response sends its body at about B bytes a second (per connection)
  --drop-slice N       the first N answers to a closed range ("bytes=N-M", a slice of a download
                       over several connections) close the connection halfway through it
  --slice-fault KIND   every closed range is answered wrongly: "whole" a 200 with the whole file,
                       "etag" its 206 under another ETag, "range" a 206 for a range one byte later
After each response the statistics go to --stats: a first line
"requests=N bytes=B open=K statuses=S1,S2,..." (B: body bytes sent, K: responses still being
sent, whose bytes are not counted yet) and a JSON line with the Range,
If-Range, status and bytes sent of every request.
"""

import argparse
import json
import os
import signal
import socket
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CHUNK = 256 * 1024


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cert", required=True)
    ap.add_argument("--key", required=True)
    ap.add_argument("--file", required=True)
    ap.add_argument("--stats")
    ap.add_argument("--drop-at", default="")
    ap.add_argument("--stall-at", type=float)
    ap.add_argument("--no-ranges", action="store_true")
    ap.add_argument("--change-validator", action="store_true")
    ap.add_argument("--answer-416", action="store_true")
    ap.add_argument("--status", type=int)
    ap.add_argument("--endless", action="store_true")
    ap.add_argument("--overlong", type=int, default=0)
    ap.add_argument("--no-disposition", action="store_true")
    ap.add_argument("--rate", type=int, default=0)
    ap.add_argument("--drop-slice", type=int, default=0)
    ap.add_argument("--slice-fault", choices=["whole", "etag", "range"])
    args = ap.parse_args()

    size = os.path.getsize(args.file)
    drops = [int(float(f) * size) for f in args.drop_at.split(",") if f]
    lock = threading.Lock()
    state = {"requests": 0, "bytes": 0, "open": 0, "log": [], "answered_416": False, "slices_dropped": 0}

    def save_stats():
        if not args.stats:
            return
        tmp = args.stats + ".tmp"
        with open(tmp, "w") as f:
            f.write(f"requests={state['requests']} bytes={state['bytes']} open={state['open']} statuses="
                    + ",".join(str(e["status"]) for e in state["log"]) + "\n")
            json.dump(state["log"], f)
            f.write("\n")
        os.replace(tmp, args.stats)

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *a):
            pass

        def send_body(self, f, start, stop_at):
            """Sends the file from `start` up to `stop_at`; returns the bytes sent."""
            self.sent_now = 0
            sent = 0
            f.seek(start)
            pos = start
            step = max(1, args.rate // 10) if args.rate else CHUNK
            while pos < stop_at:
                data = f.read(min(step, stop_at - pos))
                if not data:
                    break
                # Counted before it is written: a client that cuts the connection may have read
                # part of it.
                self.sent_now = sent + len(data)
                self.wfile.write(data)
                pos += len(data)
                sent += len(data)
                self.sent_now = sent
                if args.rate:
                    self.wfile.flush()
                    time.sleep(0.1)
            return sent

        def do_GET(self):
            self.sent_now = 0
            with lock:
                index = state["requests"]
                state["requests"] += 1
                state["open"] += 1
            version = 2 if args.change_validator and index > 0 else 1
            etag = f'"corvane-{version}-{size:x}"'
            modified = "Sat, 05 Dec 2026 10:00:0%d GMT" % version
            rng = self.headers.get("Range")
            if_range = self.headers.get("If-Range")
            status, start, last = 200, 0, size - 1
            closed = False
            if args.status:
                status = args.status
            elif rng and not args.no_ranges and rng.startswith("bytes=") and "-" in rng:
                first_text, _, last_text = rng[6:].partition("-")
                first = int(first_text)
                closed = last_text != ""
                with lock:
                    refuse = args.answer_416 and not state["answered_416"]
                    state["answered_416"] = state["answered_416"] or refuse
                if refuse or first >= size:
                    status = 416
                elif if_range in (None, etag, modified):
                    status, start = 206, first
                    if closed:
                        last = min(size - 1, int(last_text))
            slice_drop = False
            if closed and status == 206:
                if args.slice_fault == "whole":
                    status, start, last = 200, 0, size - 1
                elif args.slice_fault == "etag":
                    etag = f'"corvane-other-{size:x}"'
                elif args.slice_fault == "range":
                    start += 1
                with lock:
                    slice_drop = state["slices_dropped"] < args.drop_slice
                    state["slices_dropped"] += 1 if slice_drop else 0
            counted = False
            entry = {"range": rng, "if_range": if_range, "status": status, "sent": 0}
            with lock:
                state["log"].append(entry)
                save_stats()  # open: this response's bytes are still to come
            sent = 0
            try:
                self.send_response(status)
                self.send_header("Content-Type", "application/octet-stream")
                if not args.no_disposition:
                    self.send_header("Content-Disposition",
                                     'attachment; filename="corvanereader_x86_64.dmg"')
                self.send_header("ETag", etag)
                self.send_header("Last-Modified", modified)
                self.send_header("Accept-Ranges", "none" if args.no_ranges else "bytes")
                if status >= 400:
                    body = b"no package here\n" if status != 416 else b""
                    if status == 416:
                        self.send_header("Content-Range", f"bytes */{size}")
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    self.wfile.write(body)
                    return
                if args.endless:
                    self.send_header("Connection", "close")
                    self.end_headers()
                    block = b"\0" * CHUNK
                    while True:
                        self.wfile.write(block)
                        sent += len(block)
                if status == 206:
                    self.send_header("Content-Range", f"bytes {start}-{last}/{size}")
                self.send_header("Content-Length", str(last + 1 - start))
                if args.overlong:
                    self.send_header("Transfer-Encoding", "chunked")
                    self.end_headers()
                    with open(args.file, "rb") as f:
                        for extra in (f.read(), b"x" * args.overlong):
                            for i in range(0, len(extra), CHUNK):
                                part = extra[i:i + CHUNK]
                                self.wfile.write(b"%x\r\n%s\r\n" % (len(part), part))
                                sent += len(part)
                    self.wfile.write(b"0\r\n\r\n")
                    return
                self.end_headers()
                stop_at = last + 1
                cut = index < len(drops)
                if cut:
                    stop_at = max(start, min(stop_at, drops[index]))
                if slice_drop:
                    cut, stop_at = True, start + (last + 1 - start) // 2
                stall = args.stall_at is not None and index == 0
                if stall:
                    stop_at = int(args.stall_at * size)
                with open(args.file, "rb") as f:
                    sent = self.send_body(f, start, stop_at)
                self.wfile.flush()
                if stall:
                    with lock:
                        entry["sent"] = sent
                        state["bytes"] += sent
                        state["open"] -= 1  # all it sends is counted
                        save_stats()
                    sent = self.sent_now = 0
                    counted = True
                    time.sleep(60)  # the client gives up first
                if cut or stall:
                    self.close_connection = True
                    self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                self.close_connection = True
                sent = max(sent, getattr(self, "sent_now", 0))
            finally:
                with lock:
                    entry["sent"] += sent
                    state["bytes"] += sent
                    state["open"] -= 0 if counted else 1
                    save_stats()

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(args.cert, args.key)
    server.socket = ctx.wrap_socket(server.socket, server_side=True)
    save_stats()
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
    print(f"PORT={server.server_address[1]}", flush=True)
    try:
        server.serve_forever()
    except SystemExit:
        pass


if __name__ == "__main__":
    main()
