"""Search backends: exact cosine top-k over float32 vectors stored under string ids."""

from marrowfin_rs._core import BruteForceBackend, SearchBackend, SearchResult

__all__ = ["SearchBackend", "SearchResult", "BruteForceBackend"]
