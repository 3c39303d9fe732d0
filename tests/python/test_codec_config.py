"""`CodecConfig`: argument binding and conversion, validation, the config
hash against an independent SHA-256, representation, identity semantics and
immutability."""

import hashlib
import random

import pytest

from marrowfin_rs._core import CodecConfig

U64_MAX = 2**64 - 1
OUT_OF_RANGE = "out of range integral type conversion attempted"


def canonical_text(bit_width, seed, dimension, residual_enabled):
    return (
        f"CodecConfig(bit_width={bit_width},seed={seed},dimension={dimension},"
        f"residual_enabled={residual_enabled})"
    )


def expected_hash(*fields):
    return hashlib.sha256(canonical_text(*fields).encode()).hexdigest()


class Index:
    """An integer-like object that is not an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_defaults_and_fields():
    config = CodecConfig(4, 42, 768)
    assert config.residual_enabled is True
    assert (config.bit_width, config.seed, config.dimension) == (4, 42, 768)
    assert config.num_codebook_entries == 16
    assert config.config_hash == expected_hash(4, 42, 768, True)
    assert repr(config) == "CodecConfig(bit_width=4, seed=42, dimension=768, residual_enabled=True)"


def test_hash_matches_sha256_of_canonical_text_for_random_configs():
    rng = random.Random(20240607)
    seeds = [0, 1, U64_MAX, 2**63, 2**32] + [rng.getrandbits(64) for _ in range(300)]
    for seed in seeds:
        fields = (rng.choice([2, 4, 8]), seed, rng.randint(1, 16384), rng.choice([True, False]))
        config = CodecConfig(*fields)
        assert config.config_hash == expected_hash(*fields)
        assert (config.bit_width, config.seed, config.dimension, config.residual_enabled) == fields


def test_hash_depends_on_every_field():
    base = CodecConfig(4, 42, 768, True).config_hash
    assert CodecConfig(4, 42, 768, True).config_hash == base
    for other in [(2, 42, 768, True), (4, 43, 768, True), (4, 42, 767, True), (4, 42, 768, False)]:
        assert CodecConfig(*other).config_hash != base
    assert set(base) <= set("0123456789abcdef") and len(base) == 64


@pytest.mark.parametrize("bit_width, entries", [(2, 4), (4, 16), (8, 256)])
def test_supported_bit_widths(bit_width, entries):
    assert CodecConfig(bit_width, 0, 1).num_codebook_entries == entries


@pytest.mark.parametrize("bit_width", [0, 1, 3, 5, 6, 7, 9, 16, 40, 255])
def test_unsupported_bit_widths(bit_width):
    with pytest.raises(ValueError) as caught:
        CodecConfig(bit_width, 0, 8)
    assert type(caught.value) is ValueError
    assert str(caught.value) == f"bit_width must be one of [2, 4, 8], got {bit_width}"


@pytest.mark.parametrize(
    "dimension, message",
    [(0, "dimension must be > 0, got 0"), (16385, "dimension must be <= 16384, got 16385"),
     (20000, "dimension must be <= 16384, got 20000"), (2**32 - 1, "dimension must be <= 16384, got 4294967295")],
)
def test_invalid_dimensions(dimension, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        CodecConfig(4, 0, dimension)


def test_dimension_bounds_accepted():
    assert CodecConfig(2, 0, 1).dimension == 1
    assert CodecConfig(2, 0, 16384).dimension == 16384


def test_bit_width_error_wins_over_dimension_error():
    with pytest.raises(ValueError, match="^bit_width must be one of"):
        CodecConfig(3, 0, 0)


@pytest.mark.parametrize(
    "args, message",
    [
        # Inside the signed 64-bit range: the narrowing conversion's own message.
        ((256, 0, 8), OUT_OF_RANGE),
        ((-1, 0, 8), OUT_OF_RANGE),
        ((4, 0, 2**32), OUT_OF_RANGE),
        ((4, 0, -1), OUT_OF_RANGE),
        ((4, 0, 2**63 - 1), OUT_OF_RANGE),
        # Beyond it, and for the seed, the interpreter's own OverflowError.
        ((2**63, 0, 8), None),
        ((-(2**63) - 1, 0, 8), None),
        ((4, 0, 2**64), None),
        ((4, -1, 8), None),
        ((4, 2**64, 8), None),
    ],
)
def test_overflow_is_raised_unprefixed(args, message):
    with pytest.raises(OverflowError) as caught:
        CodecConfig(*args)
    text = str(caught.value)
    assert not text.startswith("argument ")
    if message is None:
        assert text != OUT_OF_RANGE
    else:
        assert text == message


def test_seed_extremes_round_trip():
    assert CodecConfig(8, 0, 3).seed == 0
    config = CodecConfig(8, U64_MAX, 3, False)
    assert config.seed == U64_MAX
    assert repr(config) == f"CodecConfig(bit_width=8, seed={U64_MAX}, dimension=3, residual_enabled=False)"
    assert config.config_hash == expected_hash(8, U64_MAX, 3, False)


def test_integer_like_arguments_are_accepted():
    np = pytest.importorskip("numpy")
    config = CodecConfig(Index(4), np.uint64(U64_MAX), np.int32(16), True)
    assert (config.bit_width, config.seed, config.dimension) == (4, U64_MAX, 16)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"bit_width": 4.0}, "argument 'bit_width': 'float' object cannot be interpreted as an integer"),
        ({"seed": "1"}, "argument 'seed': 'str' object cannot be interpreted as an integer"),
        ({"dimension": None}, "argument 'dimension': 'NoneType' object cannot be interpreted as an integer"),
        ({"residual_enabled": 1}, "argument 'residual_enabled': 'int' object cannot be converted to 'PyBool'"),
        ({"residual_enabled": 0}, "argument 'residual_enabled': 'int' object cannot be converted to 'PyBool'"),
        ({"residual_enabled": None}, "argument 'residual_enabled': 'NoneType' object cannot be converted to 'PyBool'"),
        ({"residual_enabled": "True"}, "argument 'residual_enabled': 'str' object cannot be converted to 'PyBool'"),
    ],
)
def test_conversion_type_errors_name_the_argument(kwargs, message):
    arguments = {"bit_width": 4, "seed": 1, "dimension": 8, **kwargs}
    with pytest.raises(TypeError) as caught:
        CodecConfig(**arguments)
    assert str(caught.value) == message


def test_numpy_booleans_are_accepted_but_not_numpy_integers():
    np = pytest.importorskip("numpy")
    assert CodecConfig(4, 1, 8, np.bool_(False)).residual_enabled is False
    assert CodecConfig(4, 1, 8, np.bool_(True)).residual_enabled is True
    assert CodecConfig(4, 1, 8, np.array([True])[0]).residual_enabled is True
    with pytest.raises(TypeError, match="^argument 'residual_enabled': 'int64' object cannot be converted to 'PyBool'$"):
        CodecConfig(4, 1, 8, np.int64(1))


def test_arguments_convert_in_order_before_validation():
    # Each call has several bad arguments; the first in parameter order wins,
    # and every conversion precedes the core's validation.
    with pytest.raises(TypeError, match="^argument 'bit_width'"):
        CodecConfig("x", -1, 2**40, 1)
    with pytest.raises(OverflowError):
        CodecConfig(3, -1, "x", 1)
    with pytest.raises(TypeError, match="^argument 'dimension'"):
        CodecConfig(3, 0, "x", 1)
    with pytest.raises(TypeError, match="^argument 'residual_enabled'"):
        CodecConfig(3, 0, 0, 1)


def test_only_an_exact_type_error_gets_the_argument_prefix():
    class SpecificTypeError(TypeError):
        pass

    class Raises:
        def __init__(self, error):
            self.error = error

        def __index__(self):
            raise self.error

    cause = KeyError("inner")

    def chained():
        try:
            raise TypeError("no index") from cause
        except TypeError as error:
            return error

    with pytest.raises(TypeError) as caught:
        CodecConfig(Raises(chained()), 0, 8)
    assert type(caught.value) is TypeError
    assert str(caught.value) == "argument 'bit_width': no index"
    assert caught.value.__cause__ is cause

    for error in (SpecificTypeError("subclass"), ValueError("value"), OverflowError("overflow")):
        with pytest.raises(type(error)) as caught:
            CodecConfig(4, Raises(error), 8)
        assert caught.value is error


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "CodecConfig.__new__() missing 3 required positional arguments: 'bit_width', 'seed', and 'dimension'"),
        ((4,), {}, "CodecConfig.__new__() missing 2 required positional arguments: 'seed' and 'dimension'"),
        ((4, 1), {}, "CodecConfig.__new__() missing 1 required positional argument: 'dimension'"),
        ((4,), {"dimension": 8}, "CodecConfig.__new__() missing 1 required positional argument: 'seed'"),
        ((4, 1, 8, True, 5), {}, "CodecConfig.__new__() takes from 3 to 4 positional arguments but 5 were given"),
        ((4, 1, 8), {"bit_width": 4}, "CodecConfig.__new__() got multiple values for argument 'bit_width'"),
        ((4, 1, 8, True), {"residual_enabled": True}, "CodecConfig.__new__() got multiple values for argument 'residual_enabled'"),
        ((4, 1, 8), {"residual": True}, "CodecConfig.__new__() got an unexpected keyword argument 'residual'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        CodecConfig(*args, **kwargs)
    assert str(caught.value) == message


def test_every_parameter_binds_by_keyword():
    config = CodecConfig(residual_enabled=False, dimension=8, seed=7, bit_width=2)
    assert repr(config) == "CodecConfig(bit_width=2, seed=7, dimension=8, residual_enabled=False)"
    assert repr(CodecConfig(2, 7, dimension=8)) == repr(CodecConfig(2, 7, 8, True))


def test_equality_and_hash_are_identity():
    first, second = CodecConfig(4, 42, 768), CodecConfig(4, 42, 768)
    assert first.config_hash == second.config_hash
    assert first == first and first != second and not (first == second)
    assert hash(first) == object.__hash__(first)
    assert len({first, second}) == 2
    with pytest.raises(TypeError):
        first < second  # noqa: B015


def test_properties_are_read_only():
    config = CodecConfig(4, 42, 768)
    for name in ("bit_width", "seed", "dimension", "residual_enabled", "num_codebook_entries", "config_hash"):
        with pytest.raises(AttributeError):
            setattr(config, name, getattr(config, name))
    with pytest.raises(AttributeError):
        config.anything = 1
    assert repr(config) == "CodecConfig(bit_width=4, seed=42, dimension=768, residual_enabled=True)"


def test_class_docstring():
    assert CodecConfig.__doc__ == "Immutable value object describing codec parameters."
    assert CodecConfig.__text_signature__ == "(bit_width, seed, dimension, residual_enabled=True)"
