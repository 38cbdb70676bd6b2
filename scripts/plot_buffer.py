#!/usr/bin/python3
"""Draws how a stream's buffer behaves as a PNG picture.

Three sources:

  plot_buffer.py drift LOG -o drift.png
      the level lines of the drift test's output
      ("drift,<ppm>,<seconds>,<level ms>,<filtered ms>[,<duplicated>,<dropped>,<under-runs>]"),
      one panel per clock offset;
  plot_buffer.py sample HEALTH_FILE --seconds 120 --log samples.jsonl -o live.png
      reads a playing player's health file (for example /var/run/quillon.health) once a
      second for the given time, keeps every reading in the log, then draws it;
  plot_buffer.py health samples.jsonl -o live.png
      draws readings kept earlier (one health line per line).

Every picture shows the buffer level, the target and the accuracy band around it
(--accuracy, 50 ms unless given; the drift test uses --target 500 as it plays), and
below it the frames the level control duplicated and dropped and every under-run.
"""

import argparse
import json
import os
import sys
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after the backend is chosen)

HEALTH_MEMBERS = ("time", "buffer_ms", "target_ms", "underruns", "duplicated_frames",
                  "dropped_frames", "lost_packets", "reconnects", "stream_age_s")


def read_drift(path):
    """{ppm: [(seconds, level, filtered, duplicated, dropped, underruns)]} in file order."""
    phases = {}
    with open(path, encoding="utf-8", errors="replace") as log:
        for line in log:
            # ctest prefixes each output line with the test number ("12: drift,...").
            start = line.find("drift,")
            if start < 0:
                continue
            fields = line[start:].strip().split(",")[1:]
            if len(fields) not in (4, 7):
                continue
            try:
                values = [float(f) for f in fields]
            except ValueError:
                continue
            counts = values[4:] if len(values) == 7 else [None, None, None]
            phases.setdefault(values[0], []).append(tuple(values[1:4] + counts))
    return phases


def read_health(path):
    """The health readings of a log, in order; lines that are not a health line are skipped."""
    samples = []
    with open(path, encoding="utf-8", errors="replace") as log:
        for line in log:
            try:
                value = json.loads(line)
            except ValueError:
                continue
            if isinstance(value, dict) and all(isinstance(value.get(k), int) for k in HEALTH_MEMBERS):
                samples.append(value)
    return samples


def sample(health_file, seconds, interval, log_path):
    """Reads the health file every interval seconds; a missing or partial file is no reading."""
    samples = []
    end = time.monotonic() + seconds
    with open(log_path, "w", encoding="utf-8") as log:
        while time.monotonic() < end:
            try:
                with open(health_file, encoding="utf-8") as f:
                    value = json.loads(f.read())
                if all(isinstance(value.get(k), int) for k in HEALTH_MEMBERS):
                    samples.append(value)
                    log.write(json.dumps(value) + "\n")
                    log.flush()
            except (OSError, ValueError, AttributeError):
                pass
            time.sleep(interval)
    return samples


def step_times(times, counts):
    """The times at which a cumulative count went up."""
    return [t for t, before, now in zip(times[1:], counts, counts[1:]) if now > before]


def draw_level(axis, times, level, target, accuracy, filtered=None):
    axis.plot(times, level, color="tab:blue", linewidth=1, label="buffer level")
    if filtered is not None:
        axis.plot(times, filtered, color="tab:cyan", linewidth=1, linestyle="--",
                  label="smoothed level")
    axis.plot(times, target, color="black", linewidth=1, label="target")
    axis.fill_between(times, [t - accuracy for t in target], [t + accuracy for t in target],
                      color="tab:green", alpha=0.15, label="accuracy band")
    axis.set_ylabel("ms")
    axis.grid(True, alpha=0.3)


def draw_counts(axis, times, duplicated, dropped, underruns, reconnects=None):
    axis.step(times, duplicated, where="post", color="tab:orange", label="frames duplicated")
    axis.step(times, dropped, where="post", color="tab:purple", label="frames dropped")
    for n, t in enumerate(step_times(times, underruns)):
        axis.axvline(t, color="tab:red", linewidth=1, label="under-run" if n == 0 else None)
    if reconnects:
        for n, t in enumerate(step_times(times, reconnects)):
            axis.axvline(t, color="gray", linestyle=":", label="reconnect" if n == 0 else None)
    axis.set_ylabel("frames")
    axis.grid(True, alpha=0.3)


def plot_drift(phases, target, accuracy, out):
    if not phases:
        sys.exit("no drift level lines found")
    with_counts = all(rows[0][3] is not None for rows in phases.values())
    rows_per_phase = 2 if with_counts else 1
    figure, axes = plt.subplots(rows_per_phase * len(phases), 1, squeeze=False,
                                figsize=(10, 3.5 * rows_per_phase * len(phases)))
    for i, (ppm, rows) in enumerate(phases.items()):
        times = [r[0] for r in rows]
        axis = axes[i * rows_per_phase][0]
        draw_level(axis, times, [r[1] for r in rows], [target] * len(rows), accuracy,
                   [r[2] for r in rows])
        axis.set_title("card clock %+g ppm" % ppm)
        axis.legend(loc="upper right", fontsize="small")
        if with_counts:
            counts = axes[i * rows_per_phase + 1][0]
            draw_counts(counts, times, [r[3] for r in rows], [r[4] for r in rows], [r[5] for r in rows])
            counts.legend(loc="upper left", fontsize="small")
        axes[i * rows_per_phase + rows_per_phase - 1][0].set_xlabel("seconds of audio")
    figure.tight_layout()
    figure.savefig(out, dpi=100)


def plot_health(samples, accuracy, out):
    if not samples:
        sys.exit("no health readings")
    # Wall time of each reading: the stream's age starts again with a new stream item.
    times = [s["time"] - samples[0]["time"] for s in samples]
    figure, (level, counts) = plt.subplots(2, 1, figsize=(10, 7), sharex=True)
    draw_level(level, times, [s["buffer_ms"] for s in samples],
               [s["target_ms"] for s in samples], accuracy)
    level.set_title("stream health: %d readings, %d lost packets" %
                    (len(samples), samples[-1]["lost_packets"]))
    level.legend(loc="upper right", fontsize="small")
    draw_counts(counts, times, [s["duplicated_frames"] for s in samples],
                [s["dropped_frames"] for s in samples], [s["underruns"] for s in samples],
                [s["reconnects"] for s in samples])
    counts.legend(loc="upper left", fontsize="small")
    counts.set_xlabel("seconds since the first reading")
    figure.tight_layout()
    figure.savefig(out, dpi=100)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--accuracy", type=float, default=50.0, help="half width of the band, ms")
    commands = parser.add_subparsers(dest="command", required=True)
    drift = commands.add_parser("drift", help="the drift test's level lines")
    drift.add_argument("log")
    drift.add_argument("--target", type=float, default=500.0, help="target level, ms")
    drift.add_argument("-o", "--output", required=True)
    health = commands.add_parser("health", help="health readings kept in a log")
    health.add_argument("log")
    health.add_argument("-o", "--output", required=True)
    live = commands.add_parser("sample", help="read a live health file over time")
    live.add_argument("health_file")
    live.add_argument("--seconds", type=float, default=60.0)
    live.add_argument("--interval", type=float, default=1.0)
    live.add_argument("--log", required=True, help="where every reading is kept")
    live.add_argument("-o", "--output", required=True)
    args = parser.parse_args()

    if args.command == "drift":
        plot_drift(read_drift(args.log), args.target, args.accuracy, args.output)
    elif args.command == "health":
        plot_health(read_health(args.log), args.accuracy, args.output)
    else:
        sample(args.health_file, args.seconds, args.interval, args.log)
        plot_health(read_health(args.log), args.accuracy, args.output)
    print("picture: %s" % os.path.abspath(args.output))


if __name__ == "__main__":
    main()
