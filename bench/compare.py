#!/usr/bin/env python3
"""quillon side by side with the mpg123 and ffmpeg command lines, on the virtual card.

Usage: python3 bench/compare.py [--build build/normal] [--runs 3] [--skip-cpu] [--cpu-only]

Every player runs as a whole process, as a new user would start it, playing the same
media to PCM "channel1" of the project's virtual sound card (real-time clock):

- time to first audio: from starting the process to the first non-silent frame at the
  card (the card's "start" event plus the frame's place in its recording), for a local
  MP3 file and for HTTP streams (MP3 128 kbit/s and ADTS AAC) whose server sends at the
  audio's own pace from its first byte, no initial burst, and an RTP stream (MP3, sent
  by the ffmpeg command line at its pace);
- peak resident memory (VmHWM of the process) while it plays the file
  and the MP3 stream, next to the floor: a program that only loads the engine's library
  with every library the player links, and ends; and 1 and 4 players in one process
  (bench/players_rss), with the private (anonymous) part of their memory;
- CPU seconds per hour of audio for ten-minute files on an unpaced card: MP3 (against
  mpg123 and ffmpeg), Ogg/Opus, Ogg/Vorbis and FLAC (against ffmpeg), with the ratios taken
  run by run (quillon against the other player in the same round) and summarised;
- bench/source_bench on the ten-minute MP3 and ADTS AAC files: the player's source and
  decoder chain against a bare libavformat + mpg123 / fdk-aac loop, in the same process;
- switch latency (quillon only: the command lines have no items): bench/engine_bench,
  from the call to the moment the old audio stops at the card.

Figures are medians over --runs runs with the spread (min..max). The machine is shared
and the figures are noisy: the ratios are what count. Needs ffmpeg and mpg123
(scripts/setup.sh installs them) and a build with the quillon program.
"""

import argparse
import json
import os
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
from quillon_e2e import free_rtp_port  # noqa: E402  (an even RTP port with a free RTCP port)
HTTP_SERVER = os.path.join(REPO, "tests", "support", "http", "test_http_server.py")
SILENCE = 64        # a sample above this (of 32767) is audio
PCM = "channel1"


# ---------------------------------------------------------------------------------------
# The virtual card: event log and recording

def read_events(card):
    events = []
    try:
        with open(os.path.join(card, "events.log")) as f:
            for line in f:
                parts = line.split()
                if len(parts) < 4 or parts[2] != PCM:
                    continue
                fields = dict(p.split("=", 1) for p in parts[4:] if "=" in p)
                events.append((float(parts[0]), parts[3], fields))
    except OSError:
        pass
    return events


def read_recording(card):
    """(rate, channels, samples as bytes) of what the card played so far, or None."""
    try:
        with open(os.path.join(card, PCM + ".wav"), "rb") as f:
            data = f.read()
    except OSError:
        return None
    if len(data) < 44 or data[:4] != b"RIFF":
        return None
    channels, rate = struct.unpack_from("<HI", data, 22)
    at = data.find(b"data", 12)
    if at < 0:
        return None
    samples = data[at + 8:]
    return rate, channels, samples[: len(samples) - len(samples) % (2 * channels)]


def first_audible_frame(recording):
    rate, channels, samples = recording
    count = len(samples) // 2
    values = struct.unpack("<%dh" % count, samples)
    for i, v in enumerate(values):
        if v > SILENCE or v < -SILENCE:
            return i // channels
    return None


def first_audio_time(card):
    """CLOCK_MONOTONIC time at which the first audible frame played, or None."""
    starts = [e for e in read_events(card) if e[1] == "start"]
    recording = read_recording(card)
    if not starts or recording is None:
        return None
    frame = first_audible_frame(recording)
    if frame is None:
        return None
    return starts[0][0] + frame / recording[0]


# ---------------------------------------------------------------------------------------
# Processes

class Run:
    """One player process on a fresh card folder; ends it and collects its resources."""

    def __init__(self, args, folder, asound, speed="1", extra_env=None):
        self.card = os.path.join(folder, "card")
        os.makedirs(self.card, exist_ok=True)
        env = dict(os.environ)
        env.update({"ALSA_CONFIG_PATH": asound, "VCARD_DIR": self.card, "VCARD_SPEED": speed})
        env.update(extra_env or {})
        self.log = open(os.path.join(folder, "output.txt"), "wb")
        self.started = time.monotonic()
        self.proc = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT, cwd=folder)
        self.rusage = None

    def running(self):
        return self.proc.poll() is None

    def peak_kb(self):
        """The process's peak resident size (VmHWM; starts anew at exec, unlike the
        rusage figure, which a child inherits from the forked parent)."""
        try:
            with open("/proc/%d/status" % self.proc.pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        return int(line.split()[1])
        except OSError:
            pass
        return None

    def wait_first_audio(self, limit):
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            t = first_audio_time(self.card)
            if t is not None:
                return t - self.started
            if not self.running() and first_audio_time(self.card) is None:
                return None
            time.sleep(0.02)
        return None

    def finish(self, sig=signal.SIGINT, limit=10.0):
        """Ends the process (unless it ended) and returns its rusage."""
        if self.proc.returncode is None:
            if self.proc.poll() is None:
                self.proc.send_signal(sig)
            deadline = time.monotonic() + limit
            while time.monotonic() < deadline:
                pid, status, usage = os.wait4(self.proc.pid, os.WNOHANG)
                if pid:
                    self.rusage = usage
                    self.proc.returncode = status
                    break
                time.sleep(0.02)
            else:
                self.proc.kill()
                _, status, self.rusage = os.wait4(self.proc.pid, 0)
                self.proc.returncode = status
        self.log.close()
        return self.rusage


def wait_end(run, limit):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        pid, status, usage = os.wait4(run.proc.pid, os.WNOHANG)
        if pid:
            run.proc.returncode = status
            run.rusage = usage
            run.log.close()
            return True
        time.sleep(0.05)
    return False


def rtp_sender(path, url):
    """The ffmpeg command line sending an MP3 file in a loop, at its pace, over RTP."""
    return subprocess.Popen(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re",
                             "-stream_loop", "-1", "-i", path, "-c:a", "copy", "-f", "rtp", url],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class HttpServer:
    def __init__(self, folder, routes):
        path = os.path.join(folder, "routes.json")
        with open(path, "w") as f:
            json.dump(routes, f)
        self.proc = subprocess.Popen([sys.executable, HTTP_SERVER, "--routes", path, "--watch-stdin"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("PORT "):
            raise RuntimeError("the HTTP test server did not start")
        self.port = int(line.split()[1])

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def stop(self):
        # End of its standard input stops the server (--watch-stdin).
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.terminate()
            self.proc.wait()


# ---------------------------------------------------------------------------------------
# Players

def quillon_args(build, folder, config, media_root):
    conf = os.path.join(folder, "quillon.conf")
    with open(conf, "w") as f:
        f.write(config)
    return [os.path.join(build, "app", "quillon"), "--config", conf, "--media-root", media_root,
            "--status-file", os.path.join(folder, "status")], {
                "QUILLON_URL_DOWNLOAD": os.path.join(folder, "url-download")}


def player_command(name, build, folder, media, what):
    """(args, extra environment) of a player for a file path or a URL."""
    if name == "quillon":
        if "://" in what:
            config = "volume=50\nbuffer_ms=500\nmedia_type=stream\nurl=%s\n" % what
            return quillon_args(build, folder, config, folder + "/")
        root = os.path.join(folder, "root")
        tracks = os.path.join(root, "tracks")
        os.makedirs(tracks, exist_ok=True)
        os.symlink(what, os.path.join(tracks, os.path.basename(what)))
        config = ("volume=50\nbuffer_ms=500\nmedia_type=local\nmedia_folder=tracks\n"
                  "media_extensions=mp3,aac,opus,ogg,flac\n")
        return quillon_args(build, folder, config, root + "/")
    if name == "mpg123":
        if what.startswith("rtp://") or what.endswith(".aac"):
            return None, None  # neither RTP nor AAC
        return ["mpg123", "-q", "-o", "alsa", "-a", PCM, what], {}
    return ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-i", what, "-f", "alsa", PCM], {}


PLAYERS = ("quillon", "mpg123", "ffmpeg")


# ---------------------------------------------------------------------------------------
# Measurements

def start_and_memory(name, build, asound, what, play_after=3.0, limit=20.0):
    """(seconds to first audio, peak RSS in KiB) of one run."""
    folder = tempfile.mkdtemp(prefix="compare-")
    try:
        args, env = player_command(name, build, folder, None, what)
        if args is None:
            return None, None
        run = Run(args, folder, asound, extra_env=env)
        first = run.wait_first_audio(limit)
        if first is not None:
            time.sleep(play_after)
        peak = run.peak_kb()
        run.finish()
        return first, peak
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def cpu_per_hour(name, build, asound, path, seconds, limit=300.0, rate=44100):
    """CPU seconds (user + system) per hour of audio played, unpaced card; the file lasts
    the given seconds at the given rate, stereo."""
    folder = tempfile.mkdtemp(prefix="compare-")
    try:
        args, env = player_command(name, build, folder, None, path)
        run = Run(args, folder, asound, speed="unpaced", extra_env=env)
        if name == "quillon":
            # The program repeats its media folder without end: stop it once the card has
            # played the file through once.
            wav = os.path.join(run.card, PCM + ".wav")
            deadline = time.monotonic() + limit
            while time.monotonic() < deadline and run.running():
                try:
                    if os.path.getsize(wav) - 44 >= seconds * rate * 4:
                        break
                except OSError:
                    pass
                time.sleep(0.01)
            usage = run.finish()
        else:
            if not wait_end(run, limit):
                run.finish(signal.SIGKILL)
            usage = run.rusage
        # From the file size: reading a long recording would grow this script, and with it
        # nothing measured here, but keep it small anyway.
        try:
            with open(os.path.join(run.card, PCM + ".wav"), "rb") as f:
                header = f.read(44)
            channels, rate = struct.unpack_from("<HI", header, 22)
            seconds = (os.path.getsize(os.path.join(run.card, PCM + ".wav")) - 44) / (2 * channels) / rate
        except (OSError, struct.error):
            return None
        if not usage or seconds <= 0:
            return None
        return (usage.ru_utime + usage.ru_stime) / seconds * 3600.0
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def players_in_one_process(build, asound, path, count):
    """(peak RSS, private RSS) in KiB of bench/players_rss with count players on a file."""
    folder = tempfile.mkdtemp(prefix="compare-")
    try:
        card = os.path.join(folder, "card")
        env = dict(os.environ, ALSA_CONFIG_PATH=asound, VCARD_DIR=card, VCARD_SPEED="1")
        out = subprocess.run([os.path.join(build, "bench", "players_rss"), os.path.dirname(path),
                              os.path.basename(path), str(count), "4"],
                             env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
        for line in out.splitlines():
            if "playing" in line:
                words = line.replace("(", " ").replace(")", " ").replace(",", " ").split()
                return int(words[words.index("peak") + 1]), int(words[words.index("private") + 1])
        return None, None
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def floor_rss(build):
    out = subprocess.run([os.path.join(build, "bench", "rss_floor")], stdout=subprocess.PIPE, text=True).stdout
    return int(out.split()[0]) if out.strip() else None


# ---------------------------------------------------------------------------------------
# Output

def summary(values, scale=1.0, digits=2):
    values = [v * scale for v in values if v is not None]
    if not values:
        return "n/a"
    fmt = "%%.%df" % digits
    median = fmt % statistics.median(values)
    if len(values) == 1:
        return median
    return "%s (%s..%s)" % (median, fmt % min(values), fmt % max(values))


def print_row(label, cells):
    print("| %s | %s |" % (label, " | ".join(cells)))


def make_media(folder):
    def tone(path, seconds, codec):
        subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
                        "-i", "aevalsrc=0.4*sin(2*PI*440*t)+0.1*sin(2*PI*3000*t)|0.4*sin(2*PI*660*t)"
                        ":s=44100:d=%d" % seconds] + codec + [path], check=True)
    mp3 = ["-c:a", "libmp3lame", "-b:a", "128k", "-write_xing", "0", "-id3v2_version", "0", "-f", "mp3"]
    media = {
        "file": os.path.join(folder, "track.mp3"),
        "stream_mp3": os.path.join(folder, "stream.mp3"),
        "stream_aac": os.path.join(folder, "stream.aac"),
        "long": os.path.join(folder, "long.mp3"),
    }
    tone(media["file"], 30, mp3)
    tone(media["stream_mp3"], 60, mp3)
    tone(media["stream_aac"], 60, ["-c:a", "aac", "-b:a", "128k", "-f", "adts"])
    tone(media["long"], 600, mp3)
    for key, codec in CODEC_MEDIA.items():
        media[key] = os.path.join(folder, "long." + codec[0])
        tone(media[key], 600, codec[1])
    media["long_aac"] = os.path.join(folder, "long.aac")
    tone(media["long_aac"], 600, ["-c:a", "aac", "-b:a", "128k", "-f", "adts"])
    return media


# Ten-minute files of the libavcodec decoder's codecs: (extension, ffmpeg arguments, rate).
CODEC_MEDIA = {
    "long_opus": ("opus", ["-c:a", "libopus", "-b:a", "96k", "-ar", "48000", "-f", "ogg"], 48000),
    "long_vorbis": ("ogg", ["-c:a", "libvorbis", "-q:a", "4", "-f", "ogg"], 44100),
    "long_flac": ("flac", ["-c:a", "flac", "-sample_fmt", "s16", "-f", "flac"], 44100),
}
CPU_CASES = (("long", "ten-minute MP3", ("mpg123", "ffmpeg")),
             ("long_opus", "ten-minute Ogg/Opus 96 kbit/s", ("ffmpeg",)),
             ("long_vorbis", "ten-minute Ogg/Vorbis q4", ("ffmpeg",)),
             ("long_flac", "ten-minute FLAC 16-bit", ("ffmpeg",)))


def cpu_round(build, asound, media, results):
    """One round of the CPU cases: each player on each file, one after the other."""
    for key, _, others in CPU_CASES:
        rate = CODEC_MEDIA[key][2] if key in CODEC_MEDIA else 44100
        for name in ("quillon",) + others:
            results.setdefault(("cpu", key, name), []).append(
                cpu_per_hour(name, build, asound, media[key], 600, rate=rate))


def print_cpu(results):
    players = ("quillon", "mpg123", "ffmpeg")
    for key, label, others in CPU_CASES:
        print_row("CPU, %s, unpaced card [s per audio hour]" % label,
                  [summary(results[("cpu", key, n)], 1.0, 2) if n == "quillon" or n in others else "–"
                   for n in players])
    print()
    print("CPU ratios, taken run by run (quillon / the other player in the same round): median (min..max)")
    for key, label, others in CPU_CASES:
        q = results[("cpu", key, "quillon")]
        for other in others:
            ratios = [a / b for a, b in zip(q, results[("cpu", key, other)]) if a and b]
            print("  %s: quillon / %s %s" % (label, other, summary(ratios, 1.0, 2)))


def source_bench(build, media, rounds):
    """bench/source_bench's line for each ten-minute MP3 and AAC file."""
    bench = os.path.join(build, "bench", "source_bench")
    if not os.path.exists(bench):
        return []
    lines = []
    for key in ("long", "long_aac"):
        out = subprocess.run([bench, media[key], str(max(3, rounds))], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True).stdout.strip()
        lines.append(out.replace(media[key], os.path.basename(media[key])))
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(REPO, "build", "normal"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--skip-cpu", action="store_true", help="leave out the ten-minute CPU runs")
    parser.add_argument("--cpu-only", action="store_true", help="only the CPU runs and source_bench")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    asound = os.path.join(build, "vcard", "asound.conf")
    for tool in ("mpg123", "ffmpeg"):
        if not shutil.which(tool):
            sys.exit("compare.py: %s is missing (bash scripts/setup.sh installs it)" % tool)
    for path in (os.path.join(build, "app", "quillon"), asound, os.path.join(build, "bench", "rss_floor"),
                 os.path.join(build, "bench", "players_rss")):
        if not os.path.exists(path):
            sys.exit("compare.py: %s is missing: build first (cmake --build %s)" % (path, build))

    work = tempfile.mkdtemp(prefix="compare-media-")
    if args.cpu_only:
        try:
            media = make_media(work)
            results = {}
            for run in range(args.runs):
                cpu_round(build, asound, media, results)
                print("run %d of %d done" % (run + 1, args.runs), file=sys.stderr)
            lines = source_bench(build, media, args.runs)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        print()
        print("quillon against the mpg123 and ffmpeg command lines on the virtual card, CPU only "
              "(%d runs each: median (min..max))" % args.runs)
        print()
        print_row("what", ["quillon", "mpg123", "ffmpeg"])
        print_row("---", ["---"] * 3)
        print_cpu(results)
        print()
        print("\n".join(lines))
        return 0
    try:
        media = make_media(work)
        # 128 kbit/s is 16000 bytes per second; ADTS at 128 kbit/s about the same.
        server = HttpServer(work, {
            "/live.mp3": {"file": media["stream_mp3"], "loop": True, "rate": 16000,
                          "headers": {"Content-Type": "audio/mpeg"}},
            "/live.aac": {"file": media["stream_aac"], "loop": True, "rate": 16000,
                          "headers": {"Content-Type": "audio/aac"}},
        })
        rtp_url = "rtp://127.0.0.1:%d" % free_rtp_port()
        sender = rtp_sender(media["stream_mp3"], rtp_url)
        try:
            results = {}
            cases = (("file", media["file"]), ("http_mp3", server.url("/live.mp3")),
                     ("http_aac", server.url("/live.aac")), ("rtp_mp3", rtp_url))
            for run in range(args.runs):
                for case, what in cases:
                    for name in PLAYERS:
                        first, rss = start_and_memory(name, build, asound, what)
                        results.setdefault((case, name, "first"), []).append(first)
                        results.setdefault((case, name, "rss"), []).append(rss)
                for count in (1, 4):
                    peak, private = players_in_one_process(build, asound, media["file"], count)
                    results.setdefault(("players", count, "peak"), []).append(peak)
                    results.setdefault(("players", count, "private"), []).append(private)
                if not args.skip_cpu:
                    cpu_round(build, asound, media, results)
                print("run %d of %d done" % (run + 1, args.runs), file=sys.stderr)
        finally:
            sender.terminate()
            sender.wait()
            server.stop()
        floors = [floor_rss(build) for _ in range(args.runs)]
        bench_lines = [] if args.skip_cpu else source_bench(build, media, args.runs)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print()
    print("quillon against the mpg123 and ffmpeg command lines on the virtual card "
          "(%d runs each: median (min..max))" % args.runs)
    print("quillon's own settings: buffer_ms=500 (RTP), HTTP buffer 5000 ms (tcp_delay_ms of the program)")
    print()
    print_row("what", list(PLAYERS))
    print_row("---", ["---"] * len(PLAYERS))
    labels = {"file": "local MP3 file", "http_mp3": "HTTP MP3 stream, paced",
              "http_aac": "HTTP ADTS AAC stream, paced", "rtp_mp3": "RTP MP3 stream"}
    for case in ("file", "http_mp3", "http_aac", "rtp_mp3"):
        print_row("first audio, %s [s]" % labels[case],
                  [summary(results[(case, n, "first")], 1.0, 3) for n in PLAYERS])
    for case in ("file", "http_mp3"):
        print_row("peak RSS, %s [MiB]" % labels[case],
                  [summary(results[(case, n, "rss")], 1 / 1024.0, 1) for n in PLAYERS])
    print_row("peak RSS floor: the libraries alone (bench/rss_floor) [MiB]",
              [summary(floors, 1 / 1024.0, 1), "", ""])
    for count in (1, 4):
        print_row("%d player%s in one process (bench/players_rss), local file: peak RSS / private part [MiB]"
                  % (count, "s" if count > 1 else ""),
                  ["%s / %s" % (summary(results[("players", count, "peak")], 1 / 1024.0, 1),
                                summary(results[("players", count, "private")], 1 / 1024.0, 1)), "", ""])
    if not args.skip_cpu:
        print_cpu(results)
        print()
        print("\n".join(bench_lines))
    engine_bench = os.path.join(build, "bench", "engine_bench")
    if os.path.exists(engine_bench):
        print()
        print("Switch latency (quillon's engine, bench/engine_bench):")
        sys.stdout.flush()
        subprocess.run([engine_bench], check=False, stderr=subprocess.DEVNULL)
    return 0


if __name__ == "__main__":
    sys.exit(main())
