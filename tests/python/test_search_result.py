"""`SearchResult`: construction and float32 rounding of the score, the repr
(id escaping and the shortest positional float32 text, against NumPy's
Dragon4 as an oracle), ranking comparisons, identity equality, no hashing."""

import math
import struct

import numpy as np
import pytest

from marrowfin_rs._core import SearchResult

FLOAT32_MAX = float(np.finfo(np.float32).max)
SMALLEST_SUBNORMAL = float(np.float32(2.0**-149))


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def f32_from_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def expected_score_text(value):
    """Our score format through NumPy's shortest-unique positional formatter."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "-inf" if value < 0 else "inf"
    return np.format_float_positional(np.float32(value), unique=True, trim="-")


def score_text(result):
    text = repr(result)
    prefix = text.index(", score=") + len(", score=")
    assert text.endswith(")")
    return text[prefix:-1]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 2.5


# ---- construction -----------------------------------------------------------


def test_fields_and_keywords():
    result = SearchResult(score=0.25, vector_id="doc-7")
    assert (result.vector_id, result.score) == ("doc-7", 0.25)
    assert type(result.score) is float


@pytest.mark.parametrize(
    "score, stored",
    [
        (0.1, 0.10000000149011612),
        (1, 1.0),
        (True, 1.0),
        (Index(3), 3.0),
        (Floaty(), 2.5),
        (np.float64(1 / 3), f32(1 / 3)),
        (-0.0, -0.0),
        (1e300, math.inf),
        (-1e300, -math.inf),
        (2**128, math.inf),
        (FLOAT32_MAX, FLOAT32_MAX),
        # Just below the midpoint between FLT_MAX and 2**128 stays finite; the
        # midpoint itself rounds to even, i.e. to infinity.
        (FLOAT32_MAX + 2.0**103 - 2.0**75, FLOAT32_MAX),
        (FLOAT32_MAX + 2.0**103, math.inf),
        (1e-50, 0.0),
        (SMALLEST_SUBNORMAL * 0.5, 0.0),  # a tie, to the even zero
        (SMALLEST_SUBNORMAL * 0.75, SMALLEST_SUBNORMAL),
    ],
)
def test_score_is_rounded_to_nearest_float32(score, stored):
    value = SearchResult("a", score).score
    assert struct.pack("<d", value) == struct.pack("<d", stored)


def test_score_rounding_matches_numpy_cast_on_random_doubles():
    rng = np.random.default_rng(11)
    doubles = np.concatenate([
        rng.standard_normal(2000) * 10.0 ** rng.integers(-45, 39, 2000),
        np.frombuffer(rng.bytes(8 * 2000), dtype=np.float64),
    ])
    with np.errstate(over="ignore", invalid="ignore"):
        expected = doubles.astype(np.float32)
    for x, want in zip(doubles.tolist(), expected.tolist()):
        got = SearchResult("a", x).score
        assert got == want or (math.isnan(got) and math.isnan(want))


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((1, 0.5), TypeError, "argument 'vector_id': 'int' object cannot be converted to 'PyString'"),
        ((b"a", 0.5), TypeError, "argument 'vector_id': 'bytes' object cannot be converted to 'PyString'"),
        (("a", "0.5"), TypeError, "argument 'score': must be real number, not str"),
        (("a", None), TypeError, "argument 'score': must be real number, not NoneType"),
        (("a", 10**400), OverflowError, "int too large to convert to float"),
    ],
)
def test_conversion_errors(args, error, message):
    with pytest.raises(error) as caught:
        SearchResult(*args)
    assert type(caught.value) is error
    assert str(caught.value) == message


# ---- repr ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "vector_id, quoted",
    [
        ("a", '"a"'),
        ("", '""'),
        ('say "hi"', r'"say \"hi\""'),
        ("back\\slash", r'"back\\slash"'),
        ("tab\tcr\rlf\n", r'"tab\tcr\rlf\n"'),
        ("nul\0end", r'"nul\0end"'),
        ("\x01\x1b\x7f", r'"\u{1}\u{1b}\u{7f}"'),
        ("it's", '"it\'s"'),
        ("café Ωmega 日本 😀", '"café Ωmega 日本 😀"'),
        ("e\u0301", r'"e\u{301}"'),  # combining acute accent (Mn)
        ("\u20dd", r'"\u{20dd}"'),  # combining enclosing circle (Me)
        ("\u09be", r'"\u{9be}"'),  # Bengali vowel sign AA (Mc, Other_Grapheme_Extend)
        ("\u200c", r'"\u{200c}"'),  # zero-width non-joiner (Cf)
        ("\u0903", '"\u0903"'),  # Devanagari sign visarga (Mc, not extending)
        ("\u00a0\u2028\u00ad", r'"\u{a0}\u{2028}\u{ad}"'),  # space and format chars
        ("\ue000\U000e0041", r'"\u{e000}\u{e0041}"'),  # private use, tag
        ("\U0010ffff", r'"\u{10ffff}"'),  # unassigned
    ],
)
def test_repr_quotes_and_escapes_the_id(vector_id, quoted):
    assert repr(SearchResult(vector_id, 1.0)) == f"SearchResult(vector_id={quoted}, score=1)"


def test_repr_keeps_exactly_the_printable_non_marks():
    # Every code point of the Basic Multilingual Plane: kept as is exactly
    # when the interpreter calls it printable and it is not a combining mark.
    import unicodedata

    other_extend = {0x09BE, 0x09D7, 0x0B3E, 0x0B57, 0x0BBE, 0x0BD7, 0x0CC2, 0x0CD5, 0x0CD6, 0x0D3E,
                    0x0D57, 0x0DCF, 0x0DDF, 0x1B35, 0x200C, 0x302E, 0x302F, 0xFF9E, 0xFF9F}
    special = {'"': r"\"", "\\": r"\\", "\t": r"\t", "\r": r"\r", "\n": r"\n", "\0": r"\0"}
    for start in range(0, 0x10000, 0x800):
        chars = [chr(c) for c in range(start, start + 0x800) if not 0xD800 <= c < 0xE000]
        text = repr(SearchResult("".join(chars), 0.0))
        expected = []
        for ch in chars:
            if ch in special:
                expected.append(special[ch])
            elif (ch.isprintable() and unicodedata.category(ch) not in ("Mn", "Me")
                  and ord(ch) not in other_extend):
                expected.append(ch)
            else:
                expected.append("\\u{%x}" % ord(ch))
        assert text == 'SearchResult(vector_id="' + "".join(expected) + '", score=0)'


@pytest.mark.parametrize(
    "score, text",
    [
        (1.0, "1"),
        (0.5, "0.5"),
        (0.1, "0.1"),
        (-2.0, "-2"),
        (0.0, "0"),
        (-0.0, "-0"),
        (1e20, "1" + "0" * 20),
        (1e-7, "0." + "0" * 6 + "1"),
        (123.456, "123.456"),
        (16777216.0, "16777216"),
        (16777217.0, "16777216"),
        (math.nan, "NaN"),
        (-math.nan, "NaN"),
        (math.inf, "inf"),
        (-math.inf, "-inf"),
        (FLOAT32_MAX, "34028235" + "0" * 31),
        (SMALLEST_SUBNORMAL, "0." + "0" * 44 + "1"),
        (-SMALLEST_SUBNORMAL, "-0." + "0" * 44 + "1"),
        (float(np.finfo(np.float32).tiny), "0." + "0" * 37 + "11754944"),
        (1 / 3, "0.33333334"),
    ],
)
def test_repr_formats_the_score(score, text):
    assert repr(SearchResult("a", score)) == f'SearchResult(vector_id="a", score={text})'


def test_score_text_is_numpys_shortest_positional_text():
    # Random bit patterns, every power of two with its neighbours (where the
    # spacing of float32 values changes), and short decimals and integers.
    rng = np.random.default_rng(5)
    values = [f32_from_bits(int(b)) for b in rng.integers(0, 2**32, 20000, dtype=np.uint64)]
    for exponent in range(-149, 128):
        b = struct.unpack("<I", struct.pack("<f", 2.0**exponent))[0]
        values += [f32_from_bits(n) for n in (b - 1, b, b + 1) if 0 < n < 0x7F800000]
    decimals = [f32(k / 10**d) for d in range(0, 12) for k in range(1, 200, 7)]
    decimals += [float(10**e) for e in range(0, 39)] + [float(2**24 + k) for k in range(-4, 5)]
    values += decimals + [-v for v in decimals]
    for value in values:
        result = SearchResult("x", value)
        text = score_text(result)
        assert text == expected_score_text(result.score), value
        assert "e" not in text and "E" not in text
        if not math.isnan(result.score):
            # Reads back as the very same float32.
            assert struct.pack("<f", np.float32(text)) == struct.pack("<f", result.score)


# ---- comparison and hashing ----------------------------------------------------


def test_less_than_means_ranks_before():
    r1, r2 = SearchResult("r1", 0.9), SearchResult("r2", 0.1)
    assert r1 < r2
    assert not r2 < r1
    assert r2 > r1
    assert not r1 > r2
    assert not SearchResult("a", 0.5) < SearchResult("b", 0.5)  # no tie-break on the id
    assert not SearchResult("a", math.nan) < SearchResult("b", 0.5)


@pytest.mark.parametrize("op", ["<=", ">="])
def test_other_orderings_are_not_defined(op):
    r1, r2 = SearchResult("r1", 0.9), SearchResult("r2", 0.1)
    with pytest.raises(TypeError):
        eval(f"r1 {op} r2")


@pytest.mark.parametrize("other", [0.5, "r", None, object()])
def test_ordering_against_other_types_is_refused(other):
    result = SearchResult("r", 0.5)
    for op in ("<", ">", "<=", ">="):
        with pytest.raises(TypeError):
            eval(f"result {op} other")
    assert result.__lt__(other) is NotImplemented
    assert (result == other) is False
    assert (result != other) is True


def test_equality_is_identity():
    result = SearchResult("r", 0.9)
    twin = SearchResult("r", 0.9)
    assert result == result and not result != result
    assert result != twin and not result == twin
    assert result.__eq__(twin) is NotImplemented
    assert result.__le__(twin) is NotImplemented


def test_not_equal_negates_the_other_sides_equality():
    class EqualsEverything:
        def __eq__(self, other):
            return True

    assert (SearchResult("r", 0.9) != EqualsEverything()) is False


def test_sorting_orders_by_descending_score_stably():
    scores = [0.1, 0.9, 0.5, 0.9, -1.0, 0.5, 0.0, -0.0]
    results = [SearchResult(f"r{i}", s) for i, s in enumerate(scores)]
    ordered = sorted(results)
    assert [r.vector_id for r in ordered] == ["r1", "r3", "r2", "r5", "r0", "r6", "r7", "r4"]
    assert sorted([SearchResult("r2", 0.1), SearchResult("r1", 0.9)])[0].vector_id == "r1"


def test_unhashable():
    result = SearchResult("r", 0.9)
    with pytest.raises(TypeError):
        hash(result)
    with pytest.raises(TypeError):
        {result}
