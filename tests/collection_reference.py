"""An independent reader of the collection file's header and a pure-Python
XXH64, so the tests check the documented layout, not just our own reader."""

import struct

M = (1 << 64) - 1
P1, P2, P3, P4, P5 = (
    0x9E3779B185EBCA87,
    0xC2B2AE3D27D4EB4F,
    0x165667B19E3779F9,
    0x85EBCA77C2B2AE63,
    0x27D4EB2F165667C5,
)


def _rotl(x, r):
    return ((x << r) | (x >> (64 - r))) & M


def _round(acc, v):
    return (_rotl((acc + v * P2) & M, 31) * P1) & M


def _merge(h, v):
    return ((h ^ _round(0, v)) * P1 + P4) & M


def xxh64(data: bytes, seed: int = 0) -> int:
    n, i = len(data), 0
    if n >= 32:
        v = [(seed + P1 + P2) & M, (seed + P2) & M, seed, (seed - P1) & M]
        while i + 32 <= n:
            for j in range(4):
                v[j] = _round(v[j], struct.unpack_from("<Q", data, i + 8 * j)[0])
            i += 32
        h = (_rotl(v[0], 1) + _rotl(v[1], 7) + _rotl(v[2], 12) + _rotl(v[3], 18)) & M
        for x in v:
            h = _merge(h, x)
    else:
        h = (seed + P5) & M
    h = (h + n) & M
    while i + 8 <= n:
        h ^= _round(0, struct.unpack_from("<Q", data, i)[0])
        h = (_rotl(h, 27) * P1 + P4) & M
        i += 8
    if i + 4 <= n:
        h ^= (struct.unpack_from("<I", data, i)[0] * P1) & M
        h = (_rotl(h, 23) * P2 + P3) & M
        i += 4
    while i < n:
        h ^= (data[i] * P5) & M
        h = (_rotl(h, 11) * P1) & M
        i += 1
    h ^= h >> 33
    h = (h * P2) & M
    h ^= h >> 29
    h = (h * P3) & M
    return h ^ (h >> 32)


def parse(data: bytes) -> dict:
    """The header's fields and section table as docs/collection_file.md lays them out."""
    magic, version, kind, file_size, header_size, nsections, count, dimension, flags = struct.unpack_from(
        "<8sIIQIIQII", data, 0
    )
    at = 48

    def text():
        nonlocal at
        (n,) = struct.unpack_from("<I", data, at)
        at += 4 + n
        return data[at - n : at]

    config_text, config_hash = text(), text()
    codebook_bits, entries = struct.unpack_from("<II", data, at)
    at += 8
    codebook = struct.unpack_from(f"<{entries}f", data, at)
    at += 4 * entries
    corpus_id = text()
    policy, index_bytes = struct.unpack_from("<II", data, at)
    at = (at + 8 + 7) // 8 * 8
    table_at = at
    sections = []
    for _ in range(nsections):
        tag, _reserved, offset, size, checksum = struct.unpack_from("<IIQQQ", data, at)
        sections.append({"tag": tag, "offset": offset, "size": size, "checksum": checksum})
        at += 32
    (header_checksum,) = struct.unpack_from("<Q", data, at)
    return dict(
        magic=magic, version=version, kind=kind, file_size=file_size, header_size=header_size, count=count,
        dimension=dimension, flags=flags, config_text=config_text, config_hash=config_hash,
        codebook_bits=codebook_bits, codebook=codebook, corpus_id=corpus_id, policy=policy,
        index_bytes=index_bytes, table_at=table_at, sections=sections, header_checksum=header_checksum,
    )


def reseal(data: bytearray) -> bytearray:
    """Recompute the header checksum after editing header fields."""
    (header_size,) = struct.unpack_from("<I", data, 24)
    struct.pack_into("<Q", data, header_size - 8, xxh64(bytes(data[: header_size - 8])))
    return data
