"""The `marrowfin_rs` package around the extension: the sub-packages `codec`,
`corpus` and `backend`, the top-level re-exports, `__version__`, and the type
stubs shipped with it."""

import ast
import importlib
import importlib.metadata
import pathlib
import tomllib

import pytest

import marrowfin_rs

SUBPACKAGES = ["codec", "corpus", "backend"]
PACKAGE_DIR = pathlib.Path(marrowfin_rs.__file__).parent
STUBS = ["__init__.pyi", "_core.pyi", "codec.pyi", "corpus.pyi", "backend.pyi"]


@pytest.mark.parametrize("name", SUBPACKAGES)
def test_subpackage_holds_the_extensions_objects(core, name):
    module = importlib.import_module(f"marrowfin_rs.{name}")
    assert module.__name__ == f"marrowfin_rs.{name}"
    assert getattr(marrowfin_rs, name) is module
    assert module.__all__ == getattr(core, name).__all__
    for attribute in module.__all__:
        assert getattr(module, attribute) is getattr(core, attribute)


def test_top_level_reexports_every_name_of_the_extension(core):
    assert marrowfin_rs.__all__ == core.__all__
    for name in core.__all__:
        if name in SUBPACKAGES:
            assert getattr(marrowfin_rs, name) is importlib.import_module(f"marrowfin_rs.{name}")
        elif name != "__version__":
            assert getattr(marrowfin_rs, name) is getattr(core, name)


def test_version_comes_from_the_distribution_metadata():
    assert marrowfin_rs.__version__ == importlib.metadata.version("marrowfin_rs")
    pyproject = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"
    if pyproject.exists():
        with pyproject.open("rb") as file:
            assert marrowfin_rs.__version__ == tomllib.load(file)["project"]["version"]


@pytest.mark.parametrize("statement", [
    "from marrowfin_rs.codec import Codec, CodecConfig, Codebook, CompressedVector, RotationMatrix",
    "from marrowfin_rs.corpus import Corpus, CompressionPolicy, VectorEntry, CorpusCreated",
    "from marrowfin_rs.backend import BruteForceBackend, SearchResult, SearchBackend",
    "import marrowfin_rs.codec as module; Codec = module.Codec",
])
def test_first_import_of_a_subpackage_in_a_fresh_interpreter(run_python, statement):
    output = run_python(f"""
        {statement}
        import sys
        from marrowfin_rs import _core
        print(sorted(name for name in sys.modules if name.startswith("marrowfin_rs")))
    """)
    assert output.strip() == str(sorted(
        ["marrowfin_rs", "marrowfin_rs._core", "marrowfin_rs.backend", "marrowfin_rs.codec",
         "marrowfin_rs.corpus"]))


def _undocumented(node, prefix=""):
    """Public classes, functions, methods and properties of a stub without a docstring."""
    missing = []
    for child in node.body:
        if isinstance(child, (ast.ClassDef, ast.FunctionDef)):
            name = prefix + child.name
            public = not child.name.startswith("_") or (
                child.name.startswith("__") and child.name.endswith("__"))
            if public and ast.get_docstring(child) is None:
                missing.append(name)
            if isinstance(child, ast.ClassDef):
                missing += _undocumented(child, name + ".")
    return missing


@pytest.mark.parametrize("stub", STUBS)
def test_every_public_name_in_the_stubs_has_a_docstring(stub):
    tree = ast.parse((PACKAGE_DIR / stub).read_text(encoding="utf-8"))
    assert ast.get_docstring(tree)
    assert _undocumented(tree) == []

