"""`SearchResult`: construction and float32 rounding of the score, the repr
(id escaping and the shortest positional float32 text, against NumPy's
formatter as an oracle), ranking comparisons, identity equality, no hashing."""

import math
import struct
import unicodedata

import numpy as np
import pytest

from codec_reference import Index, expect_error
from marrowfin_rs._core import SearchResult

FLOAT32_MAX = float(np.finfo(np.float32).max)
SMALLEST_SUBNORMAL = float(np.float32(2.0**-149))


def f32_from_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


class Floaty:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("score, stored", [
    (0.1, 0.10000000149011612),
    (Index(3), 3.0),
    (Floaty(), 2.5),
    # Just below the midpoint between FLT_MAX and 2**128 stays finite; the
    # midpoint itself rounds to even, i.e. to infinity.
    (FLOAT32_MAX + 2.0**103 - 2.0**75, FLOAT32_MAX),
    (FLOAT32_MAX + 2.0**103, math.inf),
    (SMALLEST_SUBNORMAL * 0.5, 0.0),  # a tie, to the even zero
    (SMALLEST_SUBNORMAL * 0.75, SMALLEST_SUBNORMAL),
])
def test_score_is_rounded_to_nearest_float32(score, stored):
    result = SearchResult(score=score, vector_id="doc-7")
    assert result.vector_id == "doc-7" and type(result.score) is float
    assert struct.pack("<d", result.score) == struct.pack("<d", stored)


@pytest.mark.parametrize("args, error, message", [
    ((1, 0.5), TypeError, "argument 'vector_id': 'int' object cannot be converted to 'PyString'"),
    ((b"a", 0.5), TypeError, "argument 'vector_id': 'bytes' object cannot be converted to 'PyString'"),
    (("a", "0.5"), TypeError, "argument 'score': must be real number, not str"),
    (("a", 10**400), OverflowError, "int too large to convert to float"),
])
def test_conversion_errors(args, error, message):
    expect_error(error, message, SearchResult, *args)


# ---- repr ---------------------------------------------------------------------


# Every character of the basic plane is checked by the sweep below.
@pytest.mark.parametrize("vector_id, quoted", [
    ("", '""'),
    ('say "hi" \\', r'"say \"hi\" \\"'),
    ("it's café 日本 😀", '"it\'s café 日本 😀"'),
    ("\ue000\U000e0041\U0010ffff", r'"\u{e000}\u{e0041}\u{10ffff}"'),  # private use, tag, unassigned
])
def test_repr_quotes_and_escapes_the_id(vector_id, quoted):
    assert repr(SearchResult(vector_id, 1.0)) == f"SearchResult(vector_id={quoted}, score=1)"


def test_repr_keeps_exactly_the_printable_non_marks_of_the_bmp():
    other_extend = {0x09BE, 0x09D7, 0x0B3E, 0x0B57, 0x0BBE, 0x0BD7, 0x0CC2, 0x0CD5, 0x0CD6, 0x0D3E,
                    0x0D57, 0x0DCF, 0x0DDF, 0x1B35, 0x200C, 0x302E, 0x302F, 0xFF9E, 0xFF9F}
    special = {'"': r"\"", "\\": r"\\", "\t": r"\t", "\r": r"\r", "\n": r"\n", "\0": r"\0"}

    def expected(ch):
        if ch in special:
            return special[ch]
        kept = ch.isprintable() and unicodedata.category(ch) not in ("Mn", "Me") and ord(ch) not in other_extend
        return ch if kept else "\\u{%x}" % ord(ch)

    for start in range(0, 0x10000, 0x800):
        chars = [chr(c) for c in range(start, start + 0x800) if not 0xD800 <= c < 0xE000]
        text = repr(SearchResult("".join(chars), 0.0))
        assert text == 'SearchResult(vector_id="' + "".join(map(expected, chars)) + '", score=0)'


@pytest.mark.parametrize("score, text", [
    (1.0, "1"), (0.5, "0.5"), (0.1, "0.1"), (-0.0, "-0"), (16777217.0, "16777216"),
    (1e20, "1" + "0" * 20), (1e-7, "0." + "0" * 6 + "1"),
    (math.nan, "NaN"), (-math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf"),
    (FLOAT32_MAX, "34028235" + "0" * 31), (-SMALLEST_SUBNORMAL, "-0." + "0" * 44 + "1"),
])
def test_repr_formats_the_score(score, text):
    assert repr(SearchResult("a", score)) == f'SearchResult(vector_id="a", score={text})'


def test_score_text_is_numpys_shortest_positional_text():
    # Random bit patterns, every power of two with its neighbours (where the
    # spacing of float32 values changes), and short decimals.
    rng = np.random.default_rng(5)
    patterns = rng.integers(0, 0x7F800000, 4000).tolist()
    for exponent in range(-149, 128):
        b = struct.unpack("<I", struct.pack("<f", 2.0**exponent))[0]
        patterns += [n for n in (b - 1, b, b + 1) if 0 < n < 0x7F800000]
    values = [f32_from_bits(b) for b in patterns] + [k / 10**d for d in range(12) for k in range(1, 200, 7)]
    for value in values + [-v for v in values]:
        result = SearchResult("x", value)
        text = repr(result)[len('SearchResult(vector_id="x", score='):-1]
        assert text == np.format_float_positional(np.float32(result.score), unique=True, trim="-"), value
        assert struct.pack("<f", np.float32(text)) == struct.pack("<f", result.score)


# ---- comparison and hashing ---------------------------------------------------


def test_less_than_means_ranks_before_and_nothing_else_is_defined():
    r1, r2 = SearchResult("r1", 0.9), SearchResult("r2", 0.1)
    assert r1 < r2 and r2 > r1 and not r2 < r1 and not r1 > r2
    assert not SearchResult("a", 0.5) < SearchResult("b", 0.5)  # no tie-break on the id
    assert not SearchResult("a", math.nan) < SearchResult("b", 0.5)
    for op in ("<=", ">="):
        with pytest.raises(TypeError):
            eval(f"r1 {op} r2")
    assert r1.__eq__(r2) is NotImplemented and r1.__le__(r2) is NotImplemented
    twin = SearchResult("r1", 0.9)
    assert r1 == r1 and not r1 != r1 and r1 != twin and not r1 == twin


class EqualsEverything:
    def __eq__(self, other):
        return True


@pytest.mark.parametrize("other", [0.5, "r", None, EqualsEverything()])
def test_comparing_with_other_types(other):
    result = SearchResult("r", 0.5)
    for op in ("<", ">", "<=", ">="):
        with pytest.raises(TypeError):
            eval(f"result {op} other")
    assert result.__lt__(other) is NotImplemented
    # != negates the interpreter's equality test, which may ask the other side.
    equal = isinstance(other, EqualsEverything)
    assert (result == other) is equal and (result != other) is not equal


def test_sorting_orders_by_descending_score_stably_and_hashing_is_refused():
    scores = [0.1, 0.9, 0.5, 0.9, -1.0, 0.5, 0.0, -0.0]
    results = [SearchResult(f"r{i}", s) for i, s in enumerate(scores)]
    assert [r.vector_id for r in sorted(results)] == ["r1", "r3", "r2", "r5", "r0", "r6", "r7", "r4"]
    with pytest.raises(TypeError):
        hash(results[0])
