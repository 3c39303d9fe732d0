"""`CodecConfig`: argument conversion (the "argument 'name': " prefix rule
included), validation, the config hash against an independent SHA-256, and
the representation."""

import hashlib

import numpy as np
import pytest

from codec_reference import Index, expect_error
from marrowfin_rs._core import CodecConfig

U64_MAX = 2**64 - 1
OUT_OF_RANGE = "out of range integral type conversion attempted"


def expected_hash(bit_width, seed, dimension, residual_enabled):
    text = (f"CodecConfig(bit_width={bit_width},seed={seed},dimension={dimension},"
            f"residual_enabled={residual_enabled})")
    return hashlib.sha256(text.encode()).hexdigest()


def test_defaults_fields_and_repr():
    config = CodecConfig(4, 42, 768)
    assert (config.bit_width, config.seed, config.dimension) == (4, 42, 768)
    assert config.residual_enabled is True and config.num_codebook_entries == 16
    assert config.config_hash == expected_hash(4, 42, 768, True)
    assert repr(config) == "CodecConfig(bit_width=4, seed=42, dimension=768, residual_enabled=True)"
    config = CodecConfig(residual_enabled=False, dimension=16384, seed=U64_MAX, bit_width=8)
    assert repr(config) == f"CodecConfig(bit_width=8, seed={U64_MAX}, dimension=16384, residual_enabled=False)"
    assert (config.seed, config.num_codebook_entries) == (U64_MAX, 256)
    assert config.config_hash == expected_hash(8, U64_MAX, 16384, False)
    assert (CodecConfig(2, 0, 1).dimension, CodecConfig(2, 0, 1).num_codebook_entries) == (1, 4)


@pytest.mark.parametrize("args, error, message", [
    ((0, 0, 8), ValueError, "bit_width must be one of [2, 4, 8], got 0"),
    ((255, 0, 8), ValueError, "bit_width must be one of [2, 4, 8], got 255"),
    ((4, 0, 0), ValueError, "dimension must be > 0, got 0"),
    ((4, 0, 16385), ValueError, "dimension must be <= 16384, got 16385"),
    ((4, 0, 2**32 - 1), ValueError, "dimension must be <= 16384, got 4294967295"),
    ((3, 0, 0), ValueError, "bit_width must be one of [2, 4, 8], got 3"),  # bit width is checked first
    # Inside the signed 64-bit range: the narrowing conversion's own message, without a prefix.
    ((256, 0, 8), OverflowError, OUT_OF_RANGE),
    ((-1, 0, 8), OverflowError, OUT_OF_RANGE),
    ((4, 0, 2**32), OverflowError, OUT_OF_RANGE),
    ((4, 0, -1), OverflowError, OUT_OF_RANGE),
    # Beyond it, and for the seed, the interpreter's own OverflowError.
    ((2**63, 0, 8), OverflowError, None),
    ((4, -1, 8), OverflowError, None),
    ((4, 2**64, 8), OverflowError, None),
])
def test_validation_and_range_errors(args, error, message):
    text = str(expect_error(error, message, CodecConfig, *args))
    assert not text.startswith("argument ") and (message or text != OUT_OF_RANGE)


def test_integer_likes_and_numpy_booleans_are_accepted():
    config = CodecConfig(Index(4), np.uint64(U64_MAX), np.int32(16), np.bool_(False))
    assert (config.bit_width, config.seed, config.dimension) == (4, U64_MAX, 16)
    assert config.residual_enabled is False
    assert CodecConfig(4, 1, 8, np.array([True])[0]).residual_enabled is True


@pytest.mark.parametrize("kwargs, message", [
    ({"bit_width": 4.0}, "argument 'bit_width': 'float' object cannot be interpreted as an integer"),
    ({"seed": "1"}, "argument 'seed': 'str' object cannot be interpreted as an integer"),
    ({"dimension": None}, "argument 'dimension': 'NoneType' object cannot be interpreted as an integer"),
    ({"residual_enabled": 1}, "argument 'residual_enabled': 'int' object cannot be converted to 'PyBool'"),
    ({"residual_enabled": np.int64(0)},
     "argument 'residual_enabled': 'int64' object cannot be converted to 'PyBool'"),
])
def test_conversion_type_errors_name_the_argument(kwargs, message):
    expect_error(TypeError, message, CodecConfig, **{"bit_width": 4, "seed": 1, "dimension": 8, **kwargs})


def test_arguments_convert_in_order_before_validation():
    with pytest.raises(TypeError, match="^argument 'bit_width'"):
        CodecConfig("x", -1, 2**40, 1)
    with pytest.raises(OverflowError):
        CodecConfig(3, -1, "x", 1)
    with pytest.raises(TypeError, match="^argument 'dimension'"):
        CodecConfig(3, 0, "x", 1)
    with pytest.raises(TypeError, match="^argument 'residual_enabled'"):
        CodecConfig(3, 0, 0, 1)


def test_only_an_exact_type_error_gets_the_argument_prefix():
    class Raises:
        def __init__(self, error):
            self.error = error

        def __index__(self):
            raise self.error

    cause = KeyError("inner")
    try:
        raise TypeError("no index") from cause
    except TypeError as error:
        chained = error
    error = expect_error(TypeError, "argument 'bit_width': no index", CodecConfig, Raises(chained), 0, 8)
    assert error.__cause__ is cause

    class SpecificTypeError(TypeError):
        pass

    for error in (SpecificTypeError("subclass"), ValueError("value"), OverflowError("overflow")):
        assert expect_error(type(error), None, CodecConfig, 4, Raises(error), 8) is error
