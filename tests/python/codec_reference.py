"""Plain NumPy / Python implementations of the codec's rules, written for
clarity rather than speed, that the tests compare the extension against, and
helpers shared by the test files (thread runner, interpreter-lock probe)."""

import math
import sys
import threading
import time

import numpy as np
import pytest

NOT_CONTIGUOUS = "numpy slice unavailable: The given array is not contiguous"
NOT_C_CONTIGUOUS = "input matrix must be C-contiguous float32"


def cannot_convert(argument, type_name="ndarray", target="PyArray<T, D>"):
    prefix = f"argument '{argument}': " if argument else ""
    return f"{prefix}'{type_name}' object cannot be converted to '{target}'"


def expect_error(error, message, call, *args, **kwargs):
    """call(*args, **kwargs) must raise exactly `error` (not a subclass) with
    exactly `message` (None: any text); returns the exception."""
    with pytest.raises(error) as caught:
        call(*args, **kwargs)
    assert type(caught.value) is error
    assert message is None or str(caught.value) == message
    return caught.value


class Index:
    """An integer-like object that is not an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def total_order_key(values, float_type, int_type, magnitude_mask):
    """Signed integer keys whose order is IEEE totalOrder on the float type."""
    keys = np.asarray(values, dtype=float_type).view(int_type)
    return np.where(keys < 0, keys ^ int_type(magnitude_mask), keys)


def train(matrix, bit_width):
    """Codebook training: every value widened to float64 and sorted under total
    order, linear-interpolation quantiles at i/(K-1) in binary64, each rounded
    to float32, then sorted under float32 total order. None when fewer than K
    levels are distinct."""
    k = 2**bit_width
    values = np.asarray(matrix, dtype=np.float32).astype(np.float64).ravel()
    n = values.size
    if n == 0:
        return None
    s = values[np.argsort(total_order_key(values, np.float64, np.int64, 2**63 - 1), kind="stable")].tolist()
    levels = []
    for i in range(k):
        p = (i / (k - 1)) * (n - 1)
        lo = math.floor(p)
        hi = min(lo + 1, n - 1)
        levels.append(s[lo] + (p - lo) * (s[hi] - s[lo]))
    with np.errstate(over="ignore", invalid="ignore"):
        levels = np.array(levels, dtype=np.float64).astype(np.float32)
    keys = total_order_key(levels, np.float32, np.int32, 2**31 - 1)
    levels, keys = levels[np.argsort(keys, kind="stable")], np.sort(keys)
    return None if 1 + int(np.count_nonzero(keys[1:] > keys[:-1])) < k else levels


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
            acc += m * v
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


def record_bytes(config_hash, dimension, bit_width, indices, residual=None):
    """A serialized record built field by field."""
    out = b"\x01" + config_hash.encode().ljust(64, b"\0") + int(dimension).to_bytes(4, "little")
    out += bytes([bit_width]) + pack_indices(indices, bit_width)
    if residual is None:
        return out + b"\x00"
    return out + b"\x01" + len(residual).to_bytes(4, "little") + bytes(residual)


def bits(array):
    return np.asarray(array, dtype=np.float32).view(np.uint32).tolist()


def is_half_nan(pattern):
    return (pattern & 0x7C00) == 0x7C00 and (pattern & 0x03FF) != 0


def other_threads_ran_during(operation, attempts=20):
    """Whether another Python thread got to run during operation() (tried up
    to `attempts` times, for a busy machine). With a very long switch interval
    the caller keeps the interpreter lock unless the operation releases it."""
    ticks, done, started = [0], threading.Event(), threading.Event()

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
    # The counter may be waiting for the lock under the old interval, after
    # which it would ask for a switch; once it has run twice more, it waits
    # under the new one.
    seen = ticks[0]
    while ticks[0] < seen + 2:
        time.sleep(0.001)
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


def run_threads(targets, timeout=120):
    """Runs each target in its own daemon thread; re-raises the first failure
    and reports a thread that never finished as a deadlock."""
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as error:  # noqa: BLE001 - re-raised below
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(t,), daemon=True) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
    assert not any(t.is_alive() for t in threads), "deadlock: a thread did not finish"
    if errors:
        raise errors[0]
