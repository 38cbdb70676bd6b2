#!/usr/bin/env python3
"""Soak of tandril-snmp-agent under a misbehaving call application and a restarting snmpd.

Starts a real snmpd (loopback, free port, AgentX socket in a temporary folder), the built
agent, and a call application of its own on UDP that answers the agent's status requests in
turn with valid, malformed, oversized, empty and binary replies, floods of replies, and
silence. snmpwalk runs in a loop over the agent's objects, and snmpd is restarted every
--restart seconds. Every --sample seconds it prints the agent's resident memory, open file
descriptors and threads; at the end the growth after the warm-up. Not part of the test
suite: run it by hand on a built tree.

Usage: scripts/soak_agent.py [--minutes 30] [--build build/normal] [--restart 120]
Exit status 1 when the agent ended, did not stop on SIGTERM with status 0, served no walk
after the last restart, or memory or descriptors grew past the limits after the warm-up.
"""

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from soak_growth import growth

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENTERPRISE = "1.3.6.1.4.1.32473"


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def sample(pid):
    values = {"rss_kib": 0, "fds": 0, "threads": 0}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                values["rss_kib"] = int(line.split()[1])
            elif line.startswith("Threads:"):
                values["threads"] = int(line.split()[1])
    values["fds"] = len(os.listdir("/proc/%d/fd" % pid))
    return values


class CallApplication(threading.Thread):
    """Answers "get_status=2" with a different kind of reply each time."""

    VALID = json.dumps({"mode": "ENCODER", "hasRegistered": "Yes", "expires": 3600,
                        "peer_id": "sip:100@127.0.0.1", "dial_id": "42",
                        "call_state": "ringing"}).encode()
    KINDS = ("valid", "malformed", "oversized", "flood", "empty", "binary", "nested",
             "silent", "bad_expires", "long_texts")

    def __init__(self):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.5)
        self.port = self.sock.getsockname()[1]
        self.stop_flag = threading.Event()
        self.requests = 0
        self.sent = 0

    def replies(self, kind):
        if kind == "valid":
            return [self.VALID]
        if kind == "malformed":
            return [b'{"mode":"DECODER","expires":', b"}{", b'{"mode" "x"}']
        if kind == "oversized":
            return [b'{"peer_id":"' + b"x" * 60000 + b'"}']
        if kind == "flood":
            return [self.VALID] * 300
        if kind == "empty":
            return [b""]
        if kind == "binary":
            return [os.urandom(1024)]
        if kind == "nested":
            return [b"[" * 1000, b'{"a":' * 300]
        if kind == "bad_expires":
            return [b'{"expires":"soon","call_state":"active"}']
        if kind == "long_texts":
            return [json.dumps({"peer_id": "p" * 900, "dial_id": "d\u0000%s\\" * 50}).encode()]
        return []

    def run(self):
        while not self.stop_flag.is_set():
            try:
                data, peer = self.sock.recvfrom(2048)
            except socket.timeout:
                continue
            if not data.startswith(b"get_status"):
                continue
            kind = self.KINDS[self.requests % len(self.KINDS)]
            self.requests += 1
            for reply in self.replies(kind):
                try:
                    self.sock.sendto(reply, peer)
                    self.sent += 1
                except OSError:
                    pass

    def stop(self):
        self.stop_flag.set()
        self.join()
        self.sock.close()


class MasterAgent:
    def __init__(self, folder):
        self.folder = folder
        os.makedirs(os.path.join(folder, "persist"), exist_ok=True)
        self.socket_path = os.path.join(folder, "agentx.sock")
        self.conf = os.path.join(folder, "snmpd.conf")
        with open(self.conf, "w") as f:
            f.write("rocommunity public 127.0.0.1\nmaster agentx\nagentXSocket %s\n"
                    "agentXPerms 0700 0700\n" % self.socket_path)
        self.port = free_udp_port()
        self.proc = None
        self.restarts = 0
        self.started_at = 0.0

    def address(self):
        return "udp:127.0.0.1:%d" % self.port

    def start(self):
        env = dict(os.environ, SNMP_PERSISTENT_DIR=os.path.join(self.folder, "persist"), MIBS="")
        self.proc = subprocess.Popen(
            ["/usr/sbin/snmpd", "-f", "-Lf", os.path.join(self.folder, "snmpd.log"), "-C", "-c",
             self.conf, self.address()], env=env, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if os.path.exists(self.socket_path) and snmp_ok(
                    ["snmpget", "-v2c", "-c", "public", "-t", "0.3", "-r", "0", self.address(),
                     "1.3.6.1.2.1.1.3.0"]):
                self.started_at = time.monotonic()
                return
            time.sleep(0.2)
        raise RuntimeError("snmpd did not start")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)

    def restart(self):
        self.stop()
        self.start()
        self.restarts += 1


def snmp_ok(command):
    try:
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              timeout=10)
    except subprocess.TimeoutExpired:
        return False
    return done.returncode == 0 and b"No Such" not in done.stdout and bool(done.stdout.strip())


class Walker(threading.Thread):
    def __init__(self, master):
        super().__init__(daemon=True)
        self.master = master
        self.stop_flag = threading.Event()
        self.ok = 0
        self.failed = 0
        self.last_ok = 0.0

    def run(self):
        while not self.stop_flag.is_set():
            if snmp_ok(["snmpwalk", "-v2c", "-c", "public", "-t", "1", "-r", "0",
                        self.master.address(), ENTERPRISE]):
                self.ok += 1
                self.last_ok = time.monotonic()
            else:
                self.failed += 1
            time.sleep(0.2)

    def stop(self):
        self.stop_flag.set()
        self.join()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "normal"))
    parser.add_argument("--restart", type=float, default=120)
    parser.add_argument("--sample", type=float, default=10)
    parser.add_argument("--warmup", type=float, default=120)
    parser.add_argument("--rss-growth-kib", type=int, default=1024)
    parser.add_argument("--fd-growth", type=int, default=0)
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="tandril-soak-")
    master = MasterAgent(os.path.join(folder, "master"))
    app = CallApplication()
    agent = walker = None
    try:
        master.start()
        app.start()
        conf = os.path.join(folder, "agent-conf")
        os.makedirs(conf)
        with open(os.path.join(conf, "tandril-snmp-agent.conf"), "w") as f:
            f.write("agentXSocket %s\nagentXPingInterval 1\n" % master.socket_path)
        with open(os.path.join(folder, "SYS-ID"), "w") as f:
            f.write("192.168.1.200\n")
        with open(os.path.join(folder, "network"), "w") as f:
            f.write("config interface 'lan'\n\toption dhcpname 'soak-device'\n")
        os.makedirs(os.path.join(folder, "persist"))
        env = dict(os.environ, SNMPCONFPATH=conf,
                   SNMP_PERSISTENT_DIR=os.path.join(folder, "persist"), MIBS="",
                   TANDRIL_LOG_STDERR="1", TANDRIL_SYSID_FILE=os.path.join(folder, "SYS-ID"),
                   TANDRIL_NETWORK_FILE=os.path.join(folder, "network"),
                   TANDRIL_APP_PORT=str(app.port))
        log = open(os.path.join(folder, "agent.log"), "wb")
        agent = subprocess.Popen([os.path.join(args.build, "snmp-agent", "tandril-snmp-agent")],
                                 env=env, stdout=log, stderr=subprocess.STDOUT)
        walker = Walker(master)
        walker.start()

        start = time.monotonic()
        end = start + args.minutes * 60
        next_restart = start + args.restart
        baseline = None
        samples = []
        print("seconds,rss_kib,fds,threads,walks_ok,walks_failed,snmpd_restarts,replies_sent",
              flush=True)
        while time.monotonic() < end:
            time.sleep(args.sample)
            if agent.poll() is not None:
                print("soak: the agent ended by itself (status %s)" % agent.returncode)
                return 1
            now = time.monotonic()
            if now >= next_restart:
                master.restart()
                next_restart = now + args.restart
            values = sample(agent.pid)
            values["t"] = now - start
            samples.append(values)
            print("%.0f,%d,%d,%d,%d,%d,%d,%d" % (
                values["t"], values["rss_kib"], values["fds"], values["threads"], walker.ok,
                walker.failed, master.restarts, app.sent), flush=True)
            if baseline is None and values["t"] >= args.warmup:
                baseline = values
        # The agent registered again after the last restart and is served.
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and walker.last_ok <= master.started_at:
            time.sleep(0.5)
        served = walker.last_ok > master.started_at
        walker.stop()
        agent.send_signal(signal.SIGTERM)
        status = agent.wait(15)
    finally:
        if walker and walker.is_alive():
            walker.stop()
        if agent and agent.poll() is None:
            agent.kill()
            agent.wait()
        app.stop()
        master.stop()
    last = samples[-1]
    rss_growth, fd_growth, figures = growth(samples, baseline, args.sample)
    print("soak: %.1f min, %d walks served, %d failed, %d snmpd restarts, %d status requests, "
          "%d replies; %s; SIGTERM status %s"
          % (last["t"] / 60, walker.ok, walker.failed, master.restarts, app.requests, app.sent,
             figures, status))
    shutil.rmtree(folder, ignore_errors=True)
    ok = (status == 0 and served and rss_growth <= args.rss_growth_kib and
          fd_growth <= args.fd_growth)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
