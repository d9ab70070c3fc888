#!/usr/bin/env python3
"""Recomputes the known-answer constants of the format tests with independent tools:
hashlib (SHA3-256, SHAKE128, BLAKE2b) and the b3sum command (BLAKE3)."""
import hashlib
import subprocess

BLOCK = 1 << 20
PARENT = bytes(range(1, 21))
SEED = bytes(range(0xA0, 0xB0))


def blake3(data):
    out = subprocess.run(["b3sum", "--raw", "-"], input=data, capture_output=True, check=True).stdout
    return out[:32]


def be64(n):
    return n.to_bytes(8, "big")


def header(version, length, parent=PARENT, seed=SEED):
    h = bytearray(parent + seed + be64(length) + bytes(16))
    if version == 3:
        h[52:60] = b"KRO\x03\x01\x01\x14\x00"
        msg = bytes(h[0:44] + h[52:60])
    else:
        msg = bytes(h[0:44])
    h[44:52] = hashlib.sha3_256(msg).digest()[:8]
    return bytes(h)


def content_block(version, seed, k, n):
    return hashlib.shake_128(f"kro:content:shake128:v{version}:".encode() + seed + be64(k)).digest(n)


def whole_file(version, length):
    data = bytearray(header(version, length))
    k = 0
    while len(data) < length:
        cap = BLOCK - 60 if k == 0 else BLOCK
        data += content_block(version, SEED, k, min(cap, length - len(data)))
        k += 1
    return bytes(data)


LEAF = b"kro:file:leaf:blake3:v3\0"
NODE = b"kro:file:node:blake3:v3\0"
ROOT = b"kro:file:root:blake3:v3\0"


def leaf(k, block):
    return blake3(LEAF + be64(k) + be64(len(block)) + block)


def root_of(length, leaves):
    level, nodes = 1, list(leaves)
    while len(nodes) > 1:
        nxt = []
        for j in range(0, (len(nodes) + 1) // 2):
            kids = nodes[2 * j:2 * j + 2]
            nxt.append(blake3(NODE + be64(level) + be64(j) + bytes([len(kids)]) + b"".join(kids)))
        nodes, level = nxt, level + 1
    return blake3(ROOT + be64(BLOCK) + be64(length) + be64(len(leaves)) + nodes[0])


def v3_file_id(length):
    data = whole_file(3, length)
    leaves = [leaf(k, data[k * BLOCK:(k + 1) * BLOCK]) for k in range((length + BLOCK - 1) // BLOCK)]
    return root_of(length, leaves)[:20]


print("header v3 1048577:", header(3, 1048577).hex())
print("header v2 1048577:", header(2, 1048577).hex())
for v in (2, 3):
    for k in (0, 1, 2):
        print(f"content v{v} block {k} first 32:", content_block(v, SEED, k, 32).hex())
    print(f"content v{v} block 0 last 16:", content_block(v, SEED, 0, BLOCK - 60)[-16:].hex())
print("leaf_hash(3, 'abc'):", leaf(3, b"abc").hex())
print("merkle_root(60, 1, 11*32):", root_of(60, [bytes([0x11]) * 32]).hex())
for n, length in ((1, 60), (2, BLOCK + 1), (3, 2 * BLOCK + 100), (5, 4 * BLOCK + 7)):
    print(f"synthetic {n} leaves, length {length}:", root_of(length, [bytes([i]) * 32 for i in range(n)])[:20].hex())
for length in (60, BLOCK, BLOCK + 1, 2 * BLOCK + 100):
    print(f"v3 file id {length}:", v3_file_id(length).hex())
print("v2 file id 1049576:", hashlib.blake2b(whole_file(2, BLOCK + 1000), digest_size=20).hexdigest())
