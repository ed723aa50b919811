"""The threaded example server run inside the test process, for tests that need
its objects (custom routes, small windows, the state of every connection)."""

import socket
import sys
import threading

from conftest import EXAMPLES

if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))

import threaded_server  # noqa: E402


class InProcessServer:
    def __init__(self, **options):
        options.setdefault("head_timeout", 5.0)
        options.setdefault("quiet", True)
        self.server = threaded_server.Server(**options)
        self.listener = socket.create_server(("127.0.0.1", 0), backlog=256)
        self.port = self.listener.getsockname()[1]
        self.wake, self.poke = socket.socketpair()
        self.thread = threading.Thread(target=self.server.serve_forever,
                                       args=(self.listener, self.wake), daemon=True)
        self.thread.start()

    def h2_connections(self):
        with self.server.lock:
            return [c for c in self.server.conns if isinstance(c, threaded_server.H2ServerConnection)]

    def h1_connections(self):
        with self.server.lock:
            return [c for c in self.server.conns if isinstance(c, threaded_server.ServerConnection)]

    def stop(self):
        self.poke.send(b"x")
        self.thread.join(5)
        self.listener.close()
        self.server.shutdown()
        for s in (self.wake, self.poke):
            s.close()
