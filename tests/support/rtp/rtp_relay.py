#!/usr/bin/env python3
"""A UDP relay for RTP tests: it sits between RTP senders and the player and does to the
packets what real networks do (this kernel has no netem). It listens on a free RTP port
pair of 127.0.0.1 (RTCP, on the odd port, is taken and dropped) and forwards to the
player's port.

Knobs (keywords of RtpRelay, options of the command line):

| knob | unit | default | what |
|---|---|---|---|
| target_port | port | required | the player's RTP port (on 127.0.0.1) |
| loss | fraction 0..1 | 0 | packets left out at random |
| seed | integer | 1 | seed of the random choices (loss, jitter), so runs repeat |
| jitter_ms | ms | 0 | each packet is held for a random time, uniform in 0..jitter_ms, so packets overtake each other |
| outages | list of (start s, length s) | none | nothing passes in these windows, counted from the first packet |
| restart_at_s | s | none | from then on the stream looks like a restarted sender: a new SSRC, sequence numbers restart_back lower, a new time stamp base, sent from another port, after restart_pause_ms with nothing |
| restart_back | packets | 1000 | how far the restarted sender's numbers lie behind |
| restart_pause_ms | ms | 100 | the restarted sender's silence |
| intruder | bool | False | open a second input (intruder_port) whose packets go to the player from yet another port |
| from_host | address | 127.0.0.1 | the loopback address the relay sends from (127.0.0.2 is another host to the player) |

Counters (attributes, read at any time): received, forwarded, lost (left out by `loss`),
outage_dropped, restart_dropped, intruder_forwarded. Times on time.monotonic() (the same
clock as the virtual card's event log): first_at, restarted_at, outage_windows (absolute
(start, end) once the first packet came), ssrc_first {SSRC: when its first packet was
forwarded}.

Command line: rtp_relay.py --target-port P [--loss 0.02] [--jitter-ms 60]
[--outage START:LENGTH ...] [--restart-at S] [--intruder]; prints its ports as JSON, then
runs until SIGINT or SIGTERM and prints its counters as JSON.
"""

import argparse
import heapq
import json
import random
import signal
import socket
import struct
import sys
import threading
import time


def free_rtp_port():
    """An even UDP port of 127.0.0.1 whose successor (RTCP) is free too."""
    for _ in range(100):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1] & ~1
        if port < 1024:
            continue
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as a, \
                    socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as b:
                a.bind(("127.0.0.1", port))
                b.bind(("127.0.0.1", port + 1))
            return port
        except OSError:
            continue
    raise RuntimeError("no free RTP port pair")


def _bound_pair():
    """Data and RTCP sockets on a free port pair."""
    for _ in range(20):
        port = free_rtp_port()
        data = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        control = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            data.bind(("127.0.0.1", port))
            control.bind(("127.0.0.1", port + 1))
            return port, data, control
        except OSError:
            data.close()
            control.close()
    raise RuntimeError("no free RTP port pair")


class RtpRelay:
    def __init__(self, target_port, loss=0.0, seed=1, jitter_ms=0, outages=(),
                 restart_at_s=None, restart_back=1000, restart_pause_ms=100, intruder=False,
                 from_host="127.0.0.1"):
        self.target = ("127.0.0.1", target_port)
        self.loss = loss
        self.jitter_ms = jitter_ms
        self.outages = list(outages)
        self.restart_at_s = restart_at_s
        self.restart_back = restart_back
        self.restart_pause_ms = restart_pause_ms
        self.random = random.Random(seed)
        self.port, self.data, self.control = _bound_pair()
        self.inputs = [self.data, self.control]
        self.intruder_port = None
        self.intruder_in = None
        if intruder:
            self.intruder_port, self.intruder_in, intruder_control = _bound_pair()
            self.inputs += [self.intruder_in, intruder_control]
        self.out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.restarted_out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.intruder_out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        for sock in (self.out, self.restarted_out, self.intruder_out):
            sock.bind((from_host, 0))
        self.restart_ssrc = self.random.getrandbits(32)
        self.restart_ts_offset = self.random.getrandbits(32)
        self.received = self.forwarded = self.lost = 0
        self.outage_dropped = self.restart_dropped = self.intruder_forwarded = 0
        self.first_at = None
        self.restarted_at = None
        self.outage_windows = []
        self.ssrc_first = {}
        self.queue = []  # (send time, order, data, socket)
        self.order = 0
        self.lock = threading.Condition()
        self.stopping = False
        self.threads = [threading.Thread(target=self._receive, daemon=True),
                        threading.Thread(target=self._send, daemon=True)]

    def start(self):
        for t in self.threads:
            t.start()
        return self

    def stop(self):
        with self.lock:
            self.stopping = True
            self.lock.notify_all()
        for t in self.threads:
            t.join()
        for s in self.inputs + [self.out, self.restarted_out, self.intruder_out]:
            s.close()

    def counters(self):
        return {"received": self.received, "forwarded": self.forwarded, "lost": self.lost,
                "outage_dropped": self.outage_dropped, "restart_dropped": self.restart_dropped,
                "intruder_forwarded": self.intruder_forwarded}

    def _receive(self):
        import select
        while True:
            with self.lock:
                if self.stopping:
                    return
            readable, _, _ = select.select(self.inputs, [], [], 0.1)
            for sock in readable:
                data = sock.recv(65536)
                if sock is self.data:
                    self._take(data)
                elif sock is self.intruder_in:
                    self.intruder_forwarded += 1
                    self._note_ssrc(data)
                    self._queue(data, self.intruder_out, delay=0.0)

    def _take(self, data):
        now = time.monotonic()
        if self.first_at is None:
            self.first_at = now
            self.outage_windows = [(now + s, now + s + length) for s, length in self.outages]
        self.received += 1
        if any(start <= now < end for start, end in self.outage_windows):
            self.outage_dropped += 1
            return
        out = self.out
        if self.restart_at_s is not None and now >= self.first_at + self.restart_at_s:
            if self.restarted_at is None:
                self.restarted_at = now
            if now < self.restarted_at + self.restart_pause_ms / 1000.0:
                self.restart_dropped += 1
                return
            data = self._as_restarted(data)
            out = self.restarted_out
        if self.loss > 0 and self.random.random() < self.loss:
            self.lost += 1
            return
        delay = self.random.uniform(0, self.jitter_ms / 1000.0) if self.jitter_ms else 0.0
        self.forwarded += 1
        self._note_ssrc(data)
        self._queue(data, out, delay)

    def _note_ssrc(self, data):
        if len(data) >= 12:
            self.ssrc_first.setdefault(struct.unpack_from("!I", data, 8)[0], time.monotonic())

    def _as_restarted(self, data):
        if len(data) < 12:
            return data
        seq, ts = struct.unpack_from("!HI", data, 2)
        seq = (seq - self.restart_back) & 0xFFFF
        ts = (ts + self.restart_ts_offset) & 0xFFFFFFFF
        return data[:2] + struct.pack("!HII", seq, ts, self.restart_ssrc) + data[12:]

    def _queue(self, data, sock, delay):
        if delay <= 0:
            sock.sendto(data, self.target)
            return
        with self.lock:
            self.order += 1
            heapq.heappush(self.queue, (time.monotonic() + delay, self.order, data, sock))
            self.lock.notify_all()

    def _send(self):
        with self.lock:
            while not self.stopping:
                if not self.queue:
                    self.lock.wait(0.1)
                    continue
                due = self.queue[0][0] - time.monotonic()
                if due > 0:
                    self.lock.wait(due)
                    continue
                _, _, data, sock = heapq.heappop(self.queue)
                try:
                    sock.sendto(data, self.target)
                except OSError:
                    pass


def main():
    parser = argparse.ArgumentParser(description="RTP relay with loss, jitter, outages, "
                                                 "a restarted sender and an intruder")
    parser.add_argument("--target-port", type=int, required=True)
    parser.add_argument("--loss", type=float, default=0.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jitter-ms", type=float, default=0.0)
    parser.add_argument("--outage", action="append", default=[], metavar="START:LENGTH")
    parser.add_argument("--restart-at", type=float)
    parser.add_argument("--restart-back", type=int, default=1000)
    parser.add_argument("--restart-pause-ms", type=float, default=100)
    parser.add_argument("--intruder", action="store_true")
    args = parser.parse_args()
    outages = [tuple(float(x) for x in o.split(":")) for o in args.outage]
    relay = RtpRelay(args.target_port, args.loss, args.seed, args.jitter_ms, outages,
                     args.restart_at, args.restart_back, args.restart_pause_ms,
                     args.intruder).start()
    print(json.dumps({"port": relay.port, "intruder_port": relay.intruder_port}), flush=True)
    done = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: done.set())
    done.wait()
    relay.stop()
    print(json.dumps(relay.counters()), flush=True)


if __name__ == "__main__":
    sys.exit(main())
