"""Shared helpers for the benchmarks: timing, thread-count isolation, reports.

Every benchmark measures this library and its baseline side by side in the
same process, for one thread count at a time. A thread count is enforced by
running the measurement in a child process whose CPU affinity is cut down to
that many cores and whose BLAS / OpenMP pools are sized to match, so both
sides get exactly the same hardware.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from typing import Callable

CHILD_FLAG = "MARROWFIN_BENCH_CHILD"


def best_time(fn: Callable[[], object], repeat: int = 5, min_time: float = 0.0) -> float:
    """Fastest wall time of `repeat` calls (seconds); at least one call."""
    best = float("inf")
    started = time.perf_counter()
    runs = 0
    while runs < repeat or time.perf_counter() - started < min_time:
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
        runs += 1
    return best


def thread_counts() -> list[int]:
    available = len(os.sched_getaffinity(0))
    return [1] + ([2] if available >= 2 else [])


def run_per_thread_count(script: str, args: list[str] | None = None) -> dict[int, dict]:
    """Runs `script` once per thread count in an isolated child; returns each child's JSON result."""
    results = {}
    cpus = sorted(os.sched_getaffinity(0))
    for threads in thread_counts():
        env = dict(os.environ)
        env[CHILD_FLAG] = ",".join(str(c) for c in cpus[:threads])
        for name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
            env[name] = str(threads)
        out = subprocess.run([sys.executable, script, *(args or [])], env=env, check=True,
                             stdout=subprocess.PIPE, text=True).stdout
        results[threads] = json.loads(out.strip().splitlines()[-1])
    return results


def enter_child() -> int | None:
    """In a child: pins the process to its cores and returns the thread count; None in the parent."""
    cpus = os.environ.get(CHILD_FLAG)
    if not cpus:
        return None
    os.sched_setaffinity(0, {int(c) for c in cpus.split(",")})
    return len(cpus.split(","))


def emit(result: dict) -> None:
    print(json.dumps(result))


def print_table(title: str, rows: list[tuple[str, str, str, str]]) -> None:
    print(f"\n{title}")
    widths = [max(len(r[i]) for r in rows) for i in range(4)]
    for row in rows:
        print("  " + "  ".join(cell.rjust(w) if i else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths))))


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:.2f} ms"


def ratio(baseline: float, ours: float) -> str:
    """How many times faster we are than the baseline (>1 means faster)."""
    return f"{baseline / ours:.2f}x"


def run(script: str, measure: Callable[[int], dict], report: Callable[[int, dict], None]) -> None:
    """Entry point of a benchmark: measures in a child per thread count, then reports each result."""
    threads = enter_child()
    if threads is not None:
        emit(measure(threads))
        return
    for count, result in run_per_thread_count(script).items():
        report(count, result)
