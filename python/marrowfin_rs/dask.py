"""Compression and search on a Dask cluster, byte-identical to one process.

``compress`` and ``decompress`` turn a row-chunked Dask array of float32 vectors into a Dask array of serialized
records (one fixed-size row of bytes per vector) and back. Both build lazy graphs; every chunk is processed by the
batch codec on whichever worker runs it, so the bytes are those of ``Codec().compress_batch`` + ``to_bytes`` in one
process, whatever the chunking and the number of workers.

``ShardedCorpus`` spreads one logical corpus over several ``Corpus`` objects held in Dask actors on the workers.

Needs the optional dependencies: ``pip install 'marrowfin_rs[dask]'``.
"""

from __future__ import annotations

import hashlib
import operator
import threading
from collections.abc import Sequence
from typing import Any, NamedTuple

# The type checker sees this module whether or not the extra is installed.
try:
    import dask  # type: ignore[import-not-found,unused-ignore]
    import dask.array as da  # type: ignore[import-not-found,unused-ignore]
    import distributed  # type: ignore[import-not-found,unused-ignore]
except ImportError as _missing:
    raise ImportError(
        "marrowfin_rs.dask needs Dask and distributed; install them with: pip install 'marrowfin_rs[dask]'"
    ) from _missing

import numpy as np

from marrowfin_rs import _core

__all__ = ["LostShardError", "ShardedCorpus", "compress", "decompress", "record_size", "shard_of"]

# Byte layout of one serialized record: version (1), config hash (64), dimension (4), bit width (1), the packed
# indices, the residual flag (1) and, when a residual is kept, its length (4) and two bytes per coordinate.
_HEADER_LEN = 70


def record_size(config: _core.CodecConfig) -> int:
    """The length in bytes of every serialized record made under ``config``."""
    if not isinstance(config, _core.CodecConfig):
        raise TypeError(f"config must be a CodecConfig, got {type(config).__name__}")
    packed = (config.dimension * config.bit_width + 7) // 8
    residual = 4 + 2 * config.dimension if config.residual_enabled else 0
    return _HEADER_LEN + packed + 1 + residual


# --------------------------------------------------------------------------------------------------------------
# Shipping the codec: a configuration and a codebook travel as a small tuple of plain values and are rebuilt once
# per worker process (the rotation is then generated once per process by the extension's own cache).


class _CodecParams(NamedTuple):
    bit_width: int
    seed: int
    dimension: int
    residual_enabled: bool
    config_hash: str
    levels: bytes  # the codebook's float32 levels, little-endian
    codebook_bit_width: int


_codecs: dict[_CodecParams, tuple[_core.CodecConfig, _core.Codebook]] = {}
_codecs_lock = threading.Lock()


def _params_of(config: _core.CodecConfig, codebook: _core.Codebook) -> _CodecParams:
    if not isinstance(config, _core.CodecConfig):
        raise TypeError(f"config must be a CodecConfig, got {type(config).__name__}")
    if not isinstance(codebook, _core.Codebook):
        raise TypeError(f"codebook must be a Codebook, got {type(codebook).__name__}")
    levels = np.ascontiguousarray(codebook.entries, dtype="<f4").tobytes()
    return _CodecParams(config.bit_width, config.seed, config.dimension, config.residual_enabled,
                        config.config_hash, levels, codebook.bit_width)


def _codec_for(params: _CodecParams) -> tuple[_core.CodecConfig, _core.Codebook]:
    """The configuration and codebook of ``params``, built once per process."""
    with _codecs_lock:
        found = _codecs.get(params)
    if found is not None:
        return found
    config = _core.CodecConfig(params.bit_width, params.seed, params.dimension, params.residual_enabled)
    if config.config_hash != params.config_hash:  # a different build of the extension on this worker
        raise RuntimeError(f"this worker's marrowfin_rs computes config hash {config.config_hash} for "
                           f"{config!r}, the client sent {params.config_hash}; install one version everywhere")
    levels = np.frombuffer(params.levels, dtype="<f4").astype(np.float32)
    built = (config, _core.Codebook(levels, params.codebook_bit_width))
    with _codecs_lock:
        return _codecs.setdefault(params, built)


def _shared_params(params: _CodecParams) -> Any:
    """One graph key holding ``params``: every chunk task depends on it, so a worker receives it once."""
    return dask.delayed(params, pure=True, traverse=False)


# --------------------------------------------------------------------------------------------------------------
# Array codec


def _compress_block(block: np.ndarray, params: _CodecParams, size: int) -> np.ndarray:
    config, codebook = _codec_for(params)
    records = _core.Codec().compress_batch(np.ascontiguousarray(block, dtype=np.float32), config, codebook)
    out = np.frombuffer(b"".join(record.to_bytes() for record in records), dtype=np.uint8)
    return out.reshape(len(records), size)


def _decompress_block(block: np.ndarray, params: _CodecParams) -> np.ndarray:
    config, codebook = _codec_for(params)
    size = block.shape[1]
    data = np.ascontiguousarray(block).tobytes()
    records = [_core.CompressedVector.from_bytes(data[start:start + size])
               for start in range(0, len(data), size)]
    if not records:
        return np.empty((0, config.dimension), dtype=np.float32)
    return _core.Codec().decompress_batch(records, config, codebook)


def _as_dask_matrix(array: Any, name: str, dtype: np.dtype) -> da.Array:
    if isinstance(array, np.ndarray):
        array = da.from_array(array, chunks=(max(1, min(len(array), 10_000)), -1) if array.ndim == 2 else -1)
    if not isinstance(array, da.Array):
        raise TypeError(f"{name} must be a Dask or NumPy array, got {type(array).__name__}")
    if array.ndim != 2 or array.dtype != dtype:
        raise TypeError(f"{name} must be a 2-D {dtype} array, got a {array.ndim}-D {array.dtype} array")
    if len(array.chunks[1]) != 1:
        array = array.rechunk({1: -1})  # each task needs whole rows
    return array


def compress(vectors: Any, config: _core.CodecConfig, codebook: _core.Codebook) -> da.Array:
    """Compress the rows of a 2-D float32 Dask array into serialized records, lazily.

    Returns a ``uint8`` Dask array of shape ``(n, record_size(config))`` chunked like the input's rows, whose row i
    is exactly ``CompressedVector.to_bytes()`` of vector i as ``Codec().compress_batch`` makes it in one process.
    Raises ``TypeError`` for another dtype or rank, ``DimensionMismatchError`` when the columns differ from the
    configuration's dimension, ``CodebookIncompatibleError`` when the codebook's bit width differs from it.
    """
    params = _params_of(config, codebook)
    vectors = _as_dask_matrix(vectors, "vectors", np.dtype(np.float32))
    if vectors.shape[1] != config.dimension:
        raise _core.DimensionMismatchError(
            f"vector length {vectors.shape[1]} does not match config dimension {config.dimension}")
    if codebook.bit_width != config.bit_width and vectors.shape[0] != 0:
        raise _core.CodebookIncompatibleError(
            f"codebook bit_width {codebook.bit_width} does not match config bit_width {config.bit_width}")
    size = record_size(config)
    return vectors.map_blocks(_compress_block, _shared_params(params), size, dtype=np.uint8,
                              chunks=(vectors.chunks[0], (size,)), meta=np.empty((0, 0), dtype=np.uint8),
                              token="marrowfin-compress")


def decompress(records: Any, config: _core.CodecConfig, codebook: _core.Codebook) -> da.Array:
    """Decode serialized records (a ``uint8`` Dask array, one record per row) into float32 vectors, lazily.

    The inverse of ``compress``: row i of the result is exactly row i of ``Codec().decompress_batch`` over the
    parsed records, shape ``(n, config.dimension)``, chunked like the input's rows. Raises ``ValueError`` when the
    row length is not ``record_size(config)``, ``CodebookIncompatibleError`` for a codebook of another bit width;
    records of another configuration raise ``ConfigMismatchError`` when computed.
    """
    params = _params_of(config, codebook)
    records = _as_dask_matrix(records, "records", np.dtype(np.uint8))
    size = record_size(config)
    if records.shape[1] != size:
        raise ValueError(f"records of {config!r} are {size} bytes long, got rows of {records.shape[1]} bytes")
    if codebook.bit_width != config.bit_width:
        raise _core.CodebookIncompatibleError(
            f"codebook bit_width {codebook.bit_width} does not match config bit_width {config.bit_width}")
    return records.map_blocks(_decompress_block, _shared_params(params), dtype=np.float32,
                              chunks=(records.chunks[0], (config.dimension,)),
                              meta=np.empty((0, 0), dtype=np.float32), token="marrowfin-decompress")


# --------------------------------------------------------------------------------------------------------------
# Sharded corpus


class LostShardError(RuntimeError):
    """A shard of a ``ShardedCorpus`` is gone with the worker that held it.

    Attributes: ``shard`` (its number), ``vector_count`` (how many vectors it held), ``worker`` (its address).
    """

    def __init__(self, corpus_id: str, shard: int, vector_count: int, worker: str) -> None:
        super().__init__(
            f"shard {shard} of corpus {corpus_id!r} is lost: its worker {worker} is gone, and with it the "
            f"{vector_count} vectors it held; nothing was answered from the other shards. Rebuild it with "
            f"ShardedCorpus.replace_shard({shard}) and re-insert its vectors (see the README, 'Scaling out')")
        self.shard = shard
        self.vector_count = vector_count
        self.worker = worker

    def __reduce__(self) -> Any:
        return _lost_shard_error, (self.args[0], self.shard, self.vector_count, self.worker)


def _lost_shard_error(message: str, shard: int, vector_count: int, worker: str) -> LostShardError:
    error = LostShardError.__new__(LostShardError)
    RuntimeError.__init__(error, message)
    error.shard, error.vector_count, error.worker = shard, vector_count, worker
    return error


class _Shard:
    """One ``Corpus`` living in a Dask actor on a worker."""

    def __init__(self, corpus_id: str, params: _CodecParams, policy: str) -> None:
        config, codebook = _codec_for(params)
        self.corpus = _core.Corpus(corpus_id, config, codebook, getattr(_core.CompressionPolicy, policy))

    def existing(self, vector_ids: list[str]) -> list[str]:
        return [vector_id for vector_id in vector_ids if self.corpus.contains(vector_id)]

    def insert_batch(self, vector_ids: list[str], vectors: np.ndarray) -> int:
        self.corpus.insert_batch(vector_ids, np.ascontiguousarray(vectors, dtype=np.float32))
        return self.corpus.vector_count

    def search(self, query: np.ndarray, top_k: int) -> list[tuple[str, float]]:
        return [(result.vector_id, result.score) for result in self.corpus.search(query, top_k)]

    def decoded(self) -> list[tuple[str, np.ndarray]]:
        """Every vector decoded, by id, without recording an event."""
        return [(vector_id, self.corpus.decompress(vector_id)) for vector_id in sorted(
            self.corpus.vector_ids, key=lambda vector_id: vector_id.encode("utf-8"))]

    def get(self, vector_id: str) -> Any:
        return self.corpus.get(vector_id)

    def contains(self, vector_id: str) -> bool:
        return self.corpus.contains(vector_id)

    def remove(self, vector_ids: list[str]) -> int:
        for vector_id in vector_ids:
            self.corpus.remove(vector_id)
        return self.corpus.vector_count

    def vector_count(self) -> int:
        return self.corpus.vector_count

    def decompress_all(self) -> dict[str, np.ndarray]:
        return self.corpus.decompress_all()


def _insert_from_chunks(shard: Any, vector_ids: list[str], vectors: np.ndarray) -> int:
    """Runs on the shard's worker: the rows arrive there straight from the workers that hold them."""
    return shard.insert_batch(vector_ids, vectors).result()


def _live_workers(client: distributed.Client) -> list[str]:
    """The addresses of the workers the scheduler knows now, asked of it directly (``scheduler_info`` returns a
    cached view that a concurrent refresh can leave without its per-worker part)."""
    return sorted(client.nthreads())


def shard_of(vector_id: str, shards: int) -> int:
    """The shard that stores ``vector_id`` among ``shards``: a hash of its UTF-8 bytes, the same on every run."""
    digest = hashlib.blake2b(vector_id.encode("utf-8"), digest_size=8).digest()
    return int.from_bytes(digest, "little") % shards


def _result_key(pair: tuple[str, float]) -> tuple[float, bytes]:
    return (-pair[1], pair[0].encode("utf-8"))


class ShardedCorpus:
    """A corpus split over ``shards`` ``Corpus`` objects held by Dask actors on the cluster's workers.

    Shards are placed round-robin over the workers known when it is built; a vector id goes to the shard
    ``shard_of(id, shards)``, a hash of its bytes. Every method has the meaning it has on ``Corpus``; ``search``
    returns exactly what one ``Corpus`` holding the same entries returns. When a shard's worker is gone, every
    call that needs it raises ``LostShardError`` instead of answering from the other shards.
    """

    def __init__(self, client: distributed.Client, corpus_id: str, config: _core.CodecConfig,
                 codebook: _core.Codebook, policy: _core.CompressionPolicy, shards: int) -> None:
        if not isinstance(client, distributed.Client):
            raise TypeError(f"client must be a distributed.Client, got {type(client).__name__}")
        if not isinstance(corpus_id, str):
            raise TypeError(f"corpus_id must be a str, got {type(corpus_id).__name__}")
        if not isinstance(policy, _core.CompressionPolicy):
            raise TypeError(f"policy must be a CompressionPolicy, got {type(policy).__name__}")
        shards = operator.index(shards)
        if shards < 1:
            raise ValueError(f"shards must be >= 1, got {shards}")
        workers = _live_workers(client)
        if not workers:
            raise RuntimeError("the cluster has no workers to hold the shards")
        self._client = client
        self._corpus_id = corpus_id
        self._config = config
        self._codebook = codebook
        self._policy = policy
        self._params = _params_of(config, codebook)
        self._shards = shards
        self._workers: list[str] = []
        self._actors: list[Any] = []
        self._counts: list[int] = []
        futures = [self._start_shard(workers[shard % len(workers)]) for shard in range(shards)]
        for future, worker in zip(futures, (workers[s % len(workers)] for s in range(shards))):
            self._actors.append(future.result())
            self._workers.append(worker)
            self._counts.append(0)

    def _start_shard(self, worker: str) -> distributed.Future:
        return self._client.submit(_Shard, self._corpus_id, self._params, self._policy.name, actor=True,
                                   workers=[worker], allow_other_workers=False, pure=False)

    # Properties --------------------------------------------------------------------------------------------

    @property
    def corpus_id(self) -> str:
        return self._corpus_id

    @property
    def codec_config(self) -> _core.CodecConfig:
        return self._config

    @property
    def codebook(self) -> _core.Codebook:
        return self._codebook

    @property
    def compression_policy(self) -> _core.CompressionPolicy:
        return self._policy

    @property
    def shards(self) -> int:
        return self._shards

    @property
    def workers(self) -> list[str]:
        """The address of the worker holding each shard."""
        return list(self._workers)

    def shard_of(self, vector_id: str) -> int:
        """The shard that stores (or would store) ``vector_id``."""
        if not isinstance(vector_id, str):
            raise TypeError(f"vector_id must be a str, got {type(vector_id).__name__}")
        return shard_of(vector_id, self._shards)

    # Calls to the shards -----------------------------------------------------------------------------------

    def _check_alive(self, shards: Sequence[int]) -> None:
        alive = _live_workers(self._client)
        for shard in shards:
            if self._workers[shard] not in alive:
                raise LostShardError(self._corpus_id, shard, self._counts[shard], self._workers[shard])

    def _call(self, shards: Sequence[int], method: str, *args_per_shard: Sequence[Any]) -> list[Any]:
        """Calls ``method`` on every shard of ``shards`` at once (argument lists indexed like ``shards``)."""
        self._check_alive(shards)
        pending = []
        for position, shard in enumerate(shards):
            args = [values[position] for values in args_per_shard]
            pending.append(getattr(self._actors[shard], method)(*args))
        return self._wait(shards, pending)

    def _wait(self, shards: Sequence[int], pending: list[Any]) -> list[Any]:
        """The results of calls pending on ``shards``; waits for all before raising the first failure (a shard
        whose worker has gone meanwhile fails with ``LostShardError``)."""
        results: list[Any] = []
        failure: BaseException | None = None
        for shard, call in zip(shards, pending):
            try:
                results.append(call.result())
            except Exception as error:
                results.append(None)
                if not self._alive(shard):
                    error = LostShardError(self._corpus_id, shard, self._counts[shard], self._workers[shard])
                if failure is None or (isinstance(error, LostShardError)
                                       and not isinstance(failure, LostShardError)):
                    failure = error
        if failure is not None:
            raise failure
        return results

    def _alive(self, shard: int) -> bool:
        return self._workers[shard] in _live_workers(self._client)

    def _all(self) -> list[int]:
        return list(range(self._shards))

    # Operations --------------------------------------------------------------------------------------------

    def insert_batch(self, vector_ids: Any, vectors: Any) -> None:
        """Store ``vectors`` (2-D float32, NumPy or Dask) under ``vector_ids`` (a sequence or Dask array of str).

        Every check runs before anything is stored: lengths agree, ids are unique within the batch and new to
        every shard (``DuplicateVectorError`` naming the first offending id otherwise). Each shard stores its
        part all or nothing; if one shard fails, the parts already stored on the others are removed again.
        """
        if isinstance(vector_ids, da.Array):
            vector_ids = vector_ids.compute()
        if isinstance(vector_ids, (str, bytes)) or not isinstance(vector_ids, (Sequence, np.ndarray)):
            raise TypeError(f"vector_ids must be a sequence of str, got {type(vector_ids).__name__}")
        ids = [str(vector_id) if isinstance(vector_id, np.str_) else vector_id for vector_id in vector_ids]
        for vector_id in ids:
            if not isinstance(vector_id, str):
                raise TypeError(f"vector_ids must hold str, got {type(vector_id).__name__}")
        if not isinstance(vectors, (np.ndarray, da.Array)):
            raise TypeError(f"vectors must be a NumPy or Dask array, got {type(vectors).__name__}")
        if vectors.ndim != 2 or vectors.dtype != np.float32:
            raise TypeError(f"vectors must be a 2-D float32 array, got a {vectors.ndim}-D {vectors.dtype} array")
        if len(ids) != vectors.shape[0]:
            raise ValueError(f"{len(ids)} vector_ids for {vectors.shape[0]} vectors")
        if vectors.shape[1] != self._config.dimension:
            raise _core.DimensionMismatchError(
                f"dimension mismatch: expected {self._config.dimension}, got {vectors.shape[1]}")
        seen: set[str] = set()
        for vector_id in ids:
            if vector_id in seen:
                raise _core.DuplicateVectorError(f"duplicate vector_id {vector_id}")
            seen.add(vector_id)
        if not ids:
            return

        rows_of: dict[int, list[int]] = {}
        for row, vector_id in enumerate(ids):
            rows_of.setdefault(shard_of(vector_id, self._shards), []).append(row)
        shards = sorted(rows_of)
        shard_ids = [[ids[row] for row in rows_of[shard]] for shard in shards]
        existing = set().union(*self._call(shards, "existing", shard_ids))
        for vector_id in ids:
            if vector_id in existing:
                raise _core.DuplicateVectorError(f"duplicate vector_id {vector_id}")

        self._check_alive(shards)
        if isinstance(vectors, np.ndarray):
            pending = [self._actors[shard].insert_batch(part, np.ascontiguousarray(vectors[rows_of[shard]]))
                       for shard, part in zip(shards, shard_ids)]
        else:
            vectors = vectors.rechunk({1: -1})
            pending = []
            for shard, part in zip(shards, shard_ids):
                rows = self._client.compute(vectors[np.asarray(rows_of[shard])], workers=[self._workers[shard]])
                pending.append(self._client.submit(_insert_from_chunks, self._actors[shard], part, rows,
                                                   workers=[self._workers[shard]], allow_other_workers=False,
                                                   pure=False))
        try:
            counts = self._wait(shards, pending)
        except BaseException:
            self._undo(shards, shard_ids)
            raise
        for shard, count in zip(shards, counts):
            self._counts[shard] = count

    def _undo(self, shards: list[int], shard_ids: list[list[str]]) -> None:
        """Removes what a failed batch stored on the shards where it succeeded."""
        for shard, part in zip(shards, shard_ids):
            if not self._alive(shard):
                continue
            try:
                stored = self._actors[shard].existing(part).result()
                if stored:
                    self._counts[shard] = self._actors[shard].remove(stored).result()
            except Exception:  # the original failure is what the caller needs to see
                pass

    def search(self, query: np.ndarray, top_k: int) -> list[Any]:
        """Exact cosine top-k over every shard, exactly as one ``Corpus`` holding the same entries answers.

        Results come highest score first; equal scores (and NaN) are ordered by the ids' UTF-8 bytes.
        """
        top_k = operator.index(top_k)
        if top_k == 0:
            raise ValueError("top_k must be > 0")
        if top_k < 0:
            raise OverflowError("can't convert negative int to unsigned")
        if not isinstance(query, np.ndarray) or query.ndim != 1 or query.dtype != np.float32:
            raise TypeError("query must be a 1-D float32 NumPy array")
        query = np.ascontiguousarray(query)
        shards = self._all()
        answers = self._call(shards, "search", [query] * len(shards), [top_k] * len(shards))
        merged = [pair for answer in answers for pair in answer]
        if any(score != score for _, score in merged):
            return self._search_with_nan(query, top_k)
        merged.sort(key=_result_key)
        return [_core.SearchResult(vector_id, score) for vector_id, score in merged[:top_k]]

    def _search_with_nan(self, query: np.ndarray, top_k: int) -> list[Any]:
        # A NaN score (possible only with infinite values) makes the order depend on where entries sit, not only
        # on scores and ids; the reference backend over every decoded vector in id order reproduces it exactly.
        decoded = [pair for part in self._call(self._all(), "decoded") for pair in part]
        decoded.sort(key=lambda pair: pair[0].encode("utf-8"))
        backend = _core.BruteForceBackend()
        backend.ingest(dict(decoded))
        return backend.search(query, top_k)

    def get(self, vector_id: str) -> Any:
        """The stored ``VectorEntry``; ``KeyError`` with the id for an unknown id."""
        shard = self.shard_of(vector_id)
        return self._call([shard], "get", [vector_id])[0]

    def contains(self, vector_id: str) -> bool:
        shard = self.shard_of(vector_id)
        return self._call([shard], "contains", [vector_id])[0]

    def __contains__(self, vector_id: object) -> bool:
        return isinstance(vector_id, str) and self.contains(vector_id)

    def remove(self, vector_id: str) -> None:
        """Remove one vector; ``KeyError`` with the id for an unknown id."""
        shard = self.shard_of(vector_id)
        self._counts[shard] = self._call([shard], "remove", [[vector_id]])[0]

    @property
    def vector_count(self) -> int:
        counts = self._call(self._all(), "vector_count")
        self._counts = list(counts)
        return sum(counts)

    def __len__(self) -> int:
        return self.vector_count

    def decompress_all(self) -> dict[str, np.ndarray]:
        """Every vector decoded, keyed by id in ascending order of the ids' bytes (as ``Corpus.decompress_all``)."""
        parts = self._call(self._all(), "decompress_all")
        merged = [item for part in parts for item in part.items()]
        merged.sort(key=lambda item: item[0].encode("utf-8"))
        return dict(merged)

    def replace_shard(self, shard: int) -> None:
        """Start an empty corpus for ``shard`` on a live worker, in place of one that was lost.

        Re-insert the shard's vectors afterwards: the ids ``i`` with ``shard_of(i) == shard``, from the stored
        source vectors or records (see the README, 'Scaling out').
        """
        shard = operator.index(shard)
        if not 0 <= shard < self._shards:
            raise IndexError(f"shard {shard} out of range [0, {self._shards})")
        workers = _live_workers(self._client)
        if not workers:
            raise RuntimeError("the cluster has no workers to hold the shard")
        worker = workers[shard % len(workers)]
        self._actors[shard] = self._start_shard(worker).result()
        self._workers[shard] = worker
        self._counts[shard] = 0

    def __repr__(self) -> str:
        return (f"ShardedCorpus(corpus_id={self._corpus_id!r}, shards={self._shards}, "
                f"policy={self._policy!r}, config={self._config!r})")
