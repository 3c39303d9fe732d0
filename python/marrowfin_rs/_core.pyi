"""Type stubs and guide for ``marrowfin_rs._core``, the native extension.

The extension compresses float32 embedding vectors (deterministic random
orthogonal rotation, 2/4/8-bit codebook quantization, optional binary16
residual), serializes them in a versioned byte format, keeps corpora of vectors
under string ids with domain events, and answers exact cosine top-k searches.

Conventions that hold for every callable below:

* Every parameter may be given positionally or by keyword.
* Vectors are one-dimensional ``numpy.ndarray`` objects of dtype ``float32``
  (native byte order); matrices are two-dimensional, C-contiguous ``float32``
  arrays with one vector per row. Nothing is cast: a list, a ``float64``,
  integer or byte-swapped array is refused with ``TypeError`` (the message
  names the parameter and the target ``PyArray<T, D>``). A strided vector view
  raises ``ValueError("numpy slice unavailable: The given array is not
  contiguous")``; a matrix that is not C-contiguous raises
  ``ValueError("input matrix must be C-contiguous float32")``. Read-only arrays
  are accepted; inputs are never written to.
* A wrong argument type raises ``TypeError("argument '<name>': ...")``.
* Every class except the exception types is final (cannot be subclassed) and
  its instances take no new attributes. Values (``CodecConfig``,
  ``Codebook``, ``RotationMatrix``, ``CompressedVector``, ``CompressionPolicy``,
  ``VectorEntry``, ``SearchResult`` and the four events) are immutable: they
  pickle (protocols 2 to 5) and ``copy.copy`` / ``copy.deepcopy`` return the
  object itself. ``Corpus``, ``BruteForceBackend`` and ``Codec`` refuse
  pickling with ``TypeError``.
* Results are bit-for-bit reproducible across runs, thread counts and x86-64
  machines.
"""

from collections.abc import Sequence
from typing import Any, ClassVar, Final, Literal, NoReturn, Self, TypeAlias, final

import numpy as np
import numpy.typing as npt

from marrowfin_rs import backend as backend
from marrowfin_rs import codec as codec
from marrowfin_rs import corpus as corpus

_Float32Array: TypeAlias = npt.NDArray[np.float32]
_UInt8Array: TypeAlias = npt.NDArray[np.uint8]
_CorpusEvent: TypeAlias = (
    CorpusCreated | VectorsInserted | CorpusDecompressed | CompressionPolicyViolationDetected
)

__version__: Final[str]
"""Version of the extension binary's interface ("1.1.0")."""

__all__ = [
    "__version__",
    "DimensionMismatchError",
    "ConfigMismatchError",
    "CodebookIncompatibleError",
    "DuplicateVectorError",
    "codec",
    "corpus",
    "backend",
    "CodecConfig",
    "Codebook",
    "RotationMatrix",
    "CompressedVector",
    "Codec",
    "compress",
    "decompress",
    "CompressionPolicy",
    "VectorEntry",
    "Corpus",
    "CorpusCreated",
    "VectorsInserted",
    "CorpusDecompressed",
    "CompressionPolicyViolationDetected",
    "SearchBackend",
    "SearchResult",
    "BruteForceBackend",
]

# ---- exceptions ----------------------------------------------------------------


class DimensionMismatchError(ValueError):
    """Raised when a vector's length does not match the expected dimension.

    Raised by compression ("vector length 5 does not match config dimension 4")
    and by ``Corpus.insert`` ("dimension mismatch: expected 4, got 5"). A
    subclass of ``ValueError``.
    """


class ConfigMismatchError(ValueError):
    """Raised when a compressed vector's config hash does not match the config.

    Decompression compares the record's ``config_hash`` with the configuration's
    before anything else ("compressed config_hash <got> does not match config
    hash <expected>"). A subclass of ``ValueError``.
    """


class CodebookIncompatibleError(ValueError):
    """Raised when a codebook's bit width does not match the codec config.

    For example "codebook bit_width 2 does not match config bit_width 4". A
    subclass of ``ValueError``.
    """


class DuplicateVectorError(ValueError):
    """Raised when a vector ID already exists in the corpus.

    Message: "duplicate vector_id <id>". A subclass of ``ValueError``.
    """


# ---- codec ----------------------------------------------------------------------


@final
class CodecConfig:
    """Immutable value object describing codec parameters.

    Fixes everything the codec does: bits per coordinate, the seed of the
    rotation, the vector dimension and whether a binary16 residual is kept.

    Equality and hashing are by identity: two configs built from equal fields
    are different objects and compare unequal. Their ``config_hash`` is equal,
    and that hash is the value identity of a configuration (compressed vectors
    record it and decompression checks it); compare ``a.config_hash ==
    b.config_hash`` to ask whether two configs are the same setting. Pickling
    rebuilds the config from its four fields, so the copy has the same hash.
    """

    def __new__(
        cls, bit_width: int, seed: int, dimension: int, residual_enabled: bool | np.bool_ = True
    ) -> Self:
        """Validate the parameters and compute the config hash.

        Args:
            bit_width: 2, 4 or 8 bits per coordinate.
            seed: 0 to 2**64 - 1; with ``dimension`` it fixes the rotation.
            dimension: 1 to 16384 coordinates per vector.
            residual_enabled: keep each coordinate's quantization error as a
                binary16 residual (2 more bytes per coordinate, much better
                fidelity). Only ``True``/``False`` or a NumPy boolean scalar;
                the integers 0 and 1 are refused.

        Raises:
            TypeError: an argument of the wrong type.
            OverflowError: ``bit_width`` outside 0..255, ``seed`` outside
                0..2**64-1, ``dimension`` outside 0..2**32-1.
            ValueError: "bit_width must be one of [2, 4, 8], got 3",
                "dimension must be > 0, got 0", "dimension must be <= 16384,
                got 20000".
        """

    @property
    def bit_width(self) -> int:
        """Bits per quantized coordinate: 2, 4 or 8."""

    @property
    def seed(self) -> int:
        """Seed of the rotation, 0 to 2**64 - 1."""

    @property
    def dimension(self) -> int:
        """Number of coordinates of every vector, 1 to 16384."""

    @property
    def residual_enabled(self) -> bool:
        """Whether compression keeps a binary16 residual per coordinate."""

    @property
    def num_codebook_entries(self) -> int:
        """Number of codebook levels, ``2 ** bit_width`` (4, 16 or 256)."""

    @property
    def config_hash(self) -> str:
        """SHA-256 of the canonical text of the configuration, 64 lowercase hex digits.

        This is the value identity of a configuration: equal fields give equal
        hashes, in every process and on every machine.
        """

    def __reduce__(self) -> tuple[type[CodecConfig], tuple[int, int, int, bool]]:
        """Pickle support: ``(CodecConfig, (bit_width, seed, dimension, residual_enabled))``."""

    def __copy__(self) -> Self:
        """Return the config itself: it is immutable."""

    def __deepcopy__(self, memo: object, /) -> Self:
        """Return the config itself: it is immutable."""


@final
class Codebook:
    """Immutable lookup table mapping quantized indices to float32 values.

    ``2 ** bit_width`` float32 levels, strictly ascending under IEEE total order
    (so -0.0 and 0.0 are distinct levels). Compression replaces each rotated
    coordinate by the index of its nearest level. Train one on rotated sample
    vectors (``Codebook.train`` or ``Codec.build_codebook``) or give the levels
    explicitly. Equality and hashing are by identity; a pickled codebook has
    the same levels bit for bit.
    """

    def __new__(cls, entries: _Float32Array, bit_width: int) -> Self:
        """Build a codebook from explicit levels (copied).

        Args:
            entries: 1-D float32 array of exactly ``2 ** bit_width`` levels,
                strictly ascending (IEEE total order).
            bit_width: 0 to 31 (the config restricts compression to 2, 4, 8).

        Raises:
            TypeError: ``entries`` is not a 1-D float32 array.
            OverflowError: ``bit_width`` outside 0..255.
            ValueError: a non-contiguous ``entries`` view; "bit_width must be
                one of [2, 4, 8], got 40" (32 or more); "codebook must have 4
                entries for bit_width=2, got 3"; "codebook must contain 4
                distinct values, got 2"; "codebook entries must be sorted
                ascending".
        """

    @classmethod
    def train(cls, vectors: _Float32Array, config: CodecConfig) -> Codebook:
        """Train a codebook from representative FP32 vectors.

        The levels are the evenly spaced linear-interpolation quantiles of all
        values of ``vectors`` (minimum first, maximum last). Quantization
        happens on rotated coordinates, so pass rotated samples
        (``RotationMatrix.apply`` of each). Only ``config.bit_width`` is used;
        the column count is not checked against the dimension. The matrix is
        read in place with the interpreter lock released.

        Args:
            vectors: 2-D C-contiguous float32 array, any shape.
            config: the configuration whose bit width the codebook gets.

        Returns:
            A new ``Codebook`` (always of this class).

        Raises:
            TypeError: ``vectors`` is not a 2-D float32 array (a 1-D one too),
                or ``config`` is not a ``CodecConfig``.
            ValueError: "input matrix must be C-contiguous float32";
                "insufficient training data for 16 distinct entries" when the
                values give fewer distinct levels than needed.
        """

    @classmethod
    def train_lloyd_max(
        cls, vectors: _Float32Array, config: CodecConfig, iterations: int = 32
    ) -> Codebook:
        """Train a codebook whose levels minimise the mean squared quantization error.

        One-dimensional k-means (Lloyd-Max) over all values of ``vectors``,
        started from the quantile levels ``train`` gives and run for at most
        ``iterations`` steps (it stops early once the levels no longer move).
        At 2 bits it roughly halves the reconstruction error of ``train``.
        Deterministic to the byte on every machine and thread count. If a
        value is not finite, the quantile levels are returned unchanged.

        Args:
            vectors: 2-D C-contiguous float32 array of rotated samples.
            config: the configuration whose bit width the codebook gets.
            iterations: at most this many Lloyd-Max steps (0 gives ``train``'s
                levels).

        Returns:
            A new ``Codebook``.

        Raises:
            TypeError, ValueError: as ``train``.
            OverflowError: negative ``iterations``.
        """

    @property
    def entries(self) -> _Float32Array:
        """The levels as a new 1-D float32 array of ``num_entries`` elements (a copy)."""

    @property
    def bit_width(self) -> int:
        """The bit width; there are ``2 ** bit_width`` levels."""

    @property
    def num_entries(self) -> int:
        """Number of levels."""

    def __reduce__(self) -> tuple[Any, tuple[bytes, int]]:
        """Pickle support: the levels as little-endian float32 bytes and the bit width."""

    def __copy__(self) -> Self:
        """Return the codebook itself: it is immutable."""

    def __deepcopy__(self, memo: object, /) -> Self:
        """Return the codebook itself: it is immutable."""


@final
class RotationMatrix:
    """Deterministic orthogonal rotation matrix for vector preconditioning.

    An n x n orthogonal matrix generated from ``(seed, dimension)`` alone, bit
    for bit the same on every machine. No constructor: use ``from_config``,
    ``from_seed_and_dim`` or ``Codec.build_rotation`` (calling the class raises
    ``TypeError``). Generation costs O(n**3) (about 40 ms at n = 768) and holds
    the interpreter lock. Pickling stores only the seed and dimension and
    regenerates the identical matrix. Equality and hashing are by identity.
    """

    @classmethod
    def from_config(cls, config: CodecConfig) -> RotationMatrix:
        """Build (or fetch from cache) a rotation matrix from the given config.

        Only ``config.seed`` and ``config.dimension`` are used.

        Raises:
            TypeError: ``config`` is not a ``CodecConfig``.
        """

    @classmethod
    def from_seed_and_dim(cls, seed: int, dimension: int) -> RotationMatrix:
        """Build a rotation matrix directly from ``(seed, dimension)``, bypassing ``CodecConfig``.

        Gives the same matrix as ``from_config`` for a config with that seed
        and dimension.

        Raises:
            OverflowError: ``seed`` outside 0..2**64-1 or ``dimension``
                outside 0..2**32-1.
            ValueError: "dimension must be > 0"; "dimension must be <= 16384,
                got 16385".
        """

    def matrix_f64_bytes(self) -> bytes:
        """Return the raw row-major ``f64`` bytes of the rotation matrix.

        ``dimension * dimension * 8`` bytes, little-endian IEEE-754 binary64,
        row 0 first: ``numpy.frombuffer(b, "<f8").reshape(n, n)``.
        """

    def apply(self, vector: _Float32Array) -> _Float32Array:
        """Rotate a vector: return ``M @ vector`` as a new 1-D float32 array.

        Sums are formed in binary64 without fused multiply-add and rounded
        once to float32.

        Args:
            vector: 1-D float32 array of ``dimension`` elements.

        Raises:
            TypeError: not a 1-D float32 array.
            ValueError: a non-contiguous view; "vector dimension must be 8,
                got 7".
        """

    def apply_inverse(self, vector: _Float32Array) -> _Float32Array:
        """Undo the rotation: return ``M.T @ vector`` as a new 1-D float32 array.

        Same argument rules and errors as ``apply``.
        """

    @property
    def seed(self) -> int:
        """The seed the matrix was generated from."""

    @property
    def dimension(self) -> int:
        """n, the number of rows and columns."""

    def __reduce__(self) -> tuple[Any, tuple[int, int]]:
        """Pickle support: ``(RotationMatrix.from_seed_and_dim, (seed, dimension))``."""

    def __copy__(self) -> Self:
        """Return the matrix itself: it is immutable."""

    def __deepcopy__(self, memo: object, /) -> Self:
        """Return the matrix itself: it is immutable."""


@final
class CompressedVector:
    """Immutable output of a codec compression pass.

    One codebook index per coordinate, an optional binary16 residual, and the
    hash of the configuration that produced it. No constructor: records come
    from ``compress``, ``Codec.compress``/``compress_batch``, ``from_bytes``
    and corpus entries. Equality and hashing are by identity; compare
    ``to_bytes()`` for value equality. Pickles as its byte form.
    """

    def to_bytes(self) -> bytes:
        """Serialize to compact binary form.

        Layout: version byte 0x01, the 64-byte config hash field, dimension
        (u32 little-endian), bit width, the bit-packed indices, a residual
        flag and, when present, the residual length (u32) and bytes. 455 bytes
        for 768 coordinates at 4 bits, 1995 with a residual.
        """

    @classmethod
    def from_bytes(cls, data: bytes) -> CompressedVector:
        """Deserialize from compact binary form.

        Bytes after the record are ignored.

        Args:
            data: a ``bytes`` object (``bytearray`` and ``memoryview`` are
                refused).

        Returns:
            A new ``CompressedVector`` (always of this class).

        Raises:
            TypeError: ``data`` is not ``bytes``.
            ValueError: "failed to decode CompressedVector: <reason>", e.g.
                "data too short: needed 70 bytes, got 0", "unknown format
                version 0x02", "invalid bit_width 3 in serialized data".
        """

    @property
    def indices(self) -> _UInt8Array:
        """The codebook indices as a new 1-D uint8 array of ``dimension`` elements (a copy)."""

    @property
    def residual(self) -> bytes | None:
        """The residual as ``2 * dimension`` bytes of little-endian binary16, or ``None``."""

    @property
    def config_hash(self) -> str:
        """``config_hash`` of the ``CodecConfig`` that produced the record."""

    @property
    def dimension(self) -> int:
        """Number of coordinates (for a raw corpus payload: its byte count)."""

    @property
    def bit_width(self) -> int:
        """Bits per index: 2, 4 or 8."""

    @property
    def has_residual(self) -> bool:
        """Whether the record carries a residual."""

    @property
    def size_bytes(self) -> int:
        """Payload size: ``ceil(dimension * bit_width / 8)`` plus the residual bytes, no header."""

    def __reduce__(self) -> tuple[Any, tuple[bytes]]:
        """Pickle support: ``(CompressedVector.from_bytes, (self.to_bytes(),))``."""

    def __copy__(self) -> Self:
        """Return the record itself: it is immutable."""

    def __deepcopy__(self, memo: object, /) -> Self:
        """Return the record itself: it is immutable."""


@final
class Codec:
    """Stateless codec service — wraps ``marrowfin_core::codec::Codec``.

    Compresses and decompresses vectors under a ``CodecConfig`` and a
    ``Codebook``. Holds no data; any instance serves any call from any thread,
    and the heavy work runs with the interpreter lock released. Refuses
    pickling (create ``Codec()`` where it is needed).
    """

    def __new__(cls) -> Self:
        """Create a codec; it takes no arguments."""

    def compress(
        self, vector: _Float32Array, config: CodecConfig, codebook: Codebook
    ) -> CompressedVector:
        """Compress one vector: rotate, quantize each coordinate, keep the residual if configured.

        Args:
            vector: 1-D float32 array of ``config.dimension`` elements.
            config: the configuration.
            codebook: levels with ``config``'s bit width (trained on rotated
                vectors).

        Returns:
            A new ``CompressedVector``.

        Raises:
            TypeError: an argument of the wrong type.
            ValueError: a non-contiguous view.
            DimensionMismatchError: "vector length 5 does not match config
                dimension 4".
            CodebookIncompatibleError: the codebook's bit width differs from
                the config's.
        """

    def decompress(
        self, compressed: CompressedVector, config: CodecConfig, codebook: Codebook
    ) -> _Float32Array:
        """Reconstruct a vector: look up the levels, add the residual, rotate back.

        Returns:
            A new writable 1-D float32 array of ``config.dimension`` elements.

        Raises:
            TypeError: an argument of the wrong type.
            ConfigMismatchError: the record was made under another config
                (checked first).
            CodebookIncompatibleError: the record's or the codebook's bit
                width differs.
            ValueError: an index beyond the codebook or a malformed residual
                (records read from foreign bytes).
        """

    def compress_batch(
        self, vectors: _Float32Array, config: CodecConfig, codebook: Codebook
    ) -> list[CompressedVector]:
        """Compress every row of a matrix; identical to compressing each row alone.

        Args:
            vectors: 2-D C-contiguous float32 array of shape
                ``(n, config.dimension)``; ``n`` may be 0.

        Returns:
            A new list of ``n`` records in row order (empty for 0 rows).

        Raises:
            TypeError: an argument of the wrong type (a 1-D array too).
            ValueError: "input matrix must be C-contiguous float32".
            DimensionMismatchError: the column count differs from the
                dimension.
            CodebookIncompatibleError: the codebook's bit width differs (not
                checked for 0 rows). Nothing is returned on failure.
        """

    def decompress_batch(
        self, compressed: Sequence[CompressedVector], config: CodecConfig, codebook: Codebook
    ) -> _Float32Array:
        """Decompress records into one matrix; row i is ``decompress(compressed[i], ...)``.

        Args:
            compressed: a list, tuple or other sequence of records (not a
                ``str``).

        Returns:
            A new C-contiguous float32 array of shape ``(n, config.dimension)``;
            ``(0, 0)`` for an empty sequence.

        Raises:
            TypeError: not a sequence of ``CompressedVector`` ("Can't extract
                `str` to `Vec`" for a ``str``).
            CodebookIncompatibleError: codebook and config bit widths differ
                (checked before any record, even for an empty sequence).
            ConfigMismatchError, ValueError: the first failing record's error,
                as for ``decompress``.
        """

    def build_codebook(self, training_vectors: _Float32Array, config: CodecConfig) -> Codebook:
        """Exactly ``Codebook.train(training_vectors, config)``."""

    def build_rotation(self, config: CodecConfig) -> RotationMatrix:
        """Exactly ``RotationMatrix.from_config(config)``."""

    def __reduce__(self) -> NoReturn:
        """Refuse pickling: raises ``TypeError`` saying why."""


def compress(vector: _Float32Array, config: CodecConfig, codebook: Codebook) -> CompressedVector:
    """Module-level convenience — equivalent to ``Codec().compress(...)``."""


def decompress(
    compressed: CompressedVector, config: CodecConfig, codebook: Codebook
) -> _Float32Array:
    """Module-level convenience — equivalent to ``Codec().decompress(...)``."""


# ---- corpus ---------------------------------------------------------------------


@final
class CompressionPolicy:
    """Immutable compression policy enum — Python-parity names.

    How a corpus stores each vector: ``COMPRESS`` (the codec: indices plus the
    optional residual), ``PASSTHROUGH`` (raw float32, 4 bytes per coordinate,
    exact) or ``FP16`` (binary16, 2 bytes per coordinate). No constructor: use
    the three class attributes. Compares equal to another policy with the same
    member and to the integer ordinal (0, 1, 2); not to its ``value`` text; no
    ordering. Pickles to the member itself.
    """

    COMPRESS: ClassVar[CompressionPolicy]
    """Store the codec's compressed record (the only policy that uses the codebook)."""
    PASSTHROUGH: ClassVar[CompressionPolicy]
    """Store the float32 values unchanged (4 bytes per coordinate)."""
    FP16: ClassVar[CompressionPolicy]
    """Store the values as IEEE binary16, round to nearest even (2 bytes per coordinate)."""

    @property
    def value(self) -> Literal["compress", "passthrough", "fp16"]:
        """Lowercase name: "compress", "passthrough" or "fp16"."""

    @property
    def name(self) -> Literal["COMPRESS", "PASSTHROUGH", "FP16"]:
        """Member name: "COMPRESS", "PASSTHROUGH" or "FP16"."""

    def requires_codec(self) -> bool:
        """True only for ``COMPRESS``."""

    def __int__(self) -> int:
        """The ordinal: 0 (``COMPRESS``), 1 (``PASSTHROUGH``) or 2 (``FP16``)."""

    def __eq__(self, other: object, /) -> bool:
        """Equal to a policy of the same member or to an integer equal to the ordinal."""

    def __ne__(self, other: object, /) -> bool:
        """Negation of ``==``."""

    def __hash__(self) -> int:
        """A hash that is the same in every process (SipHash-1-3 of the ordinal)."""

    def __reduce__(self) -> tuple[Any, tuple[type[CompressionPolicy], str]]:
        """Pickle support: unpickles to the member itself, e.g. ``CompressionPolicy.COMPRESS``."""

    def __copy__(self) -> Self:
        """Return the policy itself: it is immutable."""

    def __deepcopy__(self, memo: object, /) -> Self:
        """Return the policy itself: it is immutable."""


@final
class VectorEntry:
    """Entity representing a stored vector in the corpus.

    Handed out by ``Corpus.insert`` and ``Corpus.get``; shares its buffers with
    the stored entry. No constructor. Equality and hashing are by identity.
    Pickles as its id, its record (in byte form) and its dimension.
    """

    @property
    def vector_id(self) -> str:
        """The id the vector was stored under."""

    @property
    def compressed(self) -> CompressedVector:
        """The stored payload as a record (a new object on each read).

        Under ``COMPRESS`` the codec's record; under ``PASSTHROUGH`` and
        ``FP16`` the raw bytes, so the record's ``dimension`` is the byte
        count (4 or 2 per coordinate) and its ``bit_width`` is 8.
        """

    @property
    def config_hash(self) -> str:
        """The corpus configuration's ``config_hash``."""

    @property
    def dimension(self) -> int:
        """The vector's true number of coordinates."""

    @property
    def has_residual(self) -> bool:
        """Whether the stored record carries a residual."""

    def __reduce__(self) -> tuple[Any, tuple[str, CompressedVector, int]]:
        """Pickle support: the id, the stored record and the dimension."""

    def __copy__(self) -> Self:
        """Return the entry itself: it is immutable."""

    def __deepcopy__(self, memo: object, /) -> Self:
        """Return the entry itself: it is immutable."""


@final
class Corpus:
    """Aggregate root managing a collection of compressed embedding vectors.

    Vectors stored under unique string ids with one fixed configuration,
    codebook and policy, plus a list of domain events that the caller drains.
    Thread-safe (one lock per corpus; ``insert`` releases the interpreter lock
    while it encodes). Ids are ordered by their UTF-8 bytes. Refuses pickling:
    persist its ``codec_config``, ``codebook`` and entries (which pickle) or
    the vectors from ``decompress_all()`` instead.
    """

    def __new__(
        cls,
        corpus_id: str,
        codec_config: CodecConfig,
        codebook: Codebook,
        compression_policy: CompressionPolicy,
        metadata: None = None,
    ) -> Self:
        """Create an empty corpus; records one ``CorpusCreated`` event.

        The codebook is not checked against the config here: under
        ``COMPRESS`` a mismatch is reported by the first ``insert``.

        Raises:
            TypeError: an argument of the wrong type (a policy given as text
                or integer too).
            NotImplementedError: ``metadata`` given as a dict.
        """

    @property
    def corpus_id(self) -> str:
        """The corpus's name."""

    @property
    def codec_config(self) -> CodecConfig:
        """The ``CodecConfig`` object given to the constructor (the same object)."""

    @property
    def codebook(self) -> Codebook:
        """The ``Codebook`` object given to the constructor (the same object)."""

    @property
    def compression_policy(self) -> CompressionPolicy:
        """A new policy object equal to the one given to the constructor."""

    @property
    def metadata(self) -> NoReturn:
        """Not supported: always raises ``NotImplementedError``."""

    @property
    def vector_count(self) -> int:
        """Number of stored vectors."""

    @property
    def is_empty(self) -> bool:
        """Whether no vector is stored."""

    @property
    def vector_ids(self) -> frozenset[str]:
        """The ids of all stored vectors, as a new frozenset."""

    def insert(self, vector_id: str, vector: _Float32Array, metadata: None = None) -> VectorEntry:
        """Encode a vector under the corpus policy and store it; records ``VectorsInserted``.

        Args:
            vector_id: a new id (any text, the empty text included).
            vector: 1-D float32 array of ``codec_config.dimension`` elements
                (copied).

        Returns:
            The stored ``VectorEntry``.

        Raises:
            TypeError: an argument of the wrong type.
            NotImplementedError: ``metadata`` given as a dict.
            ValueError: a non-contiguous view.
            DimensionMismatchError: "dimension mismatch: expected 4, got 5".
            DuplicateVectorError: "duplicate vector_id <id>".
            CodebookIncompatibleError: under ``COMPRESS``, the codebook's bit
                width differs from the config's. A failed insert changes
                nothing.
        """

    def insert_batch(self, vector_ids: Sequence[str], vectors: _Float32Array) -> None:
        """Insert row ``i`` of ``vectors`` under ``vector_ids[i]``, all or nothing.

        Every check runs before anything is stored: one id per row, the
        dimension, ids unique among themselves and new to the corpus, the
        codebook. On success one ``VectorsInserted`` event lists the ids in
        order (none for an empty batch), and every entry is byte for byte
        what ``insert`` would store. Compresses on several threads with the
        interpreter lock released; Ctrl-C stops a large batch with nothing
        stored.

        Args:
            vector_ids: a sequence of ``str`` (not a single ``str``).
            vectors: 2-D C-contiguous float32 array, ``len(vector_ids)`` rows
                of ``codec_config.dimension`` columns (copied).

        Raises:
            TypeError: an argument of the wrong type.
            ValueError: a non-contiguous matrix; "vector_ids has 3 ids but
                vectors has 2 rows".
            DimensionMismatchError: "dimension mismatch: expected 4, got 5".
            DuplicateVectorError: "duplicate vector_id <id>" for the first id,
                in batch order, that is stored already or repeats an earlier
                one.
            CodebookIncompatibleError: under ``COMPRESS``, the codebook's bit
                width differs from the config's.
        """

    def search(self, query: _Float32Array, top_k: int) -> list[SearchResult]:
        """The ``top_k`` stored vectors most similar to ``query``, searched where they lie.

        Exactly what a ``BruteForceBackend`` holding ``decompress_all()``
        returns: the same ids in the same order with bit-identical scores
        (the float32 cosine of the query and the decoded vector; higher
        first, ties and NaN by id bytes). ``COMPRESS`` entries are first
        scored from their codes through per-query tables with a proven error
        bound, and only candidates that can reach the top ``k`` are decoded
        and scored exactly. Records no event; runs with the interpreter lock
        released.

        Args:
            query: 1-D float32 array of ``codec_config.dimension`` elements.
            top_k: number of results wanted, at least 1.

        Returns:
            ``min(top_k, vector_count)`` results; an empty corpus gives ``[]``.

        Raises:
            TypeError: ``query`` is not a 1-D float32 array or ``top_k`` not an
                integer.
            OverflowError: negative ``top_k``.
            ValueError: "top_k must be > 0" (checked first); a non-contiguous
                view.
            DimensionMismatchError: "dimension mismatch: expected 4, got 5".
        """

    def contains(self, vector_id: str) -> bool:
        """Whether a vector is stored under the id."""

    def get(self, vector_id: str) -> VectorEntry:
        """The entry stored under the id.

        Raises:
            KeyError: unknown id (the exception's argument is the id).
        """

    def decompress(self, vector_id: str) -> _Float32Array:
        """Decode one stored vector into a new 1-D float32 array.

        ``PASSTHROUGH`` returns the inserted values bit for bit, ``FP16`` their
        binary16 roundings, ``COMPRESS`` the codec's reconstruction.

        Raises:
            KeyError: "unknown vector_id <id>".
        """

    def decompress_all(self) -> dict[str, _Float32Array]:
        """Decode every stored vector; the dict iterates in id byte order.

        Records one ``CorpusDecompressed`` event unless the corpus is empty.

        Returns:
            A new dict from id to a new 1-D float32 array.
        """

    def remove(self, vector_id: str) -> None:
        """Remove the vector stored under the id.

        Raises:
            KeyError: unknown id (the exception's argument is the id).
        """

    def pending_events(self) -> list[_CorpusEvent]:
        """Return and clear the pending event list.

        Events come oldest first: ``CorpusCreated``, then one
        ``VectorsInserted`` per insert and one ``CorpusDecompressed`` per
        ``decompress_all``.
        """

    def __reduce__(self) -> NoReturn:
        """Refuse pickling: raises ``TypeError`` saying why and what to persist instead."""


@final
class CorpusCreated:
    """Python parity for ``marrowfin_cpu.corpus.events.CorpusCreated``.

    Recorded once, when a corpus is created. No constructor; pickles (with its
    config by value).
    """

    @property
    def corpus_id(self) -> str:
        """Id of the corpus."""

    @property
    def codec_config(self) -> CodecConfig:
        """The ``CodecConfig`` object the corpus was created with (the same object)."""

    @property
    def compression_policy(self) -> CompressionPolicy:
        """The corpus's policy (a new object equal to the member)."""

    @property
    def timestamp(self) -> int:
        """Always 0: the corpus consults no clock."""

    def __reduce__(self) -> tuple[Any, tuple[str, CodecConfig, CompressionPolicy, int]]:
        """Pickle support: the id, config, policy and timestamp."""

    def __copy__(self) -> Self:
        """Return the event itself: it is immutable."""

    def __deepcopy__(self, memo: object, /) -> Self:
        """Return the event itself: it is immutable."""


@final
class VectorsInserted:
    """Python parity for ``marrowfin_cpu.corpus.events.VectorsInserted``.

    Recorded by every successful ``Corpus.insert``. No constructor; pickles.
    """

    @property
    def corpus_id(self) -> str:
        """Id of the corpus."""

    @property
    def vector_ids(self) -> list[str]:
        """The inserted ids in insertion order (a new list on each read)."""

    @property
    def count(self) -> int:
        """Number of inserted ids."""

    @property
    def timestamp(self) -> int:
        """Always 0: the corpus consults no clock."""

    def __reduce__(self) -> tuple[Any, tuple[str, list[str], int]]:
        """Pickle support: the id, the inserted ids and the timestamp."""

    def __copy__(self) -> Self:
        """Return the event itself: it is immutable."""

    def __deepcopy__(self, memo: object, /) -> Self:
        """Return the event itself: it is immutable."""


@final
class CorpusDecompressed:
    """Python parity for ``marrowfin_cpu.corpus.events.CorpusDecompressed``.

    Recorded by ``Corpus.decompress_all`` on a non-empty corpus. No
    constructor; pickles.
    """

    @property
    def corpus_id(self) -> str:
        """Id of the corpus."""

    @property
    def vector_count(self) -> int:
        """Number of vectors decompressed."""

    @property
    def timestamp(self) -> int:
        """Always 0: the corpus consults no clock."""

    def __reduce__(self) -> tuple[Any, tuple[str, int, int]]:
        """Pickle support: the id, the vector count and the timestamp."""

    def __copy__(self) -> Self:
        """Return the event itself: it is immutable."""

    def __deepcopy__(self, memo: object, /) -> Self:
        """Return the event itself: it is immutable."""


@final
class CompressionPolicyViolationDetected:
    """Python parity for ``marrowfin_cpu.corpus.events.CompressionPolicyViolationDetected``.

    Part of the event vocabulary for parity; no operation records it today.
    No constructor; pickles.
    """

    @property
    def corpus_id(self) -> str:
        """Id of the corpus."""

    @property
    def violation_type(
        self,
    ) -> Literal["config_mismatch", "policy_conflict", "duplicate_id", "dimension_mismatch"]:
        """Kind of violation."""

    @property
    def detail(self) -> str:
        """Free-text description."""

    @property
    def timestamp(self) -> int:
        """Always 0: the corpus consults no clock."""

    def __reduce__(self) -> tuple[Any, tuple[str, str, str, int]]:
        """Pickle support: the id, violation type, detail and timestamp."""

    def __copy__(self) -> Self:
        """Return the event itself: it is immutable."""

    def __deepcopy__(self, memo: object, /) -> Self:
        """Return the event itself: it is immutable."""


# ---- backend --------------------------------------------------------------------


@final
class SearchBackend:
    """Runtime placeholder for the ``SearchBackend`` protocol.

    Cannot be instantiated: ``SearchBackend()`` raises ``ValueError``; use
    ``BruteForceBackend``.
    """

    def __new__(cls) -> NoReturn:
        """Always raises ``ValueError`` (``TypeError`` when given any argument)."""


@final
class SearchResult:
    """Immutable (vector_id, score) pair returned by ``BruteForceBackend.search``.

    ``a < b`` means a ranks before b (a higher score), so ``sorted(results)``
    orders by descending score, keeping the order of equal scores. ``<=`` and
    ``>=`` raise ``TypeError``; ``==`` is identity; unhashable. Pickles to an
    equal-valued result (same id, same float32 score).
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __new__(cls, vector_id: str, score: float) -> Self:
        """Make a result; the score is rounded to the nearest float32.

        Raises:
            TypeError: ``vector_id`` is not a ``str`` or ``score`` is not a
                number.
        """

    @property
    def vector_id(self) -> str:
        """The id of the stored vector."""

    @property
    def score(self) -> float:
        """Cosine similarity, a float32 value widened to float (not clamped to [-1, 1])."""

    def __lt__(self, other: SearchResult, /) -> bool:
        """Whether this result ranks before ``other`` (has a higher score)."""

    def __gt__(self, other: SearchResult, /) -> bool:
        """Whether this result ranks after ``other`` (has a lower score)."""

    def __reduce__(self) -> tuple[type[SearchResult], tuple[str, float]]:
        """Pickle support: ``(SearchResult, (vector_id, score))``."""

    def __copy__(self) -> Self:
        """Return the result itself: it is immutable."""

    def __deepcopy__(self, memo: object, /) -> Self:
        """Return the result itself: it is immutable."""


@final
class BruteForceBackend:
    """Reference search backend: exhaustive cosine similarity.

    Keeps float32 vectors under string ids and returns the ``top_k`` most
    similar by cosine (scores computed in float32, in index order, so they
    equal the plain sequential definition). The first vector fixes the
    dimension until ``clear``. Thread-safe; ``ingest`` and ``search`` release
    the interpreter lock. Refuses pickling: pickle the mapping you ingested.
    """

    def __new__(cls) -> Self:
        """Create an empty backend with no dimension yet."""

    @property
    def count(self) -> int:
        """Number of stored vectors."""

    def ingest(self, vectors: dict[str, _Float32Array]) -> None:
        """Ingest a mapping of ``vector_id -> 1-D f32 array``.

        An existing id has its vector replaced (keeping its place). Every key
        and array is checked and copied before anything is stored.

        Args:
            vectors: a ``dict`` (or subclass) from ``str`` to 1-D float32
                arrays; other mappings are refused.

        Raises:
            TypeError: not a dict, a non-``str`` key or a value that is not a
                1-D float32 array (nothing stored).
            ValueError: a non-contiguous array (nothing stored).
            RuntimeError: "adapter error: dimension mismatch: expected 3, got
                4"; the items before the mismatching one stay stored.
        """

    def search(self, query: _Float32Array, top_k: int) -> list[SearchResult]:
        """The ``top_k`` stored vectors most similar to ``query``.

        Ordered by descending score, ties by id (UTF-8 byte order). A stored
        vector or query containing NaN, or a zero vector, scores 0.0. An empty
        backend gives an empty list.

        Args:
            query: 1-D float32 array of the backend's dimension.
            top_k: number of results wanted, at least 1.

        Raises:
            TypeError: ``query`` is not a 1-D float32 array or ``top_k`` not an
                integer.
            OverflowError: negative ``top_k``.
            ValueError: "top_k must be > 0"; a non-contiguous view.
            RuntimeError: "adapter error: dimension mismatch: expected 3, got
                4".
        """

    def remove(self, vector_ids: Sequence[str]) -> None:
        """Remove the vectors stored under the ids; unknown ids are ignored.

        The dimension stays fixed (use ``clear`` to reset it).

        Raises:
            TypeError: a ``str``, a non-sequence (a set, a dict) or a non-``str``
                item; nothing is removed.
        """

    def clear(self) -> None:
        """Remove every vector and forget the dimension."""

    def __reduce__(self) -> NoReturn:
        """Refuse pickling: raises ``TypeError`` saying why and what to pickle instead."""
