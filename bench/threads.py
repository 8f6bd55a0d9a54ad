#!/usr/bin/env python3
"""W8: what other Python threads can do while porosa works.

    bench/threads.py [--scale 1.0] [--python PATH ...]

For each interpreter (by default .venv-ft and .venv-std of the checkout):
  pause       the longest gc.collect() of a thread collecting in a loop while
              another thread runs W1's MNAR GM (1,000,000 x 20, rate 0.3);
              target <= 50 ms
  throughput  20 calls of MNAR GM mean 0.3 variance 0.1 on 200,000 x 20 made by
              2 threads (10 each) against the same 20 calls made by 1 thread,
              with one worker per call (POROSA_THREADS=1), so that the figure
              shows the calls themselves running side by side; target >= 1.7
              on 2 cores. The same with the default pool is shown for reference.
"""

from __future__ import annotations

import argparse
import gc
import os
import subprocess
import sys
import threading
import time

import benchlib as bl

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAUSE_TARGET = 0.050
THROUGHPUT_TARGET = 1.7


def longest_pause(scale: float) -> dict:
    import porosa

    data = bl.gaussian(bl.scaled_rows(1_000_000, scale))
    porosa.MNAR(random_seed=7)(bl.gaussian(64), 0.3)  # warm-up
    pauses, stop = [], threading.Event()

    def collect():
        while not stop.is_set():
            t = time.perf_counter()
            gc.collect()
            pauses.append(time.perf_counter() - t)
            time.sleep(0.001)

    th = threading.Thread(target=collect)
    th.start()
    time.sleep(0.02)
    t = time.perf_counter()
    porosa.MNAR(random_seed=7)(data, 0.3)
    call = time.perf_counter() - t
    stop.set()
    th.join()
    return {"call_s": call, "pause_s": max(pauses), "collections": len(pauses)}


def throughput(scale: float) -> dict:
    import porosa

    data = bl.gaussian(bl.scaled_rows(200_000, scale))

    def calls(n):
        inst = porosa.MNAR(mean=0.3, variance=0.1, random_seed=7)
        for _ in range(n):
            inst(data, 0.3)

    calls(1)  # warm-up

    def timed(threads: int) -> float:
        ts = [threading.Thread(target=calls, args=(20 // threads,)) for _ in range(threads)]
        t = time.perf_counter()
        for th in ts:
            th.start()
        for th in ts:
            th.join()
        return time.perf_counter() - t

    one = min(timed(1) for _ in range(2))
    two = min(timed(2) for _ in range(2))
    return {"one_s": one, "two_s": two, "speedup": one / two}


def child(scale: float) -> dict:
    out = {"interpreter": bl.interpreter_line(), "gil": bl.gil_enabled()}
    if os.environ.get("POROSA_THREADS") == "1":
        out.update(throughput(scale))
    else:
        out.update(longest_pause(scale))
        out.update({f"pool_{k}": v for k, v in throughput(scale).items()})
    return out


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--scale", type=float, default=1.0)
    p.add_argument("--python", action="append", help="interpreters to measure (default: .venv-ft, .venv-std)")
    p.add_argument("--timeout", type=float, default=600.0)
    p.add_argument("--only", help="runs only when the list names W8 (the suite's other scripts share it)")
    p.add_argument("--repeat", type=int, help=argparse.SUPPRESS)  # the suite's option; each figure is a best of 2
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.child:
        bl.emit(child(args.scale))
        return 0
    if args.only and "W8" not in {w.strip().upper() for w in args.only.split(",")}:
        return 0

    pythons = args.python or [os.path.join(ROOT, v, "bin", "python") for v in (".venv-ft", ".venv-std")]
    print("porosa and other threads (bench/threads.py, W8)")
    print(f"settings: --scale {args.scale:g}; {os.cpu_count()} CPUs")
    print()
    table = bl.Table([("interpreter", 44), ("measure", 36), ("value", 9), ("target", 7), ("verdict", 7)])
    table.header()
    for py in pythons:
        cmd = [py, os.path.abspath(__file__), "--child", "--scale", repr(args.scale)]
        pooled = bl.run_child(cmd, args.timeout)
        single = bl.run_child(cmd, args.timeout, env=dict(os.environ, POROSA_THREADS="1"))
        name = pooled.get("interpreter") or single.get("interpreter") or py
        if pooled.get("status") != "ok" or single.get("status") != "ok":
            table.row([name, "ERROR", "-", "-", (pooled.get("error") or single.get("error") or "")[:40]])
            continue
        table.row([name, f"longest gc.collect() in a {pooled['call_s']:.2f} s GM call",
                   f"{pooled['pause_s'] * 1000:.1f} ms", f"<={PAUSE_TARGET * 1000:g}",
                   bl.verdict(pooled["pause_s"], PAUSE_TARGET)])
        table.row(["", "2x10 calls vs 1x20, 1 worker per call", f"{single['speedup']:.2f}x",
                   f">={THROUGHPUT_TARGET:g}", bl.verdict(single["speedup"], THROUGHPUT_TARGET, at_most=False)])
        table.row(["", "2x10 calls vs 1x20, default pool", f"{pooled['pool_speedup']:.2f}x", "-", "-"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
