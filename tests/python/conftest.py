"""Shared fixtures of the kivo test suite: exact-message assertions and small data sets."""
import re

import numpy as np
import pytest


def raises_exact(exc_type, message):
    """pytest.raises for exactly `exc_type` whose str() is exactly `message`."""
    return _ExactRaises(exc_type, message)


class _ExactRaises:
    def __init__(self, exc_type, message):
        self.exc_type = exc_type
        self.message = message
        self._ctx = pytest.raises(exc_type, match="^" + re.escape(message) + "$")

    def __enter__(self):
        self.info = self._ctx.__enter__()
        return self.info

    def __exit__(self, *exc):
        handled = self._ctx.__exit__(*exc)
        if handled:
            assert type(self.info.value) is self.exc_type, type(self.info.value)
            assert self.info.value.args == (self.message,)
        return handled


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


def clustered(rng, n, dim, centres=8, spread=0.15):
    """n float32 vectors around a few Gaussian centres."""
    c = rng.standard_normal((centres, dim)).astype(np.float32)
    labels = rng.integers(0, centres, n)
    return (c[labels] + spread * rng.standard_normal((n, dim))).astype(np.float32)
