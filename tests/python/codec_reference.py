"""Plain NumPy / Python implementations of the codec's rules, written for
clarity rather than speed, that the tests compare the extension against, and
a probe for operations that run without the interpreter lock."""

import math
import sys
import threading
import time

import numpy as np

F32 = np.float32


def total_order_key64(values):
    """Signed keys whose integer order is IEEE totalOrder on float64."""
    bits = np.asarray(values, dtype=np.float64).view(np.int64)
    return np.where(bits < 0, bits ^ np.int64(0x7FFFFFFFFFFFFFFF), bits)


def total_order_key32(values):
    bits = np.asarray(values, dtype=np.float32).view(np.int32)
    return np.where(bits < 0, bits ^ np.int32(0x7FFFFFFF), bits)


def train(matrix, bit_width):
    """Codebook training: every value widened to float64 and sorted under total
    order, linear-interpolation quantiles at i/(K-1), each rounded to float32,
    then sorted under float32 total order. None when fewer than K are distinct."""
    k = 2**bit_width
    values = np.asarray(matrix, dtype=np.float32).astype(np.float64).ravel()
    n = values.size
    if n == 0:
        return None
    s = values[np.argsort(total_order_key64(values), kind="stable")].tolist()
    levels = []
    for i in range(k):
        p = (i / (k - 1)) * (n - 1)
        lo = math.floor(p)
        hi = min(lo + 1, n - 1)
        levels.append(s[lo] + (p - math.floor(p)) * (s[hi] - s[lo]))  # binary64 throughout
    with np.errstate(over="ignore", invalid="ignore"):
        levels = np.array(levels, dtype=np.float64).astype(np.float32)
    keys = total_order_key32(levels)
    levels = levels[np.argsort(keys, kind="stable")]
    keys = np.sort(keys)
    if 1 + int(np.count_nonzero(keys[1:] > keys[:-1])) < k:
        return None
    return levels


def matrix_of(rotation):
    n = rotation.dimension
    return np.frombuffer(rotation.matrix_f64_bytes(), dtype="<f8").reshape(n, n)


def sequential_apply(matrix, x):
    """M x, each output summed over k in increasing order from +0.0, in binary64."""
    values = np.asarray(x, dtype=np.float32).tolist()
    out = []
    for row in np.asarray(matrix).tolist():
        acc = 0.0
        for m, v in zip(row, values):
            acc = acc + m * v
        out.append(acc)
    return np.array(out, dtype=np.float64).astype(np.float32)


def sequential_apply_inverse(matrix, x):
    return sequential_apply(np.ascontiguousarray(np.asarray(matrix).T), x)


def quantize(entries, values):
    """Index of the nearest level per value: linear scan for the first level not
    below the value, then the closer of it and its predecessor (ties and NaN
    comparisons go to the upper one)."""
    entries = np.asarray(entries, dtype=np.float32)
    values = np.asarray(values, dtype=np.float32)
    m = entries.size
    with np.errstate(all="ignore"):
        greater = values[:, None] > entries[None, :]
        k = np.where(greater.all(axis=1), m, np.argmin(greater, axis=1))
        hi = np.minimum(k, m - 1)
        lo = np.maximum(hi - 1, 0)
        d_lo = np.abs(values - entries[lo])
        d_hi = np.abs(values - entries[hi])
    return np.where(d_lo < d_hi, lo, hi).astype(np.uint8)


def residual_halves(entries, values, indices):
    """The binary16 bit patterns of value - level (a float32 subtraction)."""
    with np.errstate(all="ignore"):
        errors = np.asarray(values, dtype=np.float32) - np.asarray(entries, dtype=np.float32)[indices]
        return errors.astype(np.float16).view(np.uint16)


def pack_indices(indices, bit_width):
    """Indices of bit_width bits, index i at bits [i*bw, (i+1)*bw), LSB first."""
    indices = np.asarray(indices, dtype=np.uint8)
    bits = ((indices[:, None] >> np.arange(bit_width, dtype=np.uint8)) & 1).astype(np.uint8).ravel()
    return np.packbits(bits, bitorder="little").tobytes()


def record_bytes(config_hash, dimension, bit_width, indices, residual=None, *, version=1):
    """A serialized record built field by field."""
    hash_field = config_hash.encode() if isinstance(config_hash, str) else bytes(config_hash)
    out = bytes([version]) + hash_field[:64].ljust(64, b"\0")
    out += int(dimension).to_bytes(4, "little") + bytes([bit_width])
    out += pack_indices(indices, bit_width)
    if residual is None:
        return out + b"\x00"
    return out + b"\x01" + len(residual).to_bytes(4, "little") + bytes(residual)


def bits(array):
    return np.asarray(array, dtype=np.float32).view(np.uint32).tolist()


def is_half_nan(pattern):
    return (pattern & 0x7C00) == 0x7C00 and (pattern & 0x03FF) != 0


def other_threads_ran_during(operation, attempts=20):
    """Runs operation() (up to `attempts` times) and reports whether another
    Python thread got to run meanwhile. With a very long switch interval the
    calling thread keeps the interpreter lock unless the operation itself
    releases it, so the answer tells whether the operation ran (partly)
    without the lock. On a busy machine the other thread may not be scheduled
    in time, hence the repeats."""
    ticks = [0]
    done = threading.Event()
    started = threading.Event()

    def count():
        started.set()
        while not done.is_set():
            ticks[0] += 1
            time.sleep(0)  # hands the lock back at once if the caller wants it

    interval = sys.getswitchinterval()
    counter = threading.Thread(target=count)
    counter.start()
    started.wait()
    sys.setswitchinterval(100.0)
    # The other thread may be waiting for the lock under the old interval, after
    # which it would ask for a switch; letting it run once ends that wait.
    time.sleep(0.02)
    try:
        for _ in range(attempts):
            before = ticks[0]
            operation()
            if ticks[0] != before:
                return True
        return False
    finally:
        sys.setswitchinterval(interval)
        done.set()
        counter.join()
