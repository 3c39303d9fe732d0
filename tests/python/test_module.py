"""Module initialisation and the conventions every class shares: contents and
order of `_core` and its submodules, exception types, docstrings and text
signatures of every callable, argument-binding errors, class and instance
invariants, one interpreter per process, and lazy NumPy."""

import importlib
import inspect
import pathlib
import sys

import numpy as np
import pytest

from codec_reference import expect_error

CODEC_EXPORTS = ["CodecConfig", "Codebook", "RotationMatrix", "CompressedVector", "Codec",
                 "compress", "decompress"]
CORPUS_EXPORTS = ["CompressionPolicy", "VectorEntry", "Corpus", "CorpusCreated", "VectorsInserted",
                  "CorpusDecompressed", "CompressionPolicyViolationDetected"]
BACKEND_EXPORTS = ["SearchBackend", "SearchResult", "BruteForceBackend"]
EXCEPTIONS = {
    "DimensionMismatchError": "Raised when a vector's length does not match the expected dimension.",
    "ConfigMismatchError": "Raised when a compressed vector's config hash does not match the config.",
    "CodebookIncompatibleError": "Raised when a codebook's bit width does not match the codec config.",
    "DuplicateVectorError": "Raised when a vector ID already exists in the corpus.",
}
CORPUS_EXCEPTIONS = ["DimensionMismatchError", "DuplicateVectorError"]
ALL_CLASS_NAMES = [n for n in CODEC_EXPORTS + CORPUS_EXPORTS + BACKEND_EXPORTS if n[0].isupper()]

# (text signature, docstring) of every class, method and module function.
DOCS = {
    "CodecConfig": ("(bit_width, seed, dimension, residual_enabled=True)",
                    "Immutable value object describing codec parameters."),
    "Codebook": ("(entries, bit_width)", "Immutable lookup table mapping quantized indices to float32 values."),
    "Codebook.train": ("($cls, vectors, config)", "Train a codebook from representative FP32 vectors."),
    "Codebook.train_lloyd_max": ("($cls, vectors, config, iterations=32)",
                                 "Train a codebook whose levels minimise the mean squared quantization error\n"
                                 "(Lloyd-Max, started from the quantile levels of train)."),
    "RotationMatrix": (None, "Deterministic orthogonal rotation matrix for vector preconditioning."),
    "RotationMatrix.from_config": ("($cls, config)",
                                   "Build (or fetch from cache) a rotation matrix from the given config."),
    "RotationMatrix.from_seed_and_dim": (
        "($cls, seed, dimension)",
        "Build a rotation matrix directly from `(seed, dimension)`, bypassing `CodecConfig`.\n\n"
        "Rotation generation depends only on `(seed, dimension)`; `bit_width` is\n"
        "irrelevant. This constructor is used by the Python canonical bridge\n"
        "(`_install_canonical_rotation`) to avoid embedding a spurious `bit_width`\n"
        "in the call."),
    "RotationMatrix.matrix_f64_bytes": (
        "($self)",
        "Return the raw row-major `f64` bytes of the rotation matrix.\n\n"
        "Values are little-endian IEEE-754 doubles. Length is `dimension * dimension * 8`.\n"
        "Used by the Python canonical bridge to reconstruct a bit-identical matrix\n"
        "in the Python reference without re-running QR."),
    "RotationMatrix.apply": ("($self, vector)", None),
    "RotationMatrix.apply_inverse": ("($self, vector)", None),
    "CompressedVector": (None, "Immutable output of a codec compression pass."),
    "CompressedVector.to_bytes": ("($self)", "Serialize to compact binary form."),
    "CompressedVector.from_bytes": ("($cls, data)", "Deserialize from compact binary form."),
    "Codec": ("()", "Stateless codec service \u2014 wraps `marrowfin_core::codec::Codec`."),
    "Codec.compress": ("($self, vector, config, codebook)", None),
    "Codec.decompress": ("($self, compressed, config, codebook)", None),
    "Codec.compress_batch": ("($self, vectors, config, codebook)", None),
    "Codec.decompress_batch": ("($self, compressed, config, codebook)", None),
    "Codec.build_codebook": ("($self, training_vectors, config)", None),
    "Codec.build_rotation": ("($self, config)", None),
    "compress": ("(vector, config, codebook)",
                 "Module-level convenience \u2014 equivalent to `Codec().compress(...)`."),
    "decompress": ("(compressed, config, codebook)",
                   "Module-level convenience \u2014 equivalent to `Codec().decompress(...)`."),
    "CompressionPolicy": (None, "Immutable compression policy enum \u2014 Python-parity names."),
    "CompressionPolicy.requires_codec": ("($self)", "True only for `COMPRESS`."),
    "VectorEntry": (None, "Entity representing a stored vector in the corpus."),
    "Corpus": ("(corpus_id, codec_config, codebook, compression_policy, metadata=None)",
               "Aggregate root managing a collection of compressed embedding vectors."),
    "Corpus.insert": ("($self, vector_id, vector, metadata=None)", None),
    "Corpus.insert_batch": ("($self, vector_ids, vectors)",
                            "Insert one vector per id (row i of the 2-D float32 matrix under vector_ids[i]),\n"
                            "all or nothing, recording one VectorsInserted event."),
    "Corpus.search": ("($self, query, top_k)",
                      "The top_k stored vectors most similar to the query (cosine of the decoded\n"
                      "vectors), exactly as a BruteForceBackend holding decompress_all() returns them."),
    "Corpus.contains": ("($self, vector_id)", None),
    "Corpus.get": ("($self, vector_id)", None),
    "Corpus.decompress": ("($self, vector_id)", None),
    "Corpus.decompress_all": ("($self)", None),
    "Corpus.remove": ("($self, vector_id)", None),
    "Corpus.pending_events": ("($self)", "Return and clear the pending event list."),
    "CorpusCreated": (None, "Python parity for `marrowfin_cpu.corpus.events.CorpusCreated`."),
    "VectorsInserted": (None, "Python parity for `marrowfin_cpu.corpus.events.VectorsInserted`."),
    "CorpusDecompressed": (None, "Python parity for `marrowfin_cpu.corpus.events.CorpusDecompressed`."),
    "CompressionPolicyViolationDetected": (
        None, "Python parity for\n`marrowfin_cpu.corpus.events.CompressionPolicyViolationDetected`."),
    "SearchBackend": (None, "Runtime placeholder for the `SearchBackend` protocol.\n\n"
                            "Python's `typing.Protocol` is a structural type that carries no runtime\n"
                            "behavior; instantiation raises to preserve API parity with the reference\n"
                            "implementation where `SearchBackend()` is not meaningful either."),
    "SearchResult": ("(vector_id, score)", "Immutable (vector_id, score) pair returned by `BruteForceBackend.search`."),
    "BruteForceBackend": ("()", "Reference search backend: exhaustive cosine similarity."),
    "BruteForceBackend.ingest": ("($self, vectors)", "Ingest a mapping of `vector_id -> 1-D f32 array`."),
    "BruteForceBackend.search": ("($self, query, top_k)", None),
    "BruteForceBackend.remove": ("($self, vector_ids)", None),
    "BruteForceBackend.clear": ("($self)", None),
}

NO_CONSTRUCTOR = ["RotationMatrix", "CompressedVector", "CompressionPolicy", "VectorEntry",
                  "CorpusCreated", "VectorsInserted", "CorpusDecompressed",
                  "CompressionPolicyViolationDetected"]


def corpus_with_events(core):
    """A corpus holding one vector and one event of each kind it records."""
    config = core.CodecConfig(4, 42, 2)
    codebook = core.Codebook(np.arange(16, dtype=np.float32), 4)
    corpus = core.Corpus("c", config, codebook, core.CompressionPolicy.PASSTHROUGH)
    corpus.insert("a", np.zeros(2, dtype=np.float32))
    corpus.decompress_all()
    return corpus


# One instance of every class that Python code can obtain.
INSTANCE_FACTORIES = {
    "CodecConfig": lambda core: core.CodecConfig(4, 42, 8),
    "Codebook": lambda core: core.Codebook(np.arange(4, dtype=np.float32), 2),
    "RotationMatrix": lambda core: core.RotationMatrix.from_seed_and_dim(1, 4),
    "CompressedVector": lambda core: core.CompressedVector.from_bytes(b"\x01" + bytes(68) + b"\x04\x00"),
    "Codec": lambda core: core.Codec(),
    "CompressionPolicy": lambda core: core.CompressionPolicy.FP16,
    "VectorEntry": lambda core: corpus_with_events(core).get("a"),
    "Corpus": corpus_with_events,
    "CorpusCreated": lambda core: corpus_with_events(core).pending_events()[0],
    "VectorsInserted": lambda core: corpus_with_events(core).pending_events()[1],
    "CorpusDecompressed": lambda core: corpus_with_events(core).pending_events()[2],
    "SearchResult": lambda core: core.SearchResult("a", 0.5),
    "BruteForceBackend": lambda core: core.BruteForceBackend(),
}
# Classes that define their own comparison (tested in their own files).
OWN_EQUALITY = {"CompressionPolicy", "SearchResult"}


def public_names(module):
    return {name for name in dir(module) if not name.startswith("_")}


def test_all_lists_and_shared_objects(core):
    assert core.__all__ == ["__version__", *EXCEPTIONS, "codec", "corpus", "backend",
                            *CODEC_EXPORTS, *CORPUS_EXPORTS, *BACKEND_EXPORTS]
    assert public_names(core) == {name for name in core.__all__ if not name.startswith("_")}
    for module, name, expected in ((core.codec, "codec", CODEC_EXPORTS + list(EXCEPTIONS)),
                                   (core.corpus, "corpus", CORPUS_EXPORTS + CORPUS_EXCEPTIONS),
                                   (core.backend, "backend", BACKEND_EXPORTS)):
        assert type(module) is type(sys) and module.__name__ == name
        assert sys.modules.get(name) is not module and f"marrowfin_rs._core.{name}" not in sys.modules
        assert module.__all__ == expected and public_names(module) == set(expected)
        for attribute in expected:
            assert getattr(module, attribute) is getattr(core, attribute)
    for module in (core, core.codec, core.corpus, core.backend):
        assert not hasattr(module, "PanicException")


def test_version_and_docstring(core):
    assert core.__version__ == "1.1.0"
    first, _, rest = core.__doc__.partition("\n\n")
    assert first == "Initialise the `marrowfin_rs._core` Python extension module."
    assert "stable-ABI" in rest and "`marrowfin_rs`" in rest
    assert pathlib.Path(core.__file__).name == "_core.abi3.so"


@pytest.mark.parametrize("name", list(EXCEPTIONS))
def test_exception_types(core, name):
    error = getattr(core, name)
    assert error.__bases__ == (ValueError,)
    assert (error.__module__, error.__name__, error.__qualname__) == ("marrowfin_rs", name, name)
    assert error.__doc__ == EXCEPTIONS[name]
    assert error("text").args == ("text",)


@pytest.mark.parametrize("name", list(DOCS))
def test_docstrings_and_text_signatures(core, name):
    signature, doc = DOCS[name]
    owner, _, attribute = name.partition(".")
    value = getattr(getattr(core, owner), attribute) if attribute else getattr(core, owner)
    assert getattr(value, "__text_signature__", None) == signature
    assert value.__doc__ == doc
    if signature is not None:
        inspect.signature(value)


@pytest.mark.parametrize("name", ALL_CLASS_NAMES)
def test_class_invariants(core, name):
    cls = getattr(core, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("marrowfin_rs", name, name)
    assert repr(cls) == f"<class 'marrowfin_rs.{name}'>"
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1
    # Every public method is documented in the table above.
    for attribute in vars(cls):
        if not attribute.startswith("_") and callable(getattr(cls, attribute)):
            assert f"{name}.{attribute}" in DOCS


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
def test_classes_without_constructor(core, name):
    for args in ((), ("compress",)):
        expect_error(TypeError, f"No constructor defined for {name}", getattr(core, name), *args)


@pytest.mark.parametrize("name", sorted(INSTANCE_FACTORIES))
def test_instances_are_sealed_and_read_only(core, name):
    instance = INSTANCE_FACTORIES[name](core)
    assert not hasattr(instance, "__dict__")
    with pytest.raises(AttributeError):
        instance.extra = 1
    for attribute, value in vars(type(instance)).items():
        if not attribute.startswith("_") and inspect.isdatadescriptor(value):
            with pytest.raises(AttributeError):
                setattr(instance, attribute, None)
            with pytest.raises(AttributeError):
                delattr(instance, attribute)
    if name not in OWN_EQUALITY:
        twin = INSTANCE_FACTORIES[name](core)
        assert instance == instance and instance != twin and not instance == twin
        assert hash(instance) == object.__hash__(instance)
        with pytest.raises(TypeError):
            instance < twin  # noqa: B015


BINDING_ERRORS = [
    ("CodecConfig()",
     "CodecConfig.__new__() missing 3 required positional arguments: 'bit_width', 'seed', and 'dimension'"),
    ("CodecConfig(4, dimension=8)", "CodecConfig.__new__() missing 1 required positional argument: 'seed'"),
    ("CodecConfig(4, 1, 8, True, 5)", "CodecConfig.__new__() takes from 3 to 4 positional arguments but 5 were given"),
    ("CodecConfig(4, 1, 8, bit_width=4)", "CodecConfig.__new__() got multiple values for argument 'bit_width'"),
    ("CodecConfig(4, 1, 8, residual=True)", "CodecConfig.__new__() got an unexpected keyword argument 'residual'"),
    ("compress(x)", "compress() missing 2 required positional arguments: 'config' and 'codebook'"),
    ("Codec().compress(x, 1, 2, 3)", "Codec.compress() takes 3 positional arguments but 4 were given"),
    ("Codebook.train(x)", "Codebook.train() missing 1 required positional argument: 'config'"),
    ("Codec(1)", "Codec.__new__() takes no arguments (1 given)"),
    ("SearchBackend(x=1)", "SearchBackend.__new__() takes no keyword arguments"),
    ("RotationMatrix.from_seed_and_dim(1, 2).matrix_f64_bytes(1)",
     "RotationMatrix.matrix_f64_bytes() takes no arguments (1 given)"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors_name_the_callable(core, call, message):
    expect_error(TypeError, message, eval, call, dict(vars(core), x=np.zeros(2, dtype=np.float32)))


def test_reimport_returns_the_same_module(core):
    del sys.modules["marrowfin_rs._core"]
    try:
        again = importlib.import_module("marrowfin_rs._core")
    finally:
        sys.modules["marrowfin_rs._core"] = core
    assert again is core and again.CodecConfig is core.CodecConfig


def test_importing_does_not_import_numpy(run_python):
    out = run_python("""
        import sys
        import marrowfin_rs._core as core
        core.CodecConfig(4, 1, 8, residual_enabled=False)
        print("numpy" in sys.modules)
    """)
    assert out.strip() == "False"


SUBINTERPRETER_PROBE = """
import os
try:
    import marrowfin_rs._core
    outcome = "imported"
except ImportError as error:
    outcome = "ImportError: " + str(error)
os.write(FD, outcome.encode())
"""


@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_sub_interpreter_is_refused(run_python, kind):
    # In a child process: a crashed sub-interpreter must not take the test run with it.
    out = run_python(f"""
        import os
        import marrowfin_rs._core
        try:
            import _interpreters as interpreters  # 3.13 and later
            interp = interpreters.create(interpreters.new_config({kind!r}))
        except ImportError:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated={kind == "isolated"})
        read_end, write_end = os.pipe()
        interpreters.run_string(interp, {SUBINTERPRETER_PROBE!r}.replace("FD", str(write_end)))
        interpreters.destroy(interp)
        print(os.read(read_end, 4096).decode())
    """)
    assert out.startswith("ImportError: ")
    if kind == "legacy":
        # Only a legacy sub-interpreter gets past the interpreter's own check
        # for single-phase modules; the module itself refuses it.
        assert out.strip() == ("ImportError: marrowfin_rs._core supports only one interpreter per "
                               "process; sub-interpreters are not supported")
