#!/usr/bin/env python3
"""Regenerates the seed corpus for the compressed-vector reader fuzz target.

Writes small hand-made records into fuzz/corpus/unpack/: valid records of each
bit width with and without residual, and inputs sitting exactly on each
validation boundary of the reader. Deterministic; needs only the standard
library.
"""
import hashlib
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "unpack")
HASH = hashlib.sha256(b"CodecConfig(bit_width=4,seed=42,dimension=3,residual_enabled=False)").hexdigest()


def pack(indices, bit_width):
    area = bytearray((len(indices) * bit_width + 7) // 8)
    for i, value in enumerate(indices):
        bit = i * bit_width
        area[bit // 8] |= (value & ((1 << bit_width) - 1)) << (bit % 8)
    return bytes(area)


def header(dimension, bit_width, version=1, hash_field=None):
    if hash_field is None:
        hash_field = HASH.encode()
    field = hash_field[:64].ljust(64, b"\0")
    return bytes([version]) + field + struct.pack("<I", dimension) + bytes([bit_width])


def record(indices, bit_width, residual=None, hash_field=None, version=1):
    body = header(len(indices), bit_width, version, hash_field) + pack(indices, bit_width)
    if residual is None:
        return body + b"\0"
    return body + b"\x01" + struct.pack("<I", len(residual)) + residual


def main():
    rng = random.Random(20240611)
    seeds = {}
    for bw in (2, 4, 8):
        for dim in (0, 1, 3, 5, 8, 17):
            idx = [rng.randrange(1 << bw) for _ in range(dim)]
            seeds[f"valid_bw{bw}_d{dim}"] = record(idx, bw)
            res = bytes(rng.randrange(256) for _ in range(2 * dim))
            seeds[f"valid_bw{bw}_d{dim}_residual"] = record(idx, bw, res)
    idx = [1, 2, 15]
    seeds["worked_example"] = record(idx, 4)
    seeds["trailing_bytes"] = record(idx, 4) + b"\xde\xad\xbe\xef"
    seeds["padding_bits_set"] = record(idx, 4)[:-2] + b"\xff\x00"
    seeds["empty_hash"] = record(idx, 4, hash_field=b"")
    seeds["hash_interior_nul"] = record(idx, 4, hash_field=b"ab\0cd")
    seeds["hash_multibyte"] = record(idx, 4, hash_field="é€😀".encode())
    # One valid character for each class of lead byte.
    seeds["hash_lead_classes"] = record(idx, 4, hash_field="\u0080\u07ff\u0800\u1000\ud7ff\ue000\uffff\U00010000\U00040000\U0010ffff".encode())
    for name, bad in {
        "overlong": b"\xc0\x80",
        "surrogate": b"\xed\xa0\x80",
        "above_max": b"\xf4\x90\x80\x80",
        "truncated": b"ab\xe2\x82",
        "stray_continuation": b"\x80",
        "lead_c1": b"\xc1\xbf",
        "lead_f5": b"\xf5\x80\x80\x80",
        "bad_second_e1": b"\xe1\x41\x80",
        "bad_third_f1": b"\xf1\x80\x41\x80",
    }.items():
        seeds[f"bad_utf8_{name}"] = record(idx, 4, hash_field=bad)
    seeds["bad_utf8_version2"] = record(idx, 4, hash_field=b"\xff", version=2)
    for v in (0, 2, 0x7F):
        seeds[f"version_{v:02x}"] = record(idx, 4, version=v)
    for bw in (0, 3, 16):
        seeds[f"bit_width_{bw}"] = header(3, bw) + b"\0\0\0"
    for n in (0, 1, 69):
        seeds[f"short_{n}"] = record(idx, 4)[:n]
    seeds["header_only_d0"] = header(0, 8)
    seeds["indices_no_flag"] = header(3, 4) + pack(idx, 4)
    seeds["flag_02"] = header(3, 4) + pack(idx, 4) + b"\x02"
    seeds["flag_ff"] = header(3, 4) + pack(idx, 4) + b"\xff"
    seeds["residual_length_cut"] = header(3, 4) + pack(idx, 4) + b"\x01\x06\0"
    seeds["residual_data_cut"] = header(3, 4) + pack(idx, 4) + b"\x01\x06\0\0\0" + b"\0" * 5
    for delta in (-1, 1):
        res = b"\x11" * (6 + delta)
        seeds[f"residual_len_{6 + delta}"] = record(idx, 4, res)
    seeds["huge_dimension"] = (header(0xFFFFFFFF, 8) + b"\0" * 30)[:100]
    seeds["huge_residual_length"] = header(3, 4) + pack(idx, 4) + b"\x01\xff\xff\xff\xff"

    os.makedirs(OUT, exist_ok=True)
    for name, data in sorted(seeds.items()):
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
    print(f"wrote {len(seeds)} seeds to {OUT}")


if __name__ == "__main__":
    main()
