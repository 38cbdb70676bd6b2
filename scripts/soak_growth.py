"""Growth figures of a soak run, shared by the player and the agent soak scripts."""


def growth(samples, baseline, sample_s):
    """Growth after the warm-up: (RSS growth in KiB, descriptor growth, text for the summary).

    samples are dicts with "t", "rss_kib", "fds" and "threads"; baseline is the first sample
    after the warm-up (or None: the first sample).
    """
    if baseline is None:
        baseline = samples[0]
    last = samples[-1]
    after = [s for s in samples if s["t"] >= baseline["t"]]
    # Descriptors come and go with each reconnection: compare the highest counts of the
    # first and the last minute after the warm-up, not two single samples.
    window = max(1, int(60 / sample_s))
    rss_growth = last["rss_kib"] - baseline["rss_kib"]
    fd_growth = max(s["fds"] for s in after[-window:]) - max(s["fds"] for s in after[:window])
    text = ("after %.0f s: RSS %d -> %d KiB (growth %+d KiB, max %d), fds %d -> %d "
            "(growth %+d, max %d), threads %d -> %d"
            % (baseline["t"], baseline["rss_kib"], last["rss_kib"], rss_growth,
               max(s["rss_kib"] for s in after), baseline["fds"], last["fds"], fd_growth,
               max(s["fds"] for s in after), baseline["threads"], last["threads"]))
    return rss_growth, fd_growth, text
