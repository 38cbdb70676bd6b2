#!/usr/bin/env python3
"""A master agent that goes away while the subagent writes its reply.

Starts the built agent against a small AgentX master of this script's own on a Unix socket
in a temporary folder (no snmpd: only this way the master can hang up at the exact moment).
The master opens the session, accepts every registration, stops reading, sends one Get and
closes the connection, so that the agent's response meets a socket nobody reads. The agent must keep
running, connect and register again, and still stop with status 0 on SIGTERM.

    agentx_hangup.py <tandril-snmp-agent> <enterprise number>
"""
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

OPEN, REGISTER, GET, PING, RESPONSE = 1, 3, 5, 13, 18
NETWORK_BYTE_ORDER = 0x10


def encode_oid(parts):
    """An AgentX object identifier, 1.3.6.1.x... shortened by its prefix."""
    prefix = 0
    if len(parts) > 4 and parts[:4] == [1, 3, 6, 1] and 0 < parts[4] < 256:
        prefix, parts = parts[4], parts[5:]
    return struct.pack("!BBBB", len(parts), prefix, 0, 0) + b"".join(struct.pack("!I", p) for p in parts)


class Connection:
    def __init__(self, sock):
        self.sock = sock
        self.sock.settimeout(5)
        self.buffer = b""
        self.session = 0

    def read_pdu(self, timeout):
        """The next PDU as (type, flags, session, transaction, packet, payload), or None."""
        self.sock.settimeout(timeout)
        while True:
            if len(self.buffer) >= 20:
                version, kind, flags, _, session, transaction, packet, length = struct.unpack(
                    "!BBBBIIII" if flags_network(self.buffer) else "<BBBBIIII", self.buffer[:20])
                if len(self.buffer) >= 20 + length:
                    payload = self.buffer[20:20 + length]
                    self.buffer = self.buffer[20 + length:]
                    return kind, flags, session, transaction, packet, payload
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                return None
            if not chunk:
                return None
            self.buffer += chunk

    def send(self, kind, session, transaction, packet, payload):
        header = struct.pack("!BBBBIIII", 1, kind, NETWORK_BYTE_ORDER, 0, session, transaction,
                             packet, len(payload))
        self.sock.sendall(header + payload)

    def respond(self, pdu, session, error=0):
        _, _, _, transaction, packet, _ = pdu
        self.send(RESPONSE, session, transaction, packet, struct.pack("!IHH", 0, error, 0))

    def serve_session(self, session_id):
        """Opens the agent's session and answers its registrations; the number of them."""
        registrations = 0
        while True:
            pdu = self.read_pdu(1.0 if registrations else 10.0)
            if pdu is None:
                return registrations
            if pdu[0] == OPEN:
                self.respond(pdu, session_id)
            elif pdu[0] in (REGISTER, PING):
                registrations += pdu[0] == REGISTER
                self.respond(pdu, session_id)


def flags_network(header):
    return header[2] & NETWORK_BYTE_ORDER != 0


def main():
    agent, enterprise = sys.argv[1], int(sys.argv[2])
    work = tempfile.mkdtemp(prefix="agentx-hangup-")
    master_path = os.path.join(work, "master")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(master_path)
    listener.listen(4)
    listener.settimeout(15)
    os.mkdir(os.path.join(work, "conf"))
    os.mkdir(os.path.join(work, "persist"))
    with open(os.path.join(work, "conf", "tandril-snmp-agent.conf"), "w") as conf:
        conf.write(f"agentXSocket {master_path}\nagentXPingInterval 1\n")
    with open(os.path.join(work, "SYS-ID"), "w") as sysid:
        sysid.write("10.0.0.155\n")
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.bind(("127.0.0.1", 0))
    app_port = probe.getsockname()[1]
    probe.close()
    env = dict(os.environ, SNMPCONFPATH=os.path.join(work, "conf"),
               SNMP_PERSISTENT_DIR=os.path.join(work, "persist"), MIBS="",
               TANDRIL_SYSID_FILE=os.path.join(work, "SYS-ID"),
               TANDRIL_NETWORK_FILE=os.path.join(work, "network"), TANDRIL_APP_PORT=str(app_port),
               TANDRIL_RUN_DIR=work, TANDRIL_LOG_STDERR="1")
    log = open(os.path.join(work, "agent.log"), "w+")
    process = subprocess.Popen([agent], env=env, stdout=log, stderr=subprocess.STDOUT)
    failures = []
    try:
        sock, _ = listener.accept()
        first = Connection(sock)
        registered = first.serve_session(7)
        if registered == 0:
            failures.append("the agent registered nothing")
        # A Get of the host name from a master that reads no more: the answer meets a
        # socket whose reader is gone, as when snmpd ends in the middle of a request (the
        # read side is shut first, so the agent cannot see the end before it answers).
        host_name = [1, 3, 6, 1, 4, 1, enterprise, 3, 1, 1, 0]
        sock.shutdown(socket.SHUT_RD)
        first.send(GET, 7, 1, 1, encode_oid(host_name) + encode_oid([]))
        time.sleep(0.5)
        sock.close()
        time.sleep(1.5)
        if process.poll() is not None:
            failures.append(f"the agent ended after the master hung up: status {process.returncode}")
        else:
            # It connects and registers again with the master that is back.
            try:
                again, _ = listener.accept()
            except socket.timeout:
                failures.append("the agent did not connect again")
            else:
                second = Connection(again)
                if second.serve_session(8) != registered:
                    failures.append("the agent did not register everything again")
                again.close()
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                failures.append("the agent did not stop within 10 s of SIGTERM")
            if process.returncode != 0 and not failures:
                failures.append(f"exit status {process.returncode} after SIGTERM")
        listener.close()
    log.seek(0)
    if failures:
        print("agent log:\n" + log.read())
        for failure in failures:
            print("FAIL:", failure)
        return 1
    print(f"ok: {registered} registrations, the agent survived the hang-up and registered again")
    subprocess.run(["rm", "-rf", work], check=False)
    return 0


if __name__ == "__main__":
    sys.exit(main())
