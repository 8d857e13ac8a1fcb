#!/usr/bin/env python3
"""Start and exit of the window with a long history, against an empty one, in one run.

    window-start-exit.py KORVCLNT [RUNS]

For each history (0 log lines / 0 results, then BENCH_LINES / BENCH_RESULTS, by default
100,000 / 10,000, once over 3 targets and once with a target per result) it starts the window on a private Xvfb display, times it from spawn until
the main window is mapped, then sends SIGTERM (which closes the window as Exit does: the
state is saved and the results store freed) and times it until the process has ended.
Needs Xvfb and xdotool.
"""
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def start_display():
    # A display number of its own (BENCH_DISPLAY_NUMBER, else the first free one from 140),
    # so it never meets a display someone else runs.
    number = int(os.environ.get("BENCH_DISPLAY_NUMBER", "0")) or 140
    while os.path.exists(f"/tmp/.X{number}-lock") or os.path.exists(f"/tmp/.X11-unix/X{number}"):
        number += 1
    display = f":{number}"
    # -noreset: the server would otherwise reset when the readiness check disconnects, and
    # refuse the window that connects meanwhile.
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"],
                            stderr=subprocess.DEVNULL)
    env = dict(os.environ, DISPLAY=display)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if subprocess.run(["xdotool", "getmouselocation"], env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0:
            return xvfb, display
        if xvfb.poll() is not None:
            break
        time.sleep(0.1)
    xvfb.kill()
    sys.exit("Xvfb did not start")


def window_shown(env):
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Korvane Client"],
                           env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return found.returncode == 0 and found.stdout.strip()


def one_run(program, data_home, env):
    env = dict(env, XDG_DATA_HOME=data_home)
    began = time.monotonic()
    proc = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL)
    shown = None
    while time.monotonic() - began < 120:
        if window_shown(env):
            shown = time.monotonic() - began
            break
        if proc.poll() is not None:
            break
        time.sleep(0.005)
    if shown is None:
        proc.kill()
        proc.wait()
        sys.exit(f"the window did not show (exit status {proc.returncode}, {time.monotonic() - began:.1f} s)")
    time.sleep(0.5)  # let it settle, as a user would look before leaving
    asked = time.monotonic()
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=120)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        sys.exit("the window did not end")
    ended = time.monotonic() - asked
    return shown, ended


def history(root, lines, results, targets):
    home = os.path.join(root, f"{lines}-{results}-{targets}")
    subprocess.run([sys.executable, os.path.join(HERE, "make-history.py"), home, str(lines), str(results),
                    targets], check=True)
    return home


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    program = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    lines = int(os.environ.get("BENCH_LINES", "100000"))
    results = int(os.environ.get("BENCH_RESULTS", "10000"))
    for tool in ("Xvfb", "xdotool"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is needed")

    xvfb, display = start_display()
    env = dict(os.environ, DISPLAY=display)
    env.pop("QT_QPA_PLATFORM", None)
    try:
        with tempfile.TemporaryDirectory() as root:
            config = os.path.join(root, "config")
            env["XDG_CONFIG_HOME"] = config
            cases = [("0 lines / 0 results", 0, 0, "3"),
                     (f"{lines:,} lines / {results:,} results, 3 targets", lines, results, "3"),
                     (f"{lines:,} lines / {results:,} results, 1 target each", lines, results, "distinct")]
            figures = {}
            for name, n_lines, n_results, targets in cases:
                template = history(root, n_lines, n_results, targets)
                starts, exits = [], []
                for _ in range(runs):
                    # Every run starts from the same history: the previous exit rewrote it.
                    home = template + "-run"
                    shutil.rmtree(home, ignore_errors=True)
                    shutil.copytree(template, home)
                    shown, ended = one_run(program, home, env)
                    starts.append(shown)
                    exits.append(ended)
                figures[name] = (starts, exits)
            load = open("/proc/loadavg").read().split()[:3]
            print(f"load average {' '.join(load)}; {runs} runs each; seconds (median, min-max)")
            base = None
            for name, (starts, exits) in figures.items():
                s, e = statistics.median(starts), statistics.median(exits)
                line = (f"{name:52s} start {s:6.3f} ({min(starts):.3f}-{max(starts):.3f})"
                        f"  exit {e:6.3f} ({min(exits):.3f}-{max(exits):.3f})")
                if base:
                    line += f"  ratio start {s / base[0]:.2f} exit {e / base[1]:.2f}"
                else:
                    base = (s, e)
                print(line)
            few, each = (statistics.median(figures[c[0]][0]) for c in cases[1:])
            print(f"start with a target per result less start over 3 targets: {each - few:+.3f} s")
            print("targets with the long history: start under 1 s, exit under 1 s; "
                  "a target per result within 0.1 s of 3 targets")
    finally:
        xvfb.terminate()
        xvfb.wait()


if __name__ == "__main__":
    main()
