"""Module initialisation: contents and order of `_core` and its submodules,
exception types, identity of shared objects, class invariants, one
interpreter per process, and lazy NumPy."""

import importlib
import inspect
import pathlib
import sys

import numpy as np
import pytest

# Names in the order each module adds them. A class or function joins its
# list here once its binding exists.
CODEC_EXPORTS = [
    "CodecConfig",
    "Codebook", "RotationMatrix", "CompressedVector", "Codec", "compress", "decompress",
]
CORPUS_EXPORTS = [
    "CompressionPolicy", "VectorEntry", "Corpus", "CorpusCreated", "VectorsInserted",
    "CorpusDecompressed", "CompressionPolicyViolationDetected",
]
BACKEND_EXPORTS = [
    "SearchBackend", "SearchResult", "BruteForceBackend",
]

EXCEPTIONS = {
    "DimensionMismatchError": "Raised when a vector's length does not match the expected dimension.",
    "ConfigMismatchError": "Raised when a compressed vector's config hash does not match the config.",
    "CodebookIncompatibleError": "Raised when a codebook's bit width does not match the codec config.",
    "DuplicateVectorError": "Raised when a vector ID already exists in the corpus.",
}
CORPUS_EXCEPTIONS = ["DimensionMismatchError", "DuplicateVectorError"]

# Classes whose docstring carries a class-level text signature (those with a
# constructor taking named parameters).
SIGNATURES = {
    "CodecConfig": "(bit_width, seed, dimension, residual_enabled=True)",
    "Codebook": "(entries, bit_width)",
    "Codec": "()",
    "Corpus": "(corpus_id, codec_config, codebook, compression_policy, metadata=None)",
    "SearchResult": "(vector_id, score)",
    "BruteForceBackend": "()",
}

def corpus_with_events(core):
    """A corpus holding one vector and one event of each kind it records."""
    config = core.CodecConfig(4, 42, 2)
    codebook = core.Codebook(np.arange(16, dtype=np.float32), 4)
    corpus = core.Corpus("c", config, codebook, core.CompressionPolicy.PASSTHROUGH)
    corpus.insert("a", np.zeros(2, dtype=np.float32))
    corpus.decompress_all()
    return corpus


# One instance of every class that Python code can obtain, for the instance invariants.
INSTANCE_FACTORIES = {
    "CodecConfig": lambda core: core.CodecConfig(4, 42, 8),
    "Codebook": lambda core: core.Codebook(np.arange(4, dtype=np.float32), 2),
    "RotationMatrix": lambda core: core.RotationMatrix.from_seed_and_dim(1, 4),
    "CompressedVector": lambda core: core.CompressedVector.from_bytes(
        b"\x01" + bytes(68) + b"\x04\x00"),
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

ALL_CLASS_NAMES = [n for n in CODEC_EXPORTS + CORPUS_EXPORTS + BACKEND_EXPORTS if n[0].isupper()]


def public_names(module):
    return {name for name in dir(module) if not name.startswith("_")}


def test_core_all_lists_names_in_order_of_addition(core):
    assert core.__all__ == [
        "__version__",
        *EXCEPTIONS,
        "codec",
        "corpus",
        "backend",
        *CODEC_EXPORTS,
        *CORPUS_EXPORTS,
        *BACKEND_EXPORTS,
    ]
    assert public_names(core) == {name for name in core.__all__ if not name.startswith("_")}


def test_submodule_all_lists_names_in_order_of_addition(core):
    assert core.codec.__all__ == [*CODEC_EXPORTS, *EXCEPTIONS]
    assert core.corpus.__all__ == [*CORPUS_EXPORTS, *CORPUS_EXCEPTIONS]
    assert core.backend.__all__ == BACKEND_EXPORTS
    for module in (core.codec, core.corpus, core.backend):
        assert public_names(module) == set(getattr(module, "__all__", []))


def test_version_and_docstring(core):
    assert core.__version__ == "1.1.0"
    first, blank, rest = core.__doc__.partition("\n\n")
    assert first == "Initialise the `marrowfin_rs._core` Python extension module."
    assert "stable-ABI" in rest and "`marrowfin_rs`" in rest


def test_submodules_are_plain_modules_outside_sys_modules(core):
    for name in ("codec", "corpus", "backend"):
        submodule = getattr(core, name)
        assert type(submodule) is type(sys)
        assert submodule.__name__ == name
        assert sys.modules.get(name) is not submodule
        assert f"marrowfin_rs._core.{name}" not in sys.modules


@pytest.mark.parametrize("name", list(EXCEPTIONS))
def test_exception_types(core, name):
    error = getattr(core, name)
    assert error.__bases__ == (ValueError,)
    assert error.__module__ == "marrowfin_rs"
    assert error.__name__ == error.__qualname__ == name
    assert error.__doc__ == EXCEPTIONS[name]
    assert getattr(core.codec, name) is error
    if name in CORPUS_EXCEPTIONS:
        assert getattr(core.corpus, name) is error
    else:
        assert not hasattr(core.corpus, name)
    assert not hasattr(core.backend, name)
    with pytest.raises(ValueError) as caught:
        raise error("vector length 5 does not match config dimension 4")
    assert caught.value.args == ("vector length 5 does not match config dimension 4",)


def test_submodule_classes_are_the_flat_classes(core):
    for module, names in ((core.codec, CODEC_EXPORTS), (core.corpus, CORPUS_EXPORTS),
                          (core.backend, BACKEND_EXPORTS)):
        for name in names:
            assert getattr(module, name) is getattr(core, name)


def test_panic_exception_is_not_exported(core):
    for module in (core, core.codec, core.corpus, core.backend):
        assert not hasattr(module, "PanicException")


@pytest.mark.parametrize("name", ALL_CLASS_NAMES)
def test_class_identity_and_immutability(core, name):
    cls = getattr(core, name)
    assert cls.__module__ == "marrowfin_rs"
    assert cls.__name__ == cls.__qualname__ == name
    assert repr(cls) == f"<class 'marrowfin_rs.{name}'>"
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1
    if name in SIGNATURES:
        assert str(inspect.signature(cls)) == SIGNATURES[name]


@pytest.mark.parametrize("name", ALL_CLASS_NAMES)
def test_every_method_has_a_signature(core, name):
    cls = getattr(core, name)
    for attribute, value in vars(cls).items():
        if attribute.startswith("__") or not callable(getattr(cls, attribute)):
            continue
        inspect.signature(getattr(cls, attribute))


@pytest.mark.parametrize("name", sorted(INSTANCE_FACTORIES))
def test_instances_take_no_new_attributes(core, name):
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


def test_module_functions_have_signatures(core):
    for name in CODEC_EXPORTS:
        value = getattr(core, name)
        if not isinstance(value, type):
            inspect.signature(value)


def test_installed_file_is_the_stable_abi_binary(core):
    assert pathlib.Path(core.__file__).name == "_core.abi3.so"


def test_reimport_returns_the_same_module(core):
    del sys.modules["marrowfin_rs._core"]
    try:
        again = importlib.import_module("marrowfin_rs._core")
    finally:
        sys.modules["marrowfin_rs._core"] = core
    assert again is core
    assert again.CodecConfig is core.CodecConfig


def test_importing_does_not_import_numpy(run_python):
    out = run_python(
        """
        import sys
        import marrowfin_rs._core as core
        core.CodecConfig(4, 1, 8, residual_enabled=False)
        print("numpy" in sys.modules)
        """
    )
    assert out.strip() == "False"


SUBINTERPRETER_PROBE = """
import os
try:
    import marrowfin_rs._core
    outcome = "imported"
except ImportError as error:
    outcome = "ImportError: " + str(error)
os.write({fd}, outcome.encode())
"""


@pytest.mark.parametrize("isolated", [False, True], ids=["legacy", "isolated"])
def test_sub_interpreter_is_refused(run_python, isolated):
    # In a child process: a crashed sub-interpreter must not take the test run with it.
    out = run_python(
        f"""
        import os
        import marrowfin_rs._core
        try:
            import _interpreters as interpreters
            interp = interpreters.create(interpreters.new_config({'"isolated"' if isolated else '"legacy"'}))
        except ImportError:
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                print("unsupported")
                raise SystemExit(0)
            interp = interpreters.create(isolated={isolated})
        read_end, write_end = os.pipe()
        interpreters.run_string(interp, {SUBINTERPRETER_PROBE!r}.format(fd=write_end))
        interpreters.destroy(interp)
        print(os.read(read_end, 4096).decode())
        """
    )
    if out.strip() == "unsupported":
        pytest.skip("no sub-interpreter module in this Python")
    assert out.startswith("ImportError: ")
    if not isolated:
        # Only a legacy sub-interpreter gets past the interpreter's own check
        # for single-phase modules; the module itself refuses it.
        assert out.strip() == (
            "ImportError: marrowfin_rs._core supports only one interpreter per process; "
            "sub-interpreters are not supported"
        )
