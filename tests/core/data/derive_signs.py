#!/usr/bin/env python3
"""Derives the expected rotation signs for seed 0xDEADBEEFCAFE1337 independently
of the C++ code: PCG-XSH-RR key expansion written here, ChaCha20 keystream from
the `cryptography` package (pip install cryptography). Run once; the output is
pasted into tests/core/test_rotation.cpp."""
import struct

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms

M64 = (1 << 64) - 1
MUL = 6364136223846793005
INC = 11634580027462260723


def expand_key(seed):
    s = seed
    words = []
    for _ in range(8):
        s = (s * MUL + INC) & M64  # advanced before every output, also the first
        t = (((s >> 18) ^ s) >> 27) & 0xFFFFFFFF
        r = s >> 59
        words.append(((t >> r) | (t << ((32 - r) & 31))) & 0xFFFFFFFF)
    return words


def keystream_words(key_words, count):
    key = struct.pack("<8I", *key_words)
    # 16-byte nonce argument: 64-bit block counter 0, then 64-bit nonce 0.
    nonce = struct.pack("<QQ", 0, 0)
    enc = Cipher(algorithms.ChaCha20(key, nonce), mode=None).encryptor()
    stream = enc.update(bytes(4 * count))
    return list(struct.unpack("<%dI" % count, stream))


def main():
    seed = 0xDEADBEEFCAFE1337
    key = expand_key(seed)
    print("key words:", ", ".join("0x%08X" % w for w in key))
    n = 4096
    words = keystream_words(key, n)
    signs = [-1 if w & 1 else 1 for w in words]
    print("first 16 keystream words:", ", ".join("0x%08X" % w for w in words[:16]))
    print("first 64 signs:", ", ".join("%d" % s for s in signs[:64]))
    for j in (100, 255, 256, 1000, 1023, 2047, 4095):
        print("sign[%d] = %d" % (j, signs[j]))


if __name__ == "__main__":
    main()
