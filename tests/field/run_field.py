#!/usr/bin/env python3
"""Runs the field rehearsal (see field.py): installs the packages, runs every scenario of
tests/field/scenarios_*.py on the device the way it runs, and puts the machine back.

    run_field.py <packages dir> <build dir> [scenario name...]

As root only (it installs packages and runs services as their users). Prints one line per
scenario; exit status 1 when one failed.
"""
import glob
import importlib
import os
import signal
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import field  # noqa: E402


def load_scenarios(names):
    for path in sorted(glob.glob(os.path.join(field.HERE, "scenarios_*.py"))):
        importlib.import_module(os.path.basename(path)[:-3])
    chosen = sorted(field.SCENARIOS, key=lambda s: (s[0], s[1], s[2]))
    if names:
        chosen = [s for s in chosen if s[2] in names]
    return chosen


def stop_by_signal(signal_number, _frame):
    raise SystemExit("stopped by signal %d" % signal_number)


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 64
    if os.geteuid() != 0:
        print("field rehearsal: needs root (installs the packages, runs the services as "
              "their users)")
        return 1
    packages, build = os.path.realpath(sys.argv[1]), os.path.realpath(sys.argv[2])
    scenarios = load_scenarios(sys.argv[3:])
    signal.signal(signal.SIGTERM, stop_by_signal)
    # Not below /tmp or /var/tmp: the units have a private /tmp.
    work = tempfile.mkdtemp(prefix="quillon-field-", dir="/run")
    os.chmod(work, 0o755)  # the services' users reach the card and their sockets here
    device = field.Field(packages, build, work)
    passed, failed = 0, 0
    started = time.monotonic()
    try:
        device.set_up()
        for _, module, name, fn in scenarios:
            begin = time.monotonic()
            try:
                fn(device)
                problems = device.stop_services()
                if problems:
                    raise AssertionError("; ".join(problems))
            except Exception:  # noqa: BLE001  (each scenario reports its own failure)
                failed += 1
                print("FAILED: %s.%s (%.0f s)" % (module, name, time.monotonic() - begin))
                print("    " + traceback.format_exc().replace("\n", "\n    "))
                for service in device.services.values():
                    print("    -- %s (last lines)\n    %s" % (service.name,
                          service.tail(15).replace("\n", "\n    ")))
                device.stop_services()
            else:
                passed += 1
                print("ok: %s.%s (%.0f s)" % (module, name, time.monotonic() - begin), flush=True)
        code = device.agent.stop()
        if code != 0:
            failed += 1
            print("FAILED: the agent ended with status %s on stop\n%s" % (code, device.agent.tail()))
    except Exception:  # noqa: BLE001
        failed += 1
        print("FAILED: field set-up\n    " + traceback.format_exc().replace("\n", "\n    "))
    finally:
        device.tear_down()
        if failed == 0:
            import shutil
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("field: logs kept in " + work)
    print("field rehearsal: %d passed, %d failed (%.0f s)" % (passed, failed,
                                                               time.monotonic() - started))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
