"""`CompressionPolicy`: members created once, their texts and ordinals,
equality with members and integers, the process-independent SipHash-1-3 hash,
and the absence of a constructor and of ordering."""

import inspect
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from marrowfin_rs._core import Codebook, CodecConfig, CompressionPolicy, Corpus

MEMBERS = [
    # name, ordinal, value, requires_codec, hash
    ("COMPRESS", 0, "compress", True, -4800647303603446203),
    ("PASSTHROUGH", 1, "passthrough", False, 2206609067086327257),
    ("FP16", 2, "fp16", False, -6569889354672326634),
]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def corpus_policy(member):
    """A policy object that is not the class attribute: the one a corpus hands out."""
    config = CodecConfig(2, 0, 1)
    codebook = Codebook(np.array([-1, 0, 1, 2], dtype=np.float32), 2)
    return Corpus("c", config, codebook, member).compression_policy


@pytest.mark.parametrize("name, ordinal, value, requires_codec, hash_value", MEMBERS)
def test_member_fields(name, ordinal, value, requires_codec, hash_value):
    member = getattr(CompressionPolicy, name)
    assert type(member) is CompressionPolicy
    assert member is getattr(CompressionPolicy, name)
    assert (member.name, member.value, int(member)) == (name, value, ordinal)
    assert member.requires_codec() is requires_codec
    assert repr(member) == str(member) == f"CompressionPolicy.{name}"
    assert hash(member) == hash_value
    copy = corpus_policy(member)
    assert copy is not member and copy == member and hash(copy) == hash_value
    assert copy.name == name


def run_with_hash_seed(script, seed):
    path = os.pathsep.join(p for p in sys.path if p)
    env = dict(os.environ, PYTHONHASHSEED=seed, PYTHONPATH=path)
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                               text=True, timeout=120, env=env, check=True)
    return completed.stdout


def test_hash_is_siphash13_of_the_ordinal_in_every_process():
    # Under PYTHONHASHSEED=0 the interpreter hashes bytes with SipHash-1-3 and
    # a zero key, an independent implementation of the same function.
    script = """
        from marrowfin_rs._core import CompressionPolicy as P
        members = [P.COMPRESS, P.PASSTHROUGH, P.FP16]
        print([hash(m) for m in members])
        print([hash(int(m).to_bytes(8, "little")) for m in members])
    """
    expected = [m[4] for m in MEMBERS]
    for seed in ("0", "12345"):
        ours, interpreters = run_with_hash_seed(script, seed).splitlines()
        assert eval(ours) == expected
        if seed == "0":
            assert eval(interpreters) == expected


@pytest.mark.parametrize(
    "other, equal_to",
    [
        (0, "COMPRESS"), (1, "PASSTHROUGH"), (2, "FP16"),
        (False, "COMPRESS"), (True, "PASSTHROUGH"),
        (Index(2), "FP16"),
        (3, None), (-1, None), (2**70, None), (-(2**70), None),
        ("fp16", None), ("FP16", None), (2.0, None), (None, None), (b"\x02", None),
    ],
)
def test_equality_with_other_objects(other, equal_to):
    for name, *_ in MEMBERS:
        member = getattr(CompressionPolicy, name)
        assert (member == other) is (name == equal_to)
        assert (other == member) is (name == equal_to)
        assert (member != other) is (name != equal_to)


def test_equality_between_members():
    members = [getattr(CompressionPolicy, m[0]) for m in MEMBERS]
    for a in members:
        for b in members:
            assert (a == b) is (a is b)
            assert (a != b) is (a is not b)
            assert (a == corpus_policy(b)) is (a is b)


def test_usable_as_dict_key():
    table = {CompressionPolicy.COMPRESS: "c", CompressionPolicy.FP16: "h"}
    assert table[corpus_policy(CompressionPolicy.FP16)] == "h"
    assert 2 not in table  # equal to FP16, but hashes differently


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_no_ordering(op):
    with pytest.raises(TypeError):
        eval(f"a {op} b", {"a": CompressionPolicy.FP16, "b": CompressionPolicy.COMPRESS})
    with pytest.raises(TypeError):
        eval(f"a {op} 1", {"a": CompressionPolicy.FP16})


@pytest.mark.parametrize("args", [("compress",), (0,), ()])
def test_no_constructor(args):
    with pytest.raises(TypeError) as caught:
        CompressionPolicy(*args)
    assert str(caught.value) == "No constructor defined for CompressionPolicy"


def test_class_and_members_are_immutable():
    with pytest.raises(TypeError):
        CompressionPolicy.COMPRESS = CompressionPolicy.FP16
    assert CompressionPolicy.COMPRESS.name == "COMPRESS"
    for attribute in ("name", "value", "extra"):
        with pytest.raises(AttributeError):
            setattr(CompressionPolicy.FP16, attribute, "x")


def test_docstrings():
    assert CompressionPolicy.__doc__ == (
        "Immutable compression policy enum \u2014 Python-parity names.")
    assert CompressionPolicy.requires_codec.__doc__ == "True only for `COMPRESS`."
    assert CompressionPolicy.requires_codec.__text_signature__ == "($self)"
    assert str(inspect.signature(CompressionPolicy.FP16.requires_codec)) == "()"
