"""The byte pipe the threaded example drivers read from and write to.

`SockWire` wraps one connected blocking socket. `read()` blocks for the next
bytes (b"" once the peer closed its side), `write()` sends everything (one
writer at a time, under the wire's own lock), `close()` ends the connection
(FIN) and `abort()` drops it (RST once released). Both wake a thread blocked
in `read()` or `write()` on another thread: they shut the socket down and
leave the descriptor open, so a number the kernel hands out again can never
be read by a thread that still holds the old one. The thread that owns the
connection calls `release()` once every thread using the wire has ended.

As with the asyncio `Wire`, the connection states decide who reads: one
reader at a time.
"""

import select
import socket
import threading


class SockWire:
    __slots__ = ("sock", "peer", "_wlock", "_unread", "_shut")

    def __init__(self, sock):
        self.sock = sock
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass
        try:
            info = sock.getpeername()
            self.peer = f"{info[0]}:{info[1]}"
        except OSError:
            self.peer = "?"
        self._wlock = threading.Lock()
        self._unread = b""
        self._shut = False

    def read(self, timeout=None):
        """The next bytes from the peer; b"" once it closed its side (or the
        wire was closed here). TimeoutError when `timeout` seconds pass first;
        ConnectionError when the connection was reset."""
        if self._unread:
            data, self._unread = self._unread, b""
            return data
        if timeout is not None:
            ready, _, _ = select.select([self.sock], [], [], timeout)
            if not ready:
                raise TimeoutError("no bytes from the peer in time")
        try:
            return self.sock.recv(262144)
        except (ConnectionError, TimeoutError):
            raise
        except OSError:
            if self._shut:
                return b""
            raise

    def unread(self, data):
        """Give bytes back to the front of the read side (a protocol sniffer's peek)."""
        self._unread = data + self._unread

    def write(self, data):
        """Send all of `data`; raises ConnectionError when the peer is gone."""
        with self._wlock:
            try:
                self.sock.sendall(data)
            except ConnectionError:
                raise
            except OSError as exc:
                raise ConnectionResetError(str(exc)) from None

    def write_eof(self):
        """Half-close: the peer reads to its end, we may still read."""
        try:
            self.sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def close(self):
        """Send FIN and wake every thread blocked on the wire."""
        self._shutdown(False)

    def abort(self):
        """Drop the connection: the peer sees a reset once the wire is released."""
        self._shutdown(True)

    def _shutdown(self, reset):
        self._shut = True
        try:
            if reset:
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                     b"\x01\x00\x00\x00\x00\x00\x00\x00")
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def release(self):
        """Close the descriptor: only the owning thread, once nobody else uses it."""
        self._shut = True
        self.sock.close()


def connect(host, port, timeout=10.0):
    sock = socket.create_connection((host, port), timeout=timeout)
    sock.settimeout(None)
    return SockWire(sock)
