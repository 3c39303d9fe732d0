"""Pickling and copying: every immutable value round-trips through pickle
(protocols 2 to 5) to an object with identical properties and bytes, copies
of a value are the value itself, and the classes with mutable state refuse
pickling with a TypeError that says why."""

import copy
import inspect
import math
import pickle

import numpy as np
import pytest

from codec_reference import expect_error

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)
DIMENSION = 24


def rng_vectors(count, dimension=DIMENSION, seed=3):
    return np.random.default_rng(seed).standard_normal((count, dimension)).astype(np.float32)


def trained_codebook(core, config):
    rotation = core.RotationMatrix.from_config(config)
    return core.Codebook.train(np.stack([rotation.apply(v) for v in rng_vectors(64)]), config)


def corpus_with_events(core, policy, residual=True):
    config = core.CodecConfig(4, 11, DIMENSION, residual_enabled=residual)
    corpus = core.Corpus("corpus-\u00e9", config, trained_codebook(core, config), policy)
    for i, vector in enumerate(rng_vectors(3)):
        corpus.insert(f"id-{i}", vector)
    corpus.decompress_all()
    return corpus


def values(core):
    """(label, value) for every immutable class, in the shapes worth covering."""
    config = core.CodecConfig(8, 2**64 - 1, DIMENSION, residual_enabled=False)
    codebook = trained_codebook(core, config)
    vector = rng_vectors(1)[0]
    compressed_corpus = corpus_with_events(core, core.CompressionPolicy.COMPRESS)
    fp16_corpus = corpus_with_events(core, core.CompressionPolicy.FP16)
    events = compressed_corpus.pending_events()
    yield "config", config
    yield "config residual", core.CodecConfig(2, 0, 1)
    yield "codebook trained", codebook
    yield "codebook signed zeros and NaN", core.Codebook(
        np.array([-0.0, 0.0, 1.0, np.nan], dtype=np.float32), 2)
    yield "rotation", core.RotationMatrix.from_seed_and_dim(7, DIMENSION)
    yield "compressed", core.compress(vector, config, codebook)
    residual_config = core.CodecConfig(4, 11, DIMENSION)
    yield "compressed residual", core.compress(vector, residual_config,
                                               trained_codebook(core, residual_config))
    for policy in ("COMPRESS", "PASSTHROUGH", "FP16"):
        yield f"policy {policy}", getattr(core.CompressionPolicy, policy)
    yield "policy from a corpus", fp16_corpus.compression_policy
    yield "entry compress", compressed_corpus.get("id-1")
    yield "entry fp16", fp16_corpus.get("id-2")
    yield "corpus created", events[0]
    yield "vectors inserted", events[1]
    yield "corpus decompressed", events[-1]
    yield "search result", core.SearchResult("a \"quoted\"\nid\0", 0.1)
    for score in (-0.0, math.inf, math.nan, 3.4e38):
        yield f"search result {score}", core.SearchResult("x", score)


def value_cases():
    import marrowfin_rs._core as core

    return [pytest.param(value, id=label) for label, value in values(core)]


def state(value):
    """Every public property of a value, in a form compared by content."""
    result = {}
    for name, _ in inspect.getmembers(type(value), inspect.isdatadescriptor):
        if name.startswith("_"):
            continue
        item = getattr(value, name)
        if isinstance(item, np.ndarray):
            item = (item.dtype.str, item.shape, item.tobytes())
        elif type(item).__name__ in ("CodecConfig", "CompressedVector", "CompressionPolicy"):
            item = (type(item).__name__, state(item))
        elif isinstance(item, float):
            item = item.hex() if not math.isnan(item) else "nan"
        result[name] = item
    if hasattr(value, "to_bytes"):
        result["to_bytes"] = value.to_bytes()
    if hasattr(value, "matrix_f64_bytes"):
        result["matrix"] = value.matrix_f64_bytes()
    return result


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("value", value_cases())
def test_round_trip_gives_identical_properties_and_bytes(value, protocol):
    data = pickle.dumps(value, protocol=protocol)
    restored = pickle.loads(data)
    assert type(restored) is type(value)
    assert state(restored) == state(value)
    assert repr(restored) == repr(value) or "object at 0x" in repr(value)
    assert pickle.dumps(restored, protocol=protocol) == data


@pytest.mark.parametrize("value", value_cases())
def test_copies_are_the_value_itself(value):
    assert copy.copy(value) is value
    assert copy.deepcopy(value) is value
    container = copy.deepcopy({"items": [value, value]})
    assert container["items"][0] is value and container["items"][1] is value


def test_policy_unpickles_to_the_member_and_event_keeps_one_config(core):
    corpus = corpus_with_events(core, core.CompressionPolicy.PASSTHROUGH)
    assert pickle.loads(pickle.dumps(corpus.compression_policy)) is core.CompressionPolicy.PASSTHROUGH
    created = corpus.pending_events()[0]
    restored, config = pickle.loads(pickle.dumps([created, created.codec_config]))
    assert restored.codec_config is config
    assert restored.compression_policy == core.CompressionPolicy.PASSTHROUGH


def test_unpickled_values_work_with_the_codec(core):
    config = core.CodecConfig(4, 5, DIMENSION)
    codebook = trained_codebook(core, config)
    records = core.Codec().compress_batch(rng_vectors(4), config, codebook)
    config2, codebook2, records2 = pickle.loads(pickle.dumps((config, codebook, records)))
    expected = core.Codec().decompress_batch(records, config, codebook)
    assert core.Codec().decompress_batch(records2, config2, codebook2).tobytes() == expected.tobytes()


def test_pickles_load_in_a_fresh_interpreter(core, run_python):
    items = [value for _, value in values(core)]
    output = run_python(f"""
        import pickle
        items = pickle.loads(bytes.fromhex("{pickle.dumps(items).hex()}"))
        print(pickle.dumps(items).hex())
    """)
    restored = pickle.loads(bytes.fromhex(output.strip()))
    assert [state(item) for item in restored] == [state(item) for item in items]


@pytest.mark.parametrize("make, reason", [
    (lambda core: corpus_with_events(core, core.CompressionPolicy.COMPRESS),
     "Corpus objects cannot be pickled: a Corpus owns mutable state"),
    (lambda core: core.BruteForceBackend(),
     "BruteForceBackend objects cannot be pickled: a BruteForceBackend owns mutable state"),
    (lambda core: core.Codec(), "Codec objects cannot be pickled: a Codec holds no state"),
], ids=["Corpus", "BruteForceBackend", "Codec"])
def test_stateful_classes_refuse_pickling_and_copying(core, make, reason):
    obj = make(core)
    for protocol in PROTOCOLS:
        with pytest.raises(TypeError, match="^" + reason):
            pickle.dumps(obj, protocol=protocol)
    for operation in (copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match="^" + reason):
            operation(obj)


@pytest.mark.parametrize("owner, args, error, message", [
    ("Codebook", (b"\0" * 15, 2), ValueError,
     "codebook entries must be a whole number of float32 values"),
    ("Codebook", (np.arange(4, dtype="<f4")[::-1].tobytes(), 2), ValueError,
     "codebook entries must be sorted ascending"),
    ("Codebook", (bytearray(16), 2), TypeError, None),
    ("VectorEntry", ("a", b"not a record", 4), TypeError, None),
    ("CorpusCreated", ("c", "not a config", None, 0), TypeError, None),
    ("VectorsInserted", ("c", "ab", 0), TypeError, "argument 'vector_ids': Can't extract `str` to `Vec`"),
    ("CorpusDecompressed", ("c", -1, 0), OverflowError, None),
    ("CompressionPolicyViolationDetected", ("c", "nope", "detail", 0), ValueError,
     "unknown violation_type 'nope'; expected config_mismatch, policy_conflict, duplicate_id or "
     "dimension_mismatch"),
])
def test_reconstructors_refuse_malformed_state(core, owner, args, error, message):
    expect_error(error, message, getattr(core, owner)._unpickle, *args)
