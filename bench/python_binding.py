"""Cost of the Python binding: the per-call overhead of search on a one-vector index, and the
add rate of a C-ordered float32 matrix (the zero-copy route) against lists of lists.

Run after `pip install .`:  python3 bench/python_binding.py
"""
import time

import numpy as np

from kivo import Kivo


def per_call_us(fn, repeat=7, number=20_000):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best * 1e6


def main():
    tiny = Kivo(8)
    tiny.add([1], [[1.0] * 8])
    q_list = [1.0] * 8
    q_array = np.ones(8, np.float32)
    print("search on a one-vector index (dim 8, k=1), best of 7 x 20,000 calls:")
    print(f"  query as list          {per_call_us(lambda: tiny.search(q_list, 1)):6.2f} us/call")
    print(f"  query as float32 array {per_call_us(lambda: tiny.search(q_array, 1)):6.2f} us/call")
    print(f"  is_empty() (floor)     {per_call_us(tiny.is_empty):6.2f} us/call")
    print(f"  len()                  {per_call_us(lambda: len(tiny)):6.2f} us/call")

    rng = np.random.default_rng(0)
    n, dim = 100_000, 384
    data = rng.standard_normal((n, dim)).astype(np.float32)
    ids = np.arange(n, dtype=np.uint64)
    best = float("inf")
    for _ in range(3):
        k = Kivo(dim)
        start = time.perf_counter()
        k.add(ids, data)
        best = min(best, time.perf_counter() - start)
    print(f"add of a {n:,} x {dim} float32 matrix (brute force, 4-bit): {best:.2f} s, {n / best:,.0f} vectors/s")
    rows = data[:20_000].tolist()
    k = Kivo(dim)
    start = time.perf_counter()
    k.add(list(range(20_000)), rows)
    took = time.perf_counter() - start
    print(f"add of 20,000 x {dim} as lists of floats: {took:.2f} s, {20_000 / took:,.0f} vectors/s")


if __name__ == "__main__":
    main()
