"""Shared set-up for the Python suite.

The caller's proxy settings (a developer's or CI's HTTP_PROXY, NO_PROXY, ...)
are removed from this process's environment before any test runs, so that
neither ProxyMatcher.from_env nor a child process sees them; a test that
wants a proxy variable sets it itself (monkeypatch, or an explicit env).
"""

import os


def _clear_proxy_environment():
    for name in list(os.environ):
        if name.lower().endswith("_proxy") or name == "REQUEST_METHOD":
            del os.environ[name]


_clear_proxy_environment()
