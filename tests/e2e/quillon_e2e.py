#!/usr/bin/env python3
"""End-to-end tests of the quillon program as a separate process.

Starts, per test: the quillon binary on the project's virtual sound card, with its
configuration, media root, status file and download path in a temporary folder; where a
stream is needed, the project's loopback HTTP test server and a real icecast2 fed by the
ffmpeg command line (all on 127.0.0.1 and free ports).

Environment (set by CTest): QUILLON_BIN, VCARD_ASOUND_CONF, HTTP_TEST_SERVER.
"""

import base64
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import urllib.request
import wave

QUILLON_BIN = os.environ.get("QUILLON_BIN", "")
ASOUND_CONF = os.environ.get("VCARD_ASOUND_CONF", "")
HTTP_SERVER = os.environ.get("HTTP_TEST_SERVER", "")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_rtp_port():
    """An even UDP port whose successor (RTCP) is free too."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port % 2:
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


def make_tone(path, freq, seconds=1.0, rate=44100, channels=2):
    expr = "0.5*sin(2*PI*%d*t)" % freq
    if channels == 2:
        expr = expr + "|" + expr
    subprocess.run(
        ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
         "-i", "aevalsrc=%s:s=%d:d=%s" % (expr, rate, seconds), "-ac", str(channels),
         "-c:a", "libmp3lame", "-b:a", "128k", "-id3v2_version", "0", "-write_xing", "0",
         "-f", "mp3", path],
        check=True)


def wait_until(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def tone_sequence(wav_path, window_s=0.05):
    """Dominant frequency of each window of channel 0, collapsed into runs.

    Returns a list of (frequency rounded to 10 Hz, seconds) for runs of sound; silence
    and the short transitions between tracks are left out."""
    with wave.open(wav_path, "rb") as w:
        rate, channels, width = w.getframerate(), w.getnchannels(), w.getsampwidth()
        data = w.readframes(w.getnframes())
    assert width == 2
    step = channels * 2
    samples = [int.from_bytes(data[i:i + 2], "little", signed=True)
               for i in range(0, len(data) - 1, step)]
    window = max(1, int(rate * window_s))
    runs = []
    for start in range(0, len(samples) - window + 1, window):
        chunk = samples[start:start + window]
        if max(abs(s) for s in chunk) < 1000:
            continue
        crossings = sum(1 for a, b in zip(chunk, chunk[1:]) if (a < 0) != (b < 0))
        freq = int(round(crossings * rate / (2.0 * window) / 10.0) * 10)
        if runs and abs(runs[-1][0] - freq) <= 30:
            runs[-1][1] += window_s
        else:
            runs.append([freq, window_s])
    return [(f, d) for f, d in runs if d >= 0.2]


class StatusPoller(threading.Thread):
    """Reads the status file as fast as it can and keeps every distinct content.

    A read that finds the file empty or not parseable is a torn write."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.seen = []
        self.torn = []
        self.reads = 0
        self.stop_flag = threading.Event()

    def run(self):
        while not self.stop_flag.is_set():
            try:
                with open(self.path, "rb") as f:
                    text = f.read().decode("utf-8", "replace")
            except FileNotFoundError:
                continue
            self.reads += 1
            try:
                value = json.loads(text)
                # The design's members, whatever was added beside them.
                if not {"m_player_state", "m_curr_song_name", "m_playlist_name", "error"} <= set(value):
                    raise ValueError("members")
            except ValueError:
                self.torn.append(text)
                continue
            if not self.seen or self.seen[-1] != value:
                self.seen.append(value)

    def stop(self):
        self.stop_flag.set()
        self.join()


class QuillonRun:
    """One quillon process in its own folder on the virtual sound card."""

    def __init__(self, folder, config_text, speed="4", extra_env=None):
        self.folder = folder
        self.card = os.path.join(folder, "card")
        os.makedirs(self.card, exist_ok=True)
        self.conf = os.path.join(folder, "quillon.conf")
        if config_text is not None:
            with open(self.conf, "w") as f:
                f.write(config_text)
        self.status = os.path.join(folder, "status")
        env = dict(os.environ)
        env.update({
            "QUILLON_CONF": self.conf,
            "QUILLON_MEDIA_ROOT": os.path.join(folder, "media") + "/",
            "QUILLON_STATUS_FILE": self.status,
            "QUILLON_URL_DOWNLOAD": os.path.join(folder, "url-download"),
            "ALSA_CONFIG_PATH": ASOUND_CONF,
            "VCARD_DIR": self.card,
            "VCARD_SPEED": speed,
        })
        env.update(extra_env or {})
        self.out_path = os.path.join(folder, "stdout.txt")
        self.out = open(self.out_path, "wb")
        self.proc = subprocess.Popen([QUILLON_BIN], env=env, stdout=self.out,
                                     stderr=subprocess.STDOUT, cwd=folder)

    def output(self):
        if not self.out.closed:
            self.out.flush()
        with open(self.out_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        finally:
            self.out.close()

    def interrupt(self, timeout=20):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        return self.wait(timeout)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if not self.out.closed:
            self.out.close()


class E2ETestCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-e2e-")
        self.runs = []

    def tearDown(self):
        for run in self.runs:
            run.kill()
        shutil.rmtree(self.folder, ignore_errors=True)

    def start(self, config_text, speed="4", sub=None, extra_env=None):
        folder = self.folder if sub is None else os.path.join(self.folder, sub)
        os.makedirs(folder, exist_ok=True)
        run = QuillonRun(folder, config_text, speed, extra_env)
        self.runs.append(run)
        return run


class PlaylistFolder(E2ETestCase):
    TONES = {"low.mp3": 440, "mid.mp3": 660, "high.mp3": 990}

    def make_media(self):
        media = os.path.join(self.folder, "media", "tracks")
        os.makedirs(media)
        for name, freq in self.TONES.items():
            make_tone(os.path.join(media, name), freq)
        return media

    def test_plays_folder_in_playlist_order_repeatedly_and_stops_on_sigint(self):
        media = self.make_media()
        config = "volume=70\nmedia_type=local\nmedia_folder=tracks\n"
        run = self.start(config)
        poller = StatusPoller(run.status)
        poller.start()
        wav = os.path.join(run.card, "channel1.wav")
        # Two passes of three one-second tracks at four times real time.
        played_twice = wait_until(
            lambda: os.path.exists(wav) and os.path.getsize(wav) > 44 + 44100 * 4 * 6.5, 30)
        status = run.interrupt()
        poller.stop()
        out = run.output()
        self.assertTrue(played_twice, out[-2000:])
        self.assertEqual(status, 2, out[-2000:])
        self.assertIn("Interrupt signal (2) received.", out)
        self.assertNotIn("main: Player Test: Deinitilaizing", out)
        self.assertIn("Starting Quillon v1.1 with player library version (", out)

        # The playlist lists the folder's files in directory listing order.
        with open(os.path.join(media, "p.m3u")) as f:
            listed = [line.strip() for line in f if line.strip()]
        in_listing = [n for n in os.listdir(media) if n.endswith(".mp3")]
        self.assertEqual(listed, in_listing)

        expected = [self.TONES[n] for n in listed]
        heard = [f for f, _ in tone_sequence(wav)]
        self.assertGreaterEqual(len(heard), 6, heard)
        for i, freq in enumerate(heard[:6]):
            self.assertAlmostEqual(freq, expected[i % 3], delta=25, msg=heard)

        # The status file followed the songs, and no reader ever saw it torn or empty.
        self.assertEqual(poller.torn, [])
        self.assertGreater(poller.reads, 100)
        songs = {v["m_curr_song_name"] for v in poller.seen if v["m_player_state"] == "1"}
        self.assertTrue(set(listed) <= songs, poller.seen)
        self.assertTrue(all(v["m_playlist_name"] == "p.m3u" for v in poller.seen if
                            v["m_playlist_name"]))

    def test_playlist_is_written_only_once(self):
        media = self.make_media()
        config = "volume=50\nmedia_type=local\nmedia_folder=tracks\n"
        first = self.start(config, sub="one")
        # Both runs share the media root of the test folder.
        os.rename(os.path.join(self.folder, "media"), os.path.join(self.folder, "one", "media"))
        media = os.path.join(self.folder, "one", "media", "tracks")
        playlist = os.path.join(media, "p.m3u")
        wait_until(lambda: os.path.exists(playlist) and os.path.getsize(playlist) > 0, 15)
        first.interrupt()
        before = os.stat(playlist)
        with open(playlist) as f:
            content = f.read()
        time.sleep(1.1)  # a rewrite would show in the modification time
        second = QuillonRun(os.path.join(self.folder, "one"), config)
        self.runs.append(second)
        wait_until(lambda: "Volume=" in second.output(), 15)
        time.sleep(0.5)
        second.interrupt()
        after = os.stat(playlist)
        self.assertEqual(before.st_mtime_ns, after.st_mtime_ns)
        with open(playlist) as f:
            self.assertEqual(f.read(), content)


class Configuration(E2ETestCase):
    def run_to_end(self, config_text, timeout=20):
        run = self.start(config_text)
        status = run.wait(timeout)
        return status, run.output()

    def test_configuration_failures_end_with_255_after_the_start_line(self):
        cases = {
            "missing file": None,
            "empty url": "media_type=stream\nurl=\n",
            "missing media folder": "media_type=local\nmedia_folder=nowhere\n",
        }
        for name, text in cases.items():
            with self.subTest(name):
                sub = tempfile.mkdtemp(dir=self.folder)
                run = QuillonRun(sub, text)
                self.runs.append(run)
                status = run.wait(20)
                out = run.output()
                self.assertEqual(status, 255, out)
                start = out.find("Starting Quillon v1.1")
                error = out.find("Error parsing config and setting player params.")
                self.assertGreaterEqual(start, 0, out)
                self.assertGreater(error, start, out)

    def test_odd_values_are_read_as_documented(self):
        media = os.path.join(self.folder, "media", "tracks")
        os.makedirs(media)
        make_tone(os.path.join(media, "a.mp3"), 440)
        run = self.start("volume=loud\nbuffer_ms=70000\nmedia_type=local\nmedia_folder=tracks\n")
        self.assertTrue(wait_until(lambda: "BUFFER SIZE=" in run.output(), 15), run.output())
        time.sleep(0.3)
        run.interrupt()
        out = run.output()
        self.assertIn("Volume=50\n", out)
        self.assertIn("BUFFER SIZE=65535\n", out)


class HttpTestServer:
    """The loopback test server; with tls=(cert, key) it speaks HTTPS, with port it takes
    that port instead of a free one, with log it appends every request there."""

    def __init__(self, folder, routes, log=None, tls=None, port=None):
        self.routes_path = os.path.join(folder, "routes.json")
        with open(self.routes_path, "w") as f:
            json.dump(routes, f)
        self.port_file = os.path.join(folder, "http.port")
        command = [sys.executable, HTTP_SERVER, "--routes", self.routes_path, "--port-file",
                   self.port_file]
        if log:
            command += ["--log", log]
        if tls:
            command += ["--tls-cert", tls[0], "--tls-key", tls[1]]
        if port:
            command += ["--port", str(port)]
        self.proc = subprocess.Popen(command, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        assert wait_until(lambda: self.read_port() is not None, 10)
        self.port = self.read_port()

    def read_port(self):
        try:
            with open(self.port_file) as f:
                text = f.read().strip()
        except FileNotFoundError:
            return None
        return int(text) if text else None

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


class Icecast:
    """A real icecast2 started as an unprivileged user, fed by the ffmpeg command line."""

    MOUNT = "/live.mp3"
    PASSWORD = "e2e-secret"

    def __init__(self, folder, media_file):
        self.dir = os.path.join(folder, "icecast")
        os.makedirs(os.path.join(self.dir, "log"))
        self.port = free_port()
        conf = os.path.join(self.dir, "icecast.xml")
        with open(conf, "w") as f:
            f.write(self.config())
        user = []
        if os.geteuid() == 0:
            # icecast refuses to run as root.
            nobody = pwd.getpwnam("nobody")
            for path in (folder, self.dir, os.path.join(self.dir, "log")):
                os.chmod(path, 0o777)
            os.chmod(conf, 0o644)
            user = ["runuser", "-u", nobody.pw_name, "--"]
        self.server = subprocess.Popen(user + ["icecast2", "-c", conf],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_until(self.listening, 10), "icecast2 did not start"
        url = "icecast://source:%s@127.0.0.1:%d%s" % (self.PASSWORD, self.port, self.MOUNT)
        self.source = subprocess.Popen(
            ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re",
             "-stream_loop", "-1", "-i", media_file, "-c:a", "copy",
             "-content_type", "audio/mpeg", "-f", "mp3", url],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_until(self.mounted, 10), "the ffmpeg source did not connect"

    def config(self):
        return """<icecast>
  <limits><clients>10</clients><sources>2</sources><burst-size>65536</burst-size></limits>
  <authentication>
    <source-password>{pw}</source-password>
    <admin-user>admin</admin-user><admin-password>{pw}</admin-password>
  </authentication>
  <hostname>127.0.0.1</hostname>
  <listen-socket><port>{port}</port><bind-address>127.0.0.1</bind-address></listen-socket>
  <mount><mount-name>{mount}</mount-name><icy-metadata-interval>8192</icy-metadata-interval></mount>
  <fileserve>0</fileserve>
  <paths><logdir>{dir}/log</logdir><pidfile>{dir}/icecast.pid</pidfile>
    <basedir>/usr/share/icecast2</basedir><webroot>/usr/share/icecast2/web</webroot>
    <adminroot>/usr/share/icecast2/admin</adminroot></paths>
  <logging><errorlog>error.log</errorlog><accesslog>access.log</accesslog><loglevel>2</loglevel></logging>
</icecast>
""".format(pw=self.PASSWORD, port=self.port, mount=self.MOUNT, dir=self.dir)

    def listening(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                return True
        except OSError:
            return False

    def admin(self, path):
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (self.port, path))
        token = base64.b64encode(("admin:" + self.PASSWORD).encode()).decode()
        request.add_header("Authorization", "Basic " + token)
        with urllib.request.urlopen(request, timeout=5) as response:
            return response.read().decode("utf-8", "replace")

    def mounted(self):
        try:
            return self.MOUNT in self.admin("/admin/listmounts")
        except OSError:
            return False

    def set_title(self, title):
        query = urllib.parse.urlencode({"mount": self.MOUNT, "mode": "updinfo", "song": title})
        self.admin("/admin/metadata?" + query)

    def url(self):
        return "http://127.0.0.1:%d%s" % (self.port, self.MOUNT)

    def stop(self):
        for proc in (self.source, self.server):
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()


class Streams(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        cls.shared = tempfile.mkdtemp(prefix="quillon-e2e-icecast-")
        media = os.path.join(cls.shared, "stream.mp3")
        make_tone(media, 550, seconds=3.0)
        cls.icecast = Icecast(cls.shared, media)
        cls.http = HttpTestServer(cls.shared, {
            "/radio.m3u": {"headers": {"Content-Type": "audio/x-mpegurl"},
                           "body": "#EXTM3U\n" + cls.icecast.url() + "\n"},
        })

    @classmethod
    def tearDownClass(cls):
        cls.http.stop()
        cls.icecast.stop()
        shutil.rmtree(cls.shared, ignore_errors=True)

    def follow_titles(self, url):
        run = self.start("volume=60\nmedia_type=Stream\nurl=%s\nbuffer_ms=500\n" % url,
                         speed="1")
        poller = StatusPoller(run.status)
        poller.start()
        try:
            playing = wait_until(lambda: any(v["m_player_state"] == "1" for v in poller.seen), 30)
            self.assertTrue(playing, run.output()[-3000:])
            for title in ('First "quoted" title', "Second title/2"):
                self.icecast.set_title(title)
                escaped = urllib.parse.quote(title, safe="-._~")
                seen = wait_until(lambda: any(v["m_curr_song_name"] == escaped
                                              for v in poller.seen), 20)
                self.assertTrue(seen, (escaped, poller.seen[-5:]))
        finally:
            run.interrupt()
            poller.stop()
        self.assertEqual(poller.torn, [])
        return poller

    def test_stream_titles_reach_the_status_file_escaped(self):
        poller = self.follow_titles(self.icecast.url())
        self.assertTrue(all(v["m_playlist_name"] == self.icecast.url() for v in poller.seen
                            if v["m_playlist_name"]))

    def test_titles_through_a_playlist_url(self):
        self.follow_titles("http://127.0.0.1:%d/radio.m3u" % self.http.port)

    def test_rtp_stream_plays_on_the_card(self):
        port = free_rtp_port()
        url = "rtp://127.0.0.1:%d" % port
        media = os.path.join(self.shared, "stream.mp3")
        sender = subprocess.Popen(
            ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re",
             "-stream_loop", "-1", "-i", media, "-c:a", "copy", "-f", "rtp", url],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            run = self.start("volume=60\nmedia_type=stream\nurl=%s\nbuffer_ms=500\n" % url,
                             speed="1")
            poller = StatusPoller(run.status)
            poller.start()
            wav = os.path.join(run.card, "channel1.wav")
            # Two seconds of sound at the device (48000 Hz stereo from the buffered output).
            heard = wait_until(lambda: os.path.exists(wav) and
                               os.path.getsize(wav) > 44 + 48000 * 4 * 2, 30)
            status = run.interrupt()
            poller.stop()
        finally:
            sender.terminate()
            sender.wait(10)
        self.assertTrue(heard, run.output()[-3000:])
        self.assertEqual(status, 2)
        self.assertTrue(any(v["m_player_state"] == "1" for v in poller.seen), poller.seen)
        tones = tone_sequence(wav)
        self.assertTrue(tones and all(abs(f - 550) <= 25 for f, _ in tones), tones)

    def test_failure_stands_with_its_reason_until_audio_plays(self):
        # Nothing listens yet: while the player retries, every status line names the error
        # and its cause, the state changes between the attempts included.
        port = free_port()
        url = "http://127.0.0.1:%d/live.mp3" % port
        reason = "connection refused by 127.0.0.1:%d" % port
        run = self.start("media_type=stream\nurl=%s\n" % url, speed="1")
        poller = StatusPoller(run.status)
        poller.start()
        server = None
        try:
            retried = wait_until(lambda: sum(v["m_player_state"] == "6" for v in poller.seen) >= 2, 30)
            self.assertTrue(retried, (poller.seen, run.output()[-3000:]))
            failing = poller.seen[next(i for i, v in enumerate(poller.seen) if v["error"] != "no error"):]
            self.assertTrue(all(v["error"] == "-1002" and v["reason"] == reason for v in failing),
                            failing)
            self.assertIn("Reason: " + reason + "\n", run.output())
            # The server comes: once audio plays, both clear.
            media = os.path.join(self.folder, "live.mp3")
            make_tone(media, 550, seconds=2.0)
            server = HttpTestServer(self.folder, {"/live.mp3": {
                "headers": {"Content-Type": "audio/mpeg"}, "file": media, "loop": True,
                "rate": 16000}}, port=port)
            playing = wait_until(lambda: poller.seen[-1]["m_player_state"] == "1", 30)
            self.assertTrue(playing, poller.seen[-5:])
            self.assertEqual((poller.seen[-1]["error"], poller.seen[-1]["reason"]), ("no error", ""))
        finally:
            run.interrupt()
            poller.stop()
            if server:
                server.stop()
        self.assertEqual(poller.torn, [])


class WebServerFile(E2ETestCase):
    """A plain MP3 file on an ordinary web server, which sends it faster than real time."""

    TONES = [int(round(300 * 1.15 ** k)) for k in range(12)]

    def test_file_plays_whole_and_in_order_then_repeats(self):
        www = os.path.join(self.folder, "www")
        os.makedirs(www)
        # Twelve one-second tones: longer than the player's nine-second ring.
        subprocess.run(
            ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
             "-i", "aevalsrc=0.5*sin(2*PI*t*300*exp(0.139762*floor(t))):s=44100:d=12",
             "-ac", "2", "-c:a", "libmp3lame", "-b:a", "128k", "-id3v2_version", "0",
             "-f", "mp3", os.path.join(www, "tones.mp3")],
            check=True)
        port = free_port()
        access = open(os.path.join(self.folder, "access.log"), "wb")
        server = subprocess.Popen(
            [sys.executable, "-m", "http.server", str(port), "--bind", "127.0.0.1",
             "--directory", www], stdout=access, stderr=subprocess.STDOUT)
        try:
            self.assertTrue(wait_until(lambda: self.port_open(port), 10))
            os.environ["QUILLON_LOG_STDERR"] = "1"
            try:
                run = self.start("volume=70\nmedia_type=stream\nurl=http://127.0.0.1:%d/tones.mp3\n"
                                 % port, speed="8")
            finally:
                del os.environ["QUILLON_LOG_STDERR"]
            wav = os.path.join(run.card, "channel1.wav")
            # The configured item repeats without end: wait for the second pass.
            second_pass = wait_until(
                lambda: os.path.exists(wav) and os.path.getsize(wav) > 44 + 48000 * 4 * 14, 40)
            status = run.interrupt()
        finally:
            server.terminate()
            server.wait(10)
            access.close()
        out = run.output()
        self.assertTrue(second_pass, out[-3000:])
        self.assertEqual(status, 2, out[-3000:])
        self.assertEqual(out.count("Audio buffer full"), 0)
        with open(os.path.join(self.folder, "access.log"), "rb") as f:
            requests = f.read().decode("utf-8", "replace").count("GET /tones.mp3")
        # Two passes, each a playlist probe and the stream itself; not a reconnect loop.
        self.assertLessEqual(requests, 6, out[-3000:])
        heard = [f for f, _ in tone_sequence(wav)]
        self.assertGreaterEqual(len(heard), 13, heard)
        for i, freq in enumerate(heard[:13]):
            expected = self.TONES[i % 12]
            self.assertAlmostEqual(freq, expected, delta=expected * 0.06, msg=heard)

    @staticmethod
    def port_open(port):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            return s.connect_ex(("127.0.0.1", port)) == 0


if __name__ == "__main__":
    for name, value in (("QUILLON_BIN", QUILLON_BIN), ("VCARD_ASOUND_CONF", ASOUND_CONF),
                        ("HTTP_TEST_SERVER", HTTP_SERVER)):
        if not value:
            sys.exit("%s is not set" % name)
    unittest.main(verbosity=2)
