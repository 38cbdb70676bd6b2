#!/usr/bin/env python3
"""Command lines of quillon and tandril-snmp-agent, run as separate processes.

quillon plays on the project's virtual sound card; the agent runs without a master agent
(its AgentX socket points into the test folder) and polls a UDP listener of the test.
Everything lives in a temporary folder; no fixed ports.

Environment (set by CTest): QUILLON_BIN, AGENT_BIN, VCARD_ASOUND_CONF.
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

QUILLON_BIN = os.environ.get("QUILLON_BIN", "")
AGENT_BIN = os.environ.get("AGENT_BIN", "")
ASOUND_CONF = os.environ.get("VCARD_ASOUND_CONF", "")


def wait_until(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def make_tone(path, freq, seconds=1.0):
    subprocess.run(
        ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
         "-i", "sine=f=%d:d=%s" % (freq, seconds), "-ac", "2", "-ar", "44100",
         "-c:a", "libmp3lame", "-f", "mp3", path], check=True)


def read_mixer(card):
    values = {}
    with open(os.path.join(card, "mixer.state")) as f:
        for line in f:
            name, value = line.split()
            values[name] = int(value)
    return values


class Folder(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-cli-")
        self.procs = []

    def tearDown(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        shutil.rmtree(self.folder, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def write(self, name, text):
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        return path

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("QUILLON_", "TANDRIL_", "VCARD_"))}
        env.update({"ALSA_CONFIG_PATH": ASOUND_CONF, "VCARD_DIR": self.path("card"),
                    "VCARD_SPEED": "4"})
        env.update(extra)
        return env

    def start(self, argv, env, name="out"):
        out = open(self.path(name + ".txt"), "wb")
        proc = subprocess.Popen(argv, env=env, stdout=out, stderr=subprocess.STDOUT,
                                cwd=self.folder)
        out.close()
        self.procs.append(proc)
        return proc

    def output(self, name="out"):
        with open(self.path(name + ".txt"), "rb") as f:
            return f.read().decode("utf-8", "replace")


class QuillonCommandLine(Folder):
    def test_help_and_version(self):
        for option in ("--help", "-h"):
            result = subprocess.run([QUILLON_BIN, option], capture_output=True, text=True,
                                    timeout=10)
            self.assertEqual(result.returncode, 0)
            for text in ("Usage: quillon", "--config FILE", "--status-file FILE",
                         "--media-root DIR", "--channel N", "QUILLON_CONF"):
                self.assertIn(text, result.stdout)
            self.assertLessEqual(len(result.stdout.splitlines()), 24)  # one screen
        result = subprocess.run([QUILLON_BIN, "--version"], capture_output=True, text=True,
                                timeout=10)
        self.assertEqual(result.returncode, 0)
        for text in ("quillon 1.1", "OrvaneEng", "alsa-lib ", "FFmpeg ", "libavformat ",
                     "fdk-aac ", "libmpg123", "libcurl ", "OpenSSL "):
            self.assertIn(text, result.stdout)

    def test_usage_errors_exit_64_before_anything_runs(self):
        cases = {
            "unknown long option": (["--bogus"], "unknown option '--bogus'"),
            "unknown short option": (["-x"], "unknown option '-x'"),
            "missing value": (["--config"], "option '--config' needs a value"),
            "empty value": (["--status-file="], "option '--status-file=' needs a value"),
            "channel 0": (["--channel", "0"], "--channel takes 1, 2, 3 or 4, not '0'"),
            "channel 5": (["--channel=5"], "--channel takes 1, 2, 3 or 4, not '5'"),
            "channel word": (["--channel", "3x"], "--channel takes 1, 2, 3 or 4, not '3x'"),
            "stray argument": (["play"], "unexpected argument 'play'"),
        }
        status = self.path("status")
        env = self.env(QUILLON_STATUS_FILE=status)
        for name, (args, message) in cases.items():
            with self.subTest(name):
                result = subprocess.run([QUILLON_BIN] + args, capture_output=True, text=True,
                                        env=env, timeout=10)
                self.assertEqual(result.returncode, 64, result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertIn("quillon: " + message, result.stderr)
                self.assertIn("Try 'quillon --help'", result.stderr)
        self.assertFalse(os.path.exists(status))

    def test_options_win_over_variables_and_channel_3_plays_on_its_device(self):
        # The variables name one complete set-up, the options another.
        self.write("env/quillon.conf", "volume=30\nmedia_type=local\nmedia_folder=a\n")
        os.makedirs(self.path("env-root", "a"))
        make_tone(self.path("env-root", "a", "env.mp3"), 440)
        config = self.write("opt/quillon.conf", "volume=70\nmedia_type=local\nmedia_folder=b\n")
        os.makedirs(self.path("opt-root", "b"))
        make_tone(self.path("opt-root", "b", "opt.mp3"), 660)
        status = self.path("opt", "status")
        env = self.env(QUILLON_CONF=self.path("env/quillon.conf"),
                       QUILLON_MEDIA_ROOT=self.path("env-root"),
                       QUILLON_STATUS_FILE=self.path("env", "status"),
                       QUILLON_URL_DOWNLOAD=self.path("url"))
        proc = self.start([QUILLON_BIN, "--config", config, "--media-root", self.path("opt-root"),
                           "--status-file=" + status, "--channel", "3"], env)
        wav = self.path("card", "channel3.wav")
        played = wait_until(lambda: os.path.exists(wav) and os.path.getsize(wav) > 44 + 44100 * 4,
                            20)
        with open(status) as f:
            playing = f.read()
        # SIGTERM, the service manager's stop, ends the player like SIGINT but with status 0.
        proc.send_signal(signal.SIGTERM)
        code = proc.wait(20)
        out = self.output()
        self.assertTrue(played, out[-2000:])
        self.assertEqual(code, 0, out[-2000:])
        self.assertIn("Interrupt signal (15) received.", out)
        self.assertNotIn("main: Player Test: Deinitilaizing", out)
        self.assertIn("Volume=70\n", out)

        self.assertFalse(os.path.exists(self.path("card", "channel1.wav")))
        mixer = read_mixer(self.path("card"))
        self.assertNotEqual(mixer.get("chan_3"), 255, mixer)
        self.assertEqual(mixer.get("chan_1", 255), 255, mixer)
        self.assertIn('"m_curr_song_name":"opt.mp3"', playing)
        with open(status) as f:
            stopped = f.read()
        # A stop on purpose leaves the idle state, not the state of a player that died.
        self.assertIn('"m_player_state":"0"', stopped)
        self.assertFalse(os.path.exists(self.path("env", "status")))
        self.assertTrue(os.path.exists(self.path("opt-root", "b", "p.m3u")))
        self.assertFalse(os.path.exists(self.path("env-root", "a", "p.m3u")))

    def test_console_reader_that_goes_away_leaves_the_player_playing(self):
        # The console goes to a pipe (a journal that restarts, "quillon | head") whose
        # reader ends; the next notification's line must not end the player.
        config = self.write("quillon.conf", "media_type=local\nmedia_folder=t\n")
        os.makedirs(self.path("root", "t"))
        for index, freq in enumerate((440, 550, 660)):
            make_tone(self.path("root", "t", "%d.mp3" % index), freq, 0.5)
        proc = subprocess.Popen([QUILLON_BIN, "--config", config, "--media-root",
                                 self.path("root"), "--status-file", self.path("status")],
                                env=self.env(), stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, cwd=self.folder)
        self.procs.append(proc)
        first = proc.stdout.readline()
        proc.stdout.close()
        wav = self.path("card", "channel1.wav")
        # Three half-second tracks at four times the pace: many notifications meanwhile.
        grew = wait_until(lambda: os.path.exists(wav) and os.path.getsize(wav) > 44 + 44100 * 4 * 3,
                          20)
        alive = proc.poll() is None
        proc.send_signal(signal.SIGTERM)
        code = proc.wait(20)
        self.assertIn(b"Starting Quillon", first)
        self.assertTrue(alive, "ended with status %s" % code)
        self.assertTrue(grew)
        self.assertEqual(code, 0)

    def test_failed_initialization_exits_255_after_the_shutdown_lines(self):
        self.write("quillon.conf", "media_type=local\nmedia_folder=t\n")
        os.makedirs(self.path("root", "t"))
        self.write("plain.conf", "media_type=local\n")
        cases = {
            # The sound device cannot be opened.
            "no sound device": ([QUILLON_BIN, "--config", self.path("quillon.conf"),
                                 "--media-root", self.path("root")],
                                self.env(ALSA_CONFIG_PATH="/dev/null")),
            # The media root itself is missing.
            "no media root": ([QUILLON_BIN, "--config", self.path("plain.conf"),
                               "--media-root", self.path("nowhere")], self.env()),
        }
        procs = {name: self.start(argv, env, name=name.replace(" ", "-"))
                 for name, (argv, env) in cases.items()}
        for name, proc in procs.items():
            with self.subTest(name):
                code = proc.wait(30)
                out = self.output(name.replace(" ", "-"))
                self.assertEqual(code, 255, out)
                lines = ["Error initilizing Quillon! Check config (media folder may be missing).",
                         "main: Player Test: Deinitilaizing ...",
                         "main: Player Test: Deinitilaizing returned",
                         "Quillon: End."]
                positions = [out.find(line) for line in lines]
                self.assertTrue(all(p >= 0 for p in positions), out)
                self.assertEqual(positions, sorted(positions), out)


class NotifyListener:
    """A NOTIFY_SOCKET of the test's own: collects what a program tells systemd."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.1)
        self.messages = []

    def poll(self):
        try:
            while True:
                self.messages.extend(self.sock.recv(4096).decode().split("\n"))
        except socket.timeout:
            pass
        return self.messages

    def wait_for(self, message, timeout):
        return wait_until(lambda: message in self.poll(), timeout, step=0)

    def close(self):
        self.sock.close()


class ServiceNotifications(Folder):
    def test_quillon_reports_ready_watchdog_and_stopping(self):
        self.write("quillon.conf", "media_type=local\nmedia_folder=t\n")
        os.makedirs(self.path("root", "t"))
        make_tone(self.path("root", "t", "a.mp3"), 440)
        listener = NotifyListener(self.path("notify"))
        env = self.env(NOTIFY_SOCKET=self.path("notify"), WATCHDOG_USEC="400000")
        proc = self.start([QUILLON_BIN, "--config", self.path("quillon.conf"),
                           "--media-root", self.path("root"),
                           "--status-file", self.path("status")], env)
        ready = listener.wait_for("READY=1", 20)
        pinged = ready and wait_until(lambda: listener.poll().count("WATCHDOG=1") >= 3, 5)
        # Ready means initialized: the status file is there by now or shortly after.
        proc.send_signal(signal.SIGTERM)
        code = proc.wait(20)
        stopping = listener.wait_for("STOPPING=1", 2)
        listener.close()
        out = self.output()
        self.assertTrue(ready, out[-2000:])
        self.assertTrue(pinged, listener.messages)
        self.assertTrue(stopping, listener.messages)
        self.assertEqual(code, 0, out[-2000:])
        self.assertLess(listener.messages.index("READY=1"), listener.messages.index("STOPPING=1"))

    def test_quillon_not_ready_when_it_cannot_start(self):
        listener = NotifyListener(self.path("notify"))
        self.write("plain.conf", "media_type=local\n")
        proc = self.start([QUILLON_BIN, "--config", self.path("plain.conf"),
                           "--media-root", self.path("nowhere")],
                          self.env(NOTIFY_SOCKET=self.path("notify")))
        code = proc.wait(30)
        messages = listener.poll()
        listener.close()
        self.assertEqual(code, 255)
        self.assertNotIn("READY=1", messages)

    def test_agent_reports_ready_and_stopping(self):
        self.write("snmp/tandril-snmp-agent.conf",
                   "agentXSocket %s\n" % self.path("agentx", "master"))
        listener = NotifyListener(self.path("notify"))
        env = self.env(SNMPCONFPATH=self.path("snmp"), MIBS="", MIBDIRS=self.path("snmp"),
                       NOTIFY_SOCKET=self.path("notify"),
                       TANDRIL_SYSID_FILE=self.path("none"), TANDRIL_NETWORK_FILE=self.path("none"))
        proc = self.start([AGENT_BIN], env)
        ready = listener.wait_for("READY=1", 10)
        proc.send_signal(signal.SIGTERM)
        code = proc.wait(20)
        stopping = listener.wait_for("STOPPING=1", 2)
        listener.close()
        self.assertTrue(ready and stopping, (listener.messages, self.output()))
        self.assertEqual(code, 0)


class AgentCommandLine(Folder):
    def test_help_version_and_usage_errors(self):
        result = subprocess.run([AGENT_BIN, "--help"], capture_output=True, text=True, timeout=10)
        self.assertEqual(result.returncode, 0)
        for text in ("Usage: tandril-snmp-agent", "--sysid-file FILE", "--network-file FILE",
                     "--app-port PORT", "TANDRIL_APP_PORT", "--notifications yes|no"):
            self.assertIn(text, result.stdout)
        self.assertLessEqual(len(result.stdout.splitlines()), 24)  # one screen
        result = subprocess.run([AGENT_BIN, "--version"], capture_output=True, text=True,
                                timeout=10)
        self.assertEqual(result.returncode, 0)
        self.assertIn("tandril-snmp-agent 1.1", result.stdout)
        self.assertIn("net-snmp 5.", result.stdout)
        for args in (["--bogus"], ["--app-port", "0"], ["--app-port", "70000"],
                     ["--app-port", "port"], ["--sysid-file"], ["extra"],
                     ["--notifications", "maybe"], ["--notifications"]):
            with self.subTest(args):
                result = subprocess.run([AGENT_BIN] + args, capture_output=True, text=True,
                                        timeout=10)
                self.assertEqual(result.returncode, 64, result.stderr)
                self.assertIn("tandril-snmp-agent: ", result.stderr)

    def test_options_win_over_variables(self):
        # No master agent: the AgentX socket lies in the test folder and nobody listens.
        self.write("snmp/tandril-snmp-agent.conf",
                   "agentXSocket %s\n" % self.path("agentx", "master"))
        listeners = []
        for _ in range(2):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("127.0.0.1", 0))
            s.settimeout(0.2)
            listeners.append(s)
        env_port, option_port = (s.getsockname()[1] for s in listeners)
        self.write("SYS-ID", "10.0.0.200\n")
        env = self.env(SNMPCONFPATH=self.path("snmp"), TANDRIL_LOG_STDERR="1",
                       TANDRIL_APP_PORT=str(env_port), TANDRIL_SYSID_FILE=self.path("SYS-ID"),
                       MIBS="", MIBDIRS=self.path("snmp"))
        proc = self.start([AGENT_BIN, "--app-port", str(option_port),
                           "--sysid-file", self.path("missing-SYS-ID"),
                           "--network-file", self.path("missing-network")], env)
        received = {}

        def poll():
            for s in listeners:
                try:
                    data, _ = s.recvfrom(2048)
                    received.setdefault(s.getsockname()[1], []).append(data)
                except socket.timeout:
                    pass
            return option_port in received

        got = wait_until(poll, 10, step=0)
        proc.send_signal(signal.SIGTERM)
        code = proc.wait(20)
        for s in listeners:
            s.close()
        out = self.output()
        self.assertTrue(got, out)
        self.assertIn(b"get_status=2", received[option_port])
        self.assertNotIn(env_port, received)
        self.assertEqual(code, 0, out)
        self.assertIn("Missing SYS-ID", out)


if __name__ == "__main__":
    for name, value in (("QUILLON_BIN", QUILLON_BIN), ("AGENT_BIN", AGENT_BIN),
                        ("VCARD_ASOUND_CONF", ASOUND_CONF)):
        if not value:
            sys.exit("%s is not set" % name)
    unittest.main(verbosity=2)
