"""Measures read bandwidth with a compiled streaming-read loop (built on first use with the C compiler)."""

from __future__ import annotations

import ctypes
import os
import subprocess

import numpy as np

import harness

HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARY = os.path.join(HERE, "..", "build", "bench", "libstreaming_read.so")


def _load() -> ctypes.CDLL:
    source = os.path.join(HERE, "streaming_read.c")
    if not os.path.exists(LIBRARY) or os.path.getmtime(LIBRARY) < os.path.getmtime(source):
        os.makedirs(os.path.dirname(LIBRARY), exist_ok=True)
        subprocess.run(["cc", "-O2", "-march=native", "-shared", "-fPIC", "-pthread", source, "-o", LIBRARY], check=True)
    library = ctypes.CDLL(LIBRARY)
    library.streaming_read.restype = ctypes.c_uint64
    library.streaming_read.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    return library


def read_bandwidth(threads: int, megabytes: int = 1024) -> float:
    """GB/s of reading a buffer far larger than the caches."""
    library = _load()
    words = np.ones(megabytes * (1 << 20) // 8, dtype=np.uint64)
    seconds = harness.best_time(lambda: library.streaming_read(words.ctypes.data, words.size, threads), 5)
    return words.nbytes / seconds / 1e9
