"""velmora: asynchronous HTTP/1.1 and HTTP/2. `velmora._velmora` is the sans-IO protocol core."""

from velmora._velmora import __version__

__all__ = ["__version__"]
