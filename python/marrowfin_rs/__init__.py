"""Compression, storage and exact cosine search of float32 embedding vectors.

The native extension lives in ``marrowfin_rs._core``.
"""
