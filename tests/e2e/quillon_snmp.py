#!/usr/bin/env python3
"""The players' table over SNMP with a real quillon on the virtual card.

Starts a real snmpd as AgentX master on 127.0.0.1 (free port, socket in a temporary
folder), the built tandril-snmp-agent with the player's status file as channel 1, and
quillon playing a folder and streams; walks of the table show the state, the song, the
health figures and a Windows-1252 stream title as UTF-8.

Environment (set by CTest): QUILLON_BIN, AGENT_BIN, VCARD_ASOUND_CONF, HTTP_TEST_SERVER.
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quillon_e2e import (ASOUND_CONF, HTTP_SERVER, QUILLON_BIN, HttpTestServer,  # noqa: E402
                         QuillonRun, make_tone, wait_until)

AGENT_BIN = os.environ.get("AGENT_BIN", "")
ENTERPRISE = os.environ.get("TANDRIL_ENTERPRISE_NUMBER", "32473")
TABLE = "1.3.6.1.4.1.%s.2.1.1" % ENTERPRISE
STATE, SONG, PLAYLIST, HEALTH, TARGET, AGE = 2, 3, 4, 6, 8, 14


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_tcp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Snmp:
    """snmpd as master and the agent as its subagent, both in one folder."""

    def __init__(self, folder, status_file, snmpd_lines="", agent_args=()):
        self.folder = folder
        self.socket = os.path.join(folder, "agentx.sock")
        for sub in ("conf", "persist", "agent-conf", "agent-persist"):
            os.makedirs(os.path.join(folder, sub))
        with open(os.path.join(folder, "conf", "snmpd.conf"), "w") as f:
            f.write("rocommunity public 127.0.0.1\nmaster agentx\nagentXSocket %s\n"
                    "agentXPerms 0700 0700\n%s" % (self.socket, snmpd_lines))
        with open(os.path.join(folder, "agent-conf", "tandril-snmp-agent.conf"), "w") as f:
            f.write("agentXSocket %s\nagentXPingInterval 1\n" % self.socket)
        env = dict(os.environ, MIBS="")
        for _ in range(3):
            self.port = free_udp_port()
            self.snmpd = subprocess.Popen(
                ["/usr/sbin/snmpd", "-f", "-Lf", os.path.join(folder, "snmpd.log"), "-C", "-c",
                 os.path.join(folder, "conf", "snmpd.conf"), "udp:127.0.0.1:%d" % self.port],
                env=dict(env, SNMP_PERSISTENT_DIR=os.path.join(folder, "persist")),
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if wait_until(lambda: os.path.exists(self.socket) and
                          self.get("1.3.6.1.2.1.1.3.0") is not None, 10, 0.1):
                break
            self.snmpd.kill()
            self.snmpd.wait()
        else:
            raise RuntimeError("snmpd did not start")
        try:
            self.start_agent(folder, env, status_file, agent_args)
        except BaseException:
            # The caller never gets the object to stop: nothing may outlive the test.
            for proc in (getattr(self, "agent", None), self.snmpd):
                if proc is not None and proc.poll() is None:
                    proc.kill()
                    proc.wait()
            raise

    def start_agent(self, folder, env, status_file, agent_args=()):
        self.agent_log = open(os.path.join(folder, "agent.log"), "wb")
        self.agent = subprocess.Popen(
            [AGENT_BIN, "--player-status", "1=" + status_file, "--app-port",
             str(free_udp_port())] + list(agent_args),
            env=dict(env, SNMPCONFPATH=os.path.join(folder, "agent-conf"),
                     SNMP_PERSISTENT_DIR=os.path.join(folder, "agent-persist"),
                     TANDRIL_SYSID_FILE=os.path.join(folder, "none"),
                     TANDRIL_NETWORK_FILE=os.path.join(folder, "none"),
                     TANDRIL_LOG_STDERR="1"),
            stdout=self.agent_log, stderr=subprocess.STDOUT)
        assert wait_until(lambda: self.get("%s.%d.1" % (TABLE, STATE)) is not None, 15, 0.1), \
            "the agent did not register"

    def get(self, oid):
        result = subprocess.run(["snmpget", "-v2c", "-c", "public", "-t", "1", "-r", "0",
                                 "-On", "-Oqx", "127.0.0.1:%d" % self.port, oid],
                                capture_output=True, text=True)
        if result.returncode != 0 or "No Such" in result.stdout:
            return None
        return result.stdout

    def walk(self):
        """{(column, channel): value} of the players' table; texts decoded from hex."""
        result = subprocess.run(["snmpwalk", "-v2c", "-c", "public", "-t", "1", "-r", "1",
                                 "-On", "-Ox", "127.0.0.1:%d" % self.port, TABLE],
                                capture_output=True, text=True)
        # A long hex string goes on over further lines that do not start with an OID.
        lines = []
        for line in result.stdout.splitlines():
            if line.startswith(".") or not lines:
                lines.append(line)
            else:
                lines[-1] += " " + line
        cells = {}
        for line in lines:
            match = re.match(r"\.%s\.(\d+)\.(\d+) = (.*)$" % re.escape(TABLE), line)
            if not match:
                continue
            kind, _, value = match.group(3).strip().partition(": ")
            if kind == '""':
                value = ""
            elif kind == "Hex-STRING":
                value = bytes.fromhex(value.replace(" ", "")).decode("utf-8")
            elif kind == "STRING":
                value = value.strip().strip('"')
            else:
                value = int(value.split()[0])
            cells[(int(match.group(1)), int(match.group(2)))] = value
        return cells

    def stop(self):
        for proc in (self.agent, self.snmpd):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
        self.agent_log.close()


class PlayerTable(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-snmp-")
        self.snmp = None
        self.run_ = None

    def tearDown(self):
        if self.run_ is not None:
            self.run_.kill()
        if self.snmp is not None:
            self.snmp.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def test_walk_follows_a_playing_folder(self):
        media = os.path.join(self.folder, "media", "tracks")
        os.makedirs(media)
        # Non-ASCII letters and a quote in a name: served as UTF-8 text.
        names = ["caf\u00e9 \"1\".mp3", "zwei.mp3"]
        for k, name in enumerate(names):
            make_tone(os.path.join(media, name), 440 + 220 * k, seconds=2.0)
        status = os.path.join(self.folder, "status")
        self.snmp = Snmp(os.path.join(self.folder, "snmp"), status)
        # Before the player ran: no status file.
        self.assertEqual(self.snmp.walk().get((STATE, 1)), 7)

        self.run_ = QuillonRun(self.folder, "volume=60\nmedia_type=local\nmedia_folder=tracks\n",
                               speed="2")
        seen = []

        def sample():
            cells = self.snmp.walk()
            row = (cells.get((STATE, 1)), cells.get((SONG, 1)), cells.get((PLAYLIST, 1)))
            if not seen or seen[-1] != row:
                seen.append(row)
            playing = {song for state, song, _ in seen if state == 1}
            return set(names) <= playing

        both = wait_until(sample, 40, 0.2)
        out = self.run_.output()
        self.assertTrue(both, (seen, out[-2000:]))
        self.assertTrue(all(p == "p.m3u" for s, _, p in seen if s == 1), seen)
        # The song changed while playing: both names, one after the other.
        songs = [song for state, song, _ in seen if state == 1]
        self.assertGreaterEqual(len(songs), 2, seen)

        # Switched to a stream (SIGHUP): the playlist column names the URL and the health
        # figures come from the health file, the stream's age growing.
        www = os.path.join(self.folder, "www")
        os.makedirs(www)
        make_tone(os.path.join(www, "tone.mp3"), 550, seconds=4.0)
        port = free_tcp_port()
        server = subprocess.Popen(
            [sys.executable, "-m", "http.server", str(port), "--bind", "127.0.0.1",
             "--directory", www], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            url = "http://127.0.0.1:%d/tone.mp3" % port
            with open(self.run_.conf, "w") as f:
                f.write("volume=60\nmedia_type=stream\nurl=%s\n" % url)
            self.run_.proc.send_signal(signal.SIGHUP)
            ages = []

            def streaming():
                cells = self.snmp.walk()
                if cells.get((PLAYLIST, 1)) == url and cells.get((HEALTH, 1)) == 1:
                    ages.append(cells.get((AGE, 1)))
                    self.assertGreater(cells.get((TARGET, 1)), 0, cells)
                return len(ages) >= 2 and ages[-1] > ages[0]
            self.assertTrue(wait_until(streaming, 40, 0.5), (ages, self.run_.output()[-2000:]))
        finally:
            server.terminate()
            server.wait(10)

        # A player killed without a word: its file claims to play, then goes stale.
        self.run_.proc.kill()
        self.run_.proc.wait()
        time.sleep(0.5)
        self.assertIn(self.snmp.walk().get((STATE, 1)), (1, 4, 5))
        os.utime(status, (time.time() - 60, time.time() - 60))
        self.assertTrue(wait_until(lambda: self.snmp.walk().get((STATE, 1)) == 7, 5, 0.2))
        self.assertIsNone(self.snmp.agent.poll())


    def test_latin1_stream_title_reads_as_utf8(self):
        # An old encoder's title in Windows-1252 reaches the walk as UTF-8 text.
        title = "Caf\u00e9 \u201cNo\u00ebl\u201d \"live\""
        media = os.path.join(self.folder, "stream.mp3")
        make_tone(media, 550, seconds=3.0)
        server = HttpTestServer(self.folder, {"/radio": {
            "file": media, "loop": True, "icy": True, "rate": 16000, "titles": [title],
            "title_blocks": 8, "title_encoding": "cp1252"}})
        self.addCleanup(server.stop)
        url = "http://127.0.0.1:%d/radio" % server.port
        status = os.path.join(self.folder, "status")
        self.snmp = Snmp(os.path.join(self.folder, "snmp"), status)
        self.run_ = QuillonRun(self.folder, "volume=60\nmedia_type=stream\nurl=%s\n" % url,
                               speed="1")
        seen = []

        def titled():
            cells = self.snmp.walk()
            seen.append((cells.get((STATE, 1)), cells.get((SONG, 1)), cells.get((PLAYLIST, 1))))
            return cells.get((SONG, 1)) == title and cells.get((PLAYLIST, 1)) == url
        self.assertTrue(wait_until(titled, 40, 0.5), (seen[-5:], self.run_.output()[-2000:]))


if __name__ == "__main__":
    for name, value in (("QUILLON_BIN", QUILLON_BIN), ("AGENT_BIN", AGENT_BIN),
                        ("VCARD_ASOUND_CONF", ASOUND_CONF), ("HTTP_TEST_SERVER", HTTP_SERVER)):
        if not value:
            sys.exit("%s is not set" % name)
    unittest.main(verbosity=2)
