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

`start_tls()` runs TLS on the wire (once, before any other thread uses it).
An `ssl.SSLSocket` cannot be read on one thread while another writes, so the
wire keeps an `ssl.SSLObject` over memory buffers instead: the socket carries
records, and the TLS state is touched only under `_tlock`, held for the
length of one encrypt or decrypt, never while waiting on the socket. Records
leave in the order they were made: whoever takes them out of the outgoing
buffer (a writer, or a reader whose decrypting produced a reply) holds
`_wlock` until they are sent. Locks are taken in that order: `_wlock`, then
`_tlock`.
"""

import select
import socket
import ssl
import threading
import time


class SockWire:
    __slots__ = ("sock", "peer", "_wlock", "_unread", "_shut", "tls", "alpn", "_tlock",
                 "_incoming", "_outgoing")

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
        self.tls = None  # the SSLObject once start_tls() ran
        self.alpn = None  # what the handshake chose: "h2", "http/1.1" (cleartext: None)

    def start_tls(self, context, server_hostname=None, timeout=None):
        """The TLS handshake, as server (`context` is a server context) or as the
        client of `server_hostname`; TimeoutError when it takes over `timeout`
        seconds, ssl.SSLError when it fails. Call it before any other thread
        uses the wire."""
        from tls import negotiated

        self._tlock = threading.Lock()
        self._incoming, self._outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = context.wrap_bio(self._incoming, self._outgoing,
                               server_side=context.protocol == ssl.PROTOCOL_TLS_SERVER,
                               server_hostname=server_hostname)
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                pass
            self._send_records()
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            data = self._recv(left)
            if not data:
                raise ConnectionResetError("the peer closed the connection during the TLS handshake")
            self._incoming.write(data)
        self._send_records()
        self.tls = tls
        self.alpn = negotiated(tls)

    def _recv(self, timeout):
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

    def _send_records(self):
        """Send the records waiting in the outgoing buffer (under `_wlock`, or
        before other threads use the wire)."""
        if self._outgoing.pending:
            self.sock.sendall(self._outgoing.read())

    def _read_tls(self, timeout):
        while True:
            with self._tlock:
                try:
                    return self.tls.read(262144)
                except ssl.SSLWantReadError:
                    pass
                except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
                    return b""  # close_notify, or the peer just closed its side
                except ssl.SSLError as exc:
                    if self._shut:
                        return b""
                    raise ConnectionResetError(f"TLS: {exc.reason or exc}") from None
                reply = self._outgoing.pending
            if reply:  # a record the peer's one asked for (a key update)
                with self._wlock:
                    with self._tlock:
                        out = self._outgoing.read()
                    self._sendall(out)
            data = self._recv(timeout)
            with self._tlock:
                if data:
                    self._incoming.write(data)
                else:
                    self._incoming.write_eof()

    def read(self, timeout=None):
        """The next bytes from the peer; b"" once it closed its side (or the
        wire was closed here). TimeoutError when `timeout` seconds pass first;
        ConnectionError when the connection was reset."""
        if self._unread:
            data, self._unread = self._unread, b""
            return data
        if self.tls is not None:
            return self._read_tls(timeout)
        return self._recv(timeout)

    def unread(self, data):
        """Give bytes back to the front of the read side (a protocol sniffer's peek)."""
        self._unread = data + self._unread

    def write(self, data):
        """Send all of `data`; raises ConnectionError when the peer is gone."""
        with self._wlock:
            if self.tls is not None:
                with self._tlock:
                    try:
                        self.tls.write(data)
                    except ssl.SSLError as exc:
                        raise ConnectionResetError(f"TLS: {exc.reason or exc}") from None
                    data = self._outgoing.read()
            self._sendall(data)

    def _sendall(self, data):
        try:
            self.sock.sendall(data)
        except ConnectionError:
            raise
        except OSError as exc:
            raise ConnectionResetError(str(exc)) from None

    def write_eof(self):
        """Half-close: the peer reads to its end, we may still read."""
        self._close_notify()
        try:
            self.sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def close(self):
        """Send FIN (after TLS's close_notify) and wake every thread blocked on the wire."""
        self._close_notify()
        self._shutdown(False)

    def _close_notify(self):
        # Only when no writer is mid-record, and without waiting on the socket:
        # closing must never block.
        if self.tls is None or not self._wlock.acquire(blocking=False):
            return
        try:
            with self._tlock:
                try:
                    self.tls.unwrap()
                except ssl.SSLError:
                    pass
                out = self._outgoing.read()
            if out:
                self.sock.send(out, socket.MSG_DONTWAIT)
        except (OSError, ValueError):
            pass
        finally:
            self._wlock.release()

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


def connect(host, port, timeout=10.0, tls=None):
    """A wire to host:port; with `tls` (a client context), after its handshake."""
    sock = socket.create_connection((host, port), timeout=timeout)
    sock.settimeout(None)
    wire = SockWire(sock)
    if tls is not None:
        try:
            wire.start_tls(tls, host, timeout)
        except BaseException:
            wire.abort()
            wire.release()
            raise
    return wire
