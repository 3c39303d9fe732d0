"""Search backends: exact cosine top-k over float32 vectors stored under string ids.

``BruteForceBackend`` answers searches with ``SearchResult`` pairs;
``SearchBackend`` is the placeholder of the backend protocol. The same objects
as in ``marrowfin_rs._core``.
"""

from marrowfin_rs._core import BruteForceBackend as BruteForceBackend
from marrowfin_rs._core import SearchBackend as SearchBackend
from marrowfin_rs._core import SearchResult as SearchResult

__all__ = ["SearchBackend", "SearchResult", "BruteForceBackend"]
