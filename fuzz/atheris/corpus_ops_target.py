#!/usr/bin/env python3
"""Fuzz target: a sequence of operations on one Corpus, checked against a plain model.

The input decodes into a policy and operations (insert, remove, get, contains,
decompress, decompress_all, pending_events, reads) over a small id alphabet;
after each, results, errors and the drained events must match what a dict of
the inserted vectors predicts. Replayed in CI with --replay DIR.
"""

import sys

import numpy as np

from marrowfin_rs import _core

import harness  # fuzz/atheris/harness.py, beside this script

DIM = 6
CONFIG = _core.CodecConfig(4, 7, DIM, residual_enabled=True)
CODEBOOK = _core.Codebook(np.linspace(-3, 3, 16).astype(np.float32), 4)
CODEC = _core.Codec()
POLICIES = (_core.CompressionPolicy.COMPRESS, _core.CompressionPolicy.PASSTHROUGH,
            _core.CompressionPolicy.FP16)
IDS = ("a", "b", "ab", "\u00e9", "", "z\x00")
SPECIALS = np.array([0.0, -0.0, 1.0, -2.5, 65504.0, 70000.0, 1e-8, np.inf, np.nan], dtype=np.float32)


def expected_values(policy, vector):
    if policy == _core.CompressionPolicy.PASSTHROUGH:
        return vector
    if policy == _core.CompressionPolicy.FP16:
        with np.errstate(over="ignore"):
            return vector.astype(np.float16).astype(np.float32)
    return CODEC.decompress(CODEC.compress(vector, CONFIG, CODEBOOK), CONFIG, CODEBOOK)


def same(a, b):
    return a.dtype == np.float32 and a.tobytes() == np.asarray(b, np.float32).tobytes()


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def byte(self):
        if self.pos >= len(self.data):
            raise EOFError
        self.pos += 1
        return self.data[self.pos - 1]

    def vector(self):
        length = DIM if self.byte() % 8 else self.byte() % 9
        return np.array([SPECIALS[b % 9] if b >= 0xE0 else (b - 112) / 16 for b in
                         (self.byte() for _ in range(length))], dtype=np.float32)


def check(data: bytes) -> None:
    reader = Reader(data)
    try:
        policy = POLICIES[reader.byte() % 3]
    except EOFError:
        return
    corpus = _core.Corpus("fuzz", CONFIG, CODEBOOK, policy)
    model, events = {}, [("created",)]
    try:
        while True:
            op, vector_id = reader.byte() % 8, IDS[reader.byte() % len(IDS)]
            if op == 0:
                vector = reader.vector()
                expected, refused = None, None
                if len(vector) == DIM:
                    try:
                        expected = expected_values(policy, vector)
                    except Exception as error:  # the codec refuses it: so must insert
                        refused = type(error)
                try:
                    entry = corpus.insert(vector_id, vector)
                except _core.DuplicateVectorError:
                    assert vector_id in model
                except _core.DimensionMismatchError:
                    assert len(vector) != DIM
                except Exception as error:
                    assert type(error) is refused and vector_id not in model, error
                else:
                    assert vector_id not in model and len(vector) == DIM and refused is None
                    assert entry.vector_id == vector_id and entry.dimension == DIM
                    model[vector_id] = expected
                    events.append(("inserted", vector_id))
            elif op == 1:
                try:
                    assert corpus.remove(vector_id) is None
                    del model[vector_id]
                except KeyError as error:
                    assert vector_id not in model and error.args == (vector_id,)
            elif op == 2:
                try:
                    assert corpus.get(vector_id).vector_id == vector_id
                    assert vector_id in model
                except KeyError as error:
                    assert vector_id not in model and error.args == (vector_id,)
            elif op == 3:
                assert corpus.contains(vector_id) == (vector_id in model)
            elif op == 4:
                try:
                    assert same(corpus.decompress(vector_id), model[vector_id])
                except KeyError as error:
                    assert vector_id not in model and error.args == (f"unknown vector_id {vector_id}",)
            elif op == 5:
                result = corpus.decompress_all()
                assert list(result) == sorted(model, key=lambda i: i.encode())
                assert all(same(result[i], model[i]) for i in model)
                if model:
                    events.append(("decompressed", len(model)))
            elif op == 6:
                drained = []
                for event in corpus.pending_events():
                    if isinstance(event, _core.CorpusCreated):
                        drained.append(("created",))
                    elif isinstance(event, _core.VectorsInserted):
                        assert event.count == 1
                        drained.append(("inserted", *event.vector_ids))
                    else:
                        drained.append(("decompressed", event.vector_count))
                assert drained == events, (drained, events)
                events = []
            else:
                assert corpus.vector_count == len(model) and corpus.is_empty == (not model)
                assert corpus.vector_ids == frozenset(model)
    except EOFError:
        pass


def seeds():
    yield bytes([0, 0, 0, 1, 100, 120, 130, 140, 150, 160, 5, 0, 4, 0, 6, 0, 7, 0])
    yield bytes([1, 0, 1, 1, 0xE7, 0xE8, 0xE0, 0xE1, 0x70, 0x71, 4, 1, 5, 2, 1, 1, 2, 1, 6, 0])
    yield bytes([2, 0, 2, 1, 0xE4, 0xE5, 0xE6, 0x10, 0x90, 0xFF, 0, 2, 0, 3, 3, 3, 5, 0, 6, 0, 7, 0])


if __name__ == "__main__":
    harness.main(sys.argv, check, seeds)
