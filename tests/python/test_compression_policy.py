"""`CompressionPolicy`: members created once, their texts and ordinals,
equality with members and integers, the process-independent SipHash-1-3 hash,
and the absence of ordering."""

import numpy as np
import pytest

from codec_reference import Index
from marrowfin_rs._core import Codebook, CodecConfig, CompressionPolicy, Corpus

MEMBERS = [
    # name, ordinal, value, requires_codec, hash
    ("COMPRESS", 0, "compress", True, -4800647303603446203),
    ("PASSTHROUGH", 1, "passthrough", False, 2206609067086327257),
    ("FP16", 2, "fp16", False, -6569889354672326634),
]


def corpus_policy(member):
    """A policy object that is not the class attribute: the one a corpus hands out."""
    codebook = Codebook(np.array([-1, 0, 1, 2], dtype=np.float32), 2)
    return Corpus("c", CodecConfig(2, 0, 1), codebook, member).compression_policy


@pytest.mark.parametrize("name, ordinal, value, requires_codec, hash_value", MEMBERS)
def test_member_fields(name, ordinal, value, requires_codec, hash_value):
    member = getattr(CompressionPolicy, name)
    assert type(member) is CompressionPolicy and member is getattr(CompressionPolicy, name)
    assert (member.name, member.value, int(member)) == (name, value, ordinal)
    assert member.requires_codec() is requires_codec
    assert repr(member) == str(member) == f"CompressionPolicy.{name}"
    assert hash(member) == hash_value
    copy = corpus_policy(member)
    assert copy is not member and copy == member and hash(copy) == hash_value and copy.name == name
    for other_name, *_ in MEMBERS:
        other = getattr(CompressionPolicy, other_name)
        assert (member == other) is (other_name == name) and (member != other) is (other_name != name)
        with pytest.raises(TypeError):
            member <= other  # noqa: B015


def test_hash_is_siphash13_of_the_ordinal_in_every_process(run_python):
    # Under PYTHONHASHSEED=0 the interpreter hashes bytes with SipHash-1-3 and
    # a zero key: an independent implementation of the same function.
    out = run_python("""
        from marrowfin_rs._core import CompressionPolicy as P
        print([hash(int(m).to_bytes(8, "little")) for m in (P.COMPRESS, P.PASSTHROUGH, P.FP16)])
    """, PYTHONHASHSEED="0")
    assert eval(out) == [m[4] for m in MEMBERS]


@pytest.mark.parametrize("other, equal_to", [
    (0, "COMPRESS"), (1, "PASSTHROUGH"), (2, "FP16"), (True, "PASSTHROUGH"), (Index(2), "FP16"),
    (3, None), (-1, None), (2**70, None), ("fp16", None), (2.0, None), (None, None),
])
def test_equality_and_no_ordering_with_other_objects(other, equal_to):
    for name, *_ in MEMBERS:
        member = getattr(CompressionPolicy, name)
        assert (member == other) is (name == equal_to) and (other == member) is (name == equal_to)
        assert (member != other) is (name != equal_to)
        for op in ("<", "<=", ">", ">="):  # no ordering
            with pytest.raises(TypeError):
                eval(f"a {op} b", {"a": member, "b": other})
