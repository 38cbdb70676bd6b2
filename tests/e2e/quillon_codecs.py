#!/usr/bin/env python3
"""End-to-end tests of the codecs beyond MP3 and AAC, with the quillon program as a
separate process on the project's virtual sound card.

Starts, per test: quillon in a temporary folder (helpers of quillon_e2e.py) and, for
streams, the loopback HTTP test server sending a file made by the ffmpeg command line at
its own pace. Cases: Ogg/Opus and Ogg/Vorbis radio whose chained parts carry titles,
FLAC and M4A files of a folder chosen by media_extensions, and a WMA stream that no
decoder takes.

Environment (set by CTest): QUILLON_BIN, VCARD_ASOUND_CONF, HTTP_TEST_SERVER.
"""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quillon_e2e as e2e  # noqa: E402


def ffmpeg_tone(path, freq, seconds, rate, codec_args, title=None):
    expr = "0.5*sin(2*PI*%d*t)" % freq
    meta = ["-metadata", "title=" + title] if title else []
    subprocess.run(
        ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
         "-i", "aevalsrc=%s|%s:s=%d:d=%s" % (expr, expr, rate, seconds), "-ac", "2"] +
        codec_args + meta + [path], check=True)


def chained_ogg(folder, name, codec_args, rate, parts):
    """One Ogg file of chained parts [(frequency, title), ...], two seconds each, as an
    Ogg radio sends them: each part starts with its own headers and comments."""
    data = b""
    for i, (freq, title) in enumerate(parts):
        part = os.path.join(folder, "%s.part%d.ogg" % (name, i))
        ffmpeg_tone(part, freq, 2.0, rate, codec_args + ["-f", "ogg"], title)
        with open(part, "rb") as f:
            data += f.read()
        os.remove(part)
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(data)
    return path, len(data) / (2.0 * len(parts))


class OggRadio(e2e.E2ETestCase):
    PARTS = [(440, "Ogg first song"), (880, "Ogg second song")]

    def play_radio(self, name, codec_args, rate):
        path, bytes_per_s = chained_ogg(self.folder, name, codec_args, rate, self.PARTS)
        server = e2e.HttpTestServer(self.folder, {"/radio.ogg": {
            "headers": {"Content-Type": "audio/ogg"}, "file": path, "loop": True,
            "rate": int(bytes_per_s)}})
        self.addCleanup(server.stop)
        url = "http://127.0.0.1:%d/radio.ogg" % server.port
        run = self.start("volume=60\nmedia_type=stream\nurl=%s\nbuffer_ms=500\n" % url, speed="1")
        poller = e2e.StatusPoller(run.status)
        poller.start()
        wav = os.path.join(run.card, "channel1.wav")
        try:
            titles = [e2e.urllib.parse.quote(t, safe="-._~") for _, t in self.PARTS]
            both = e2e.wait_until(lambda: all(any(v["m_curr_song_name"] == t and
                                                  v["m_player_state"] == "1"
                                                  for v in poller.seen) for t in titles), 30)
            # Five seconds at the device: both parts have played (48000 Hz stereo).
            heard = e2e.wait_until(lambda: os.path.exists(wav) and
                                   os.path.getsize(wav) > 44 + 48000 * 4 * 5, 30)
            status = run.interrupt()
        finally:
            poller.stop()
        out = run.output()
        self.assertTrue(both, (poller.seen[-6:], out[-3000:]))
        self.assertTrue(heard, out[-3000:])
        self.assertEqual(status, 2, out[-3000:])
        self.assertEqual(poller.torn, [])
        tones = {f for f, d in e2e.tone_sequence(wav) if d >= 0.5}
        for freq, _ in self.PARTS:
            self.assertTrue(any(abs(f - freq) <= 25 for f in tones), (freq, tones))
        self.assertTrue(all(any(abs(f - p) <= 25 for p, _ in self.PARTS) for f in tones), tones)

    def test_ogg_opus_radio_plays_with_its_in_stream_titles(self):
        self.play_radio("radio.opus.ogg", ["-c:a", "libopus", "-b:a", "96k"], 48000)

    def test_ogg_vorbis_radio_plays_with_its_in_stream_titles(self):
        self.play_radio("radio.vorbis.ogg", ["-c:a", "libvorbis", "-q:a", "4"], 44100)


class MediaExtensions(e2e.E2ETestCase):
    def test_flac_and_m4a_files_of_a_folder_play(self):
        media = os.path.join(self.folder, "media", "tracks")
        os.makedirs(media)
        ffmpeg_tone(os.path.join(media, "low.FLAC"), 440, 1.0, 44100,
                    ["-c:a", "flac", "-f", "flac"])
        ffmpeg_tone(os.path.join(media, "high.m4a"), 990, 1.0, 44100,
                    ["-c:a", "aac", "-b:a", "128k", "-f", "ipod"])
        ffmpeg_tone(os.path.join(media, "other.wma"), 660, 1.0, 44100,
                    ["-c:a", "wmav2", "-f", "asf"])
        run = self.start("volume=70\nmedia_type=local\nmedia_folder=tracks\n"
                         "media_extensions=mp3, flac,M4A\n")
        wav = os.path.join(run.card, "channel1.wav")
        # Two passes of two one-second tracks at four times real time.
        played = e2e.wait_until(
            lambda: os.path.exists(wav) and os.path.getsize(wav) > 44 + 44100 * 4 * 3.5, 30)
        status = run.interrupt()
        out = run.output()
        self.assertTrue(played, out[-3000:])
        self.assertEqual(status, 2, out[-3000:])
        with open(os.path.join(media, "p.m3u")) as f:
            listed = sorted(line.strip() for line in f if line.strip())
        self.assertEqual(listed, ["high.m4a", "low.FLAC"])
        heard = [f for f, _ in e2e.tone_sequence(wav)]
        self.assertGreaterEqual(len(heard), 3, heard)
        self.assertTrue(all(abs(f - 440) <= 25 or abs(f - 990) <= 25 for f in heard), heard)
        self.assertTrue(any(abs(f - 440) <= 25 for f in heard), heard)
        self.assertTrue(any(abs(f - 990) <= 25 for f in heard), heard)


class UndecodableStream(e2e.E2ETestCase):
    def test_wma_stream_is_named_and_retried_ever_more_slowly(self):
        wma = os.path.join(self.folder, "radio.wma")
        ffmpeg_tone(wma, 440, 4.0, 44100, ["-c:a", "wmav2", "-b:a", "128k", "-f", "asf"])
        log = os.path.join(self.folder, "requests.log")
        server = e2e.HttpTestServer(self.folder, {"/radio.wma": {
            "headers": {"Content-Type": "audio/x-ms-wma"}, "file": wma, "loop": True,
            "rate": 16000}}, log=log)
        self.addCleanup(server.stop)
        url = "http://127.0.0.1:%d/radio.wma" % server.port
        os.environ["QUILLON_LOG_STDERR"] = "1"
        try:
            run = self.start("media_type=stream\nurl=%s\n" % url, speed="1")
        finally:
            del os.environ["QUILLON_LOG_STDERR"]
        refusal = "No decoder for the codec wmav2 (Windows Media Audio 2) of " + url
        refused = e2e.wait_until(lambda: refusal in run.output(), 20)
        # Refusals at about 0, 3 and 8 s after the first, the next at 17 s: at most three
        # opens in the 12 s after it (a retry every second or two would be six or more).
        time.sleep(12.0)
        status = run.interrupt()
        out = run.output()
        self.assertTrue(refused, out[-3000:])
        self.assertEqual(status, 2, out[-3000:])
        with open(log) as f:
            # Each open is a playlist probe and the stream's own request.
            requests = sum(1 for line in f if line.startswith("GET /radio.wma"))
        self.assertGreaterEqual(requests, 4, out[-3000:])
        self.assertLessEqual(requests, 8, out[-3000:])
        self.assertIn("next attempt in 4 s", out)
        self.assertIn("error code (-1002)", out)
        self.assertNotIn("New state is 1,", out)


if __name__ == "__main__":
    for name, value in (("QUILLON_BIN", e2e.QUILLON_BIN), ("VCARD_ASOUND_CONF", e2e.ASOUND_CONF),
                        ("HTTP_TEST_SERVER", e2e.HTTP_SERVER)):
        if not value:
            sys.exit("%s is not set" % name)
    unittest.main(verbosity=2)
