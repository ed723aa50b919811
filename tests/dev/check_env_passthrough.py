"""The caller's environment reaches commands run through tools/dev.

Run by `tools/dev test` on the host as

    HTTP_PROXY=http://127.0.0.1:PORT VELMORA_ENV_PROBE=... PYTHONPATH=/nowhere \
        tools/dev python tests/dev/check_env_passthrough.py PROBE

It checks that a variable of the caller's own arrives unchanged, that the
variables tools/dev sets itself win over the caller's (PYTHONPATH: the built
package is importable), and, end to end, that examples/client.py takes its
proxy from the environment it was started with: a stand-in proxy listening at
HTTP_PROXY must receive the request in absolute form and its answer must be
printed. Exits non-zero with a reason on any failure.
"""

import os
import socket
import subprocess
import sys
import threading
from pathlib import Path
from urllib.parse import urlsplit

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
BODY = b"answered by the stand-in proxy\n"


def fail(reason):
    print(f"check_env_passthrough: {reason}", file=sys.stderr)
    sys.exit(1)


def serve_once(listener, seen):
    conn, _ = listener.accept()
    with conn:
        conn.settimeout(10)
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
        seen.append(data)
        conn.sendall(b"HTTP/1.1 200 OK\r\ncontent-length: %d\r\nconnection: close\r\n\r\n%s"
                     % (len(BODY), BODY))


def main():
    probe = sys.argv[1] if len(sys.argv) > 1 else ""
    if os.environ.get("VELMORA_ENV_PROBE") != probe or not probe:
        fail(f"VELMORA_ENV_PROBE did not come through: {os.environ.get('VELMORA_ENV_PROBE')!r}")
    try:
        import velmora._velmora  # noqa: F401  (the PYTHONPATH tools/dev sets won)
    except ImportError as exc:
        fail(f"the built package is not importable: {exc}")
    proxy = os.environ.get("HTTP_PROXY")
    if not proxy:
        fail("HTTP_PROXY did not reach the command")
    parts = urlsplit(proxy)

    listener = socket.create_server((parts.hostname, parts.port))
    listener.settimeout(20)
    seen = []
    server = threading.Thread(target=serve_once, args=(listener, seen), daemon=True)
    server.start()
    # The client gets no proxy argument: only the inherited environment.
    r = subprocess.run([sys.executable, str(EXAMPLES / "client.py"), "http://origin.invalid/probe"],
                       capture_output=True, timeout=30)
    server.join(20)
    listener.close()
    if not seen:
        fail(f"the client did not go through the proxy; it said:\n{r.stdout.decode()}{r.stderr.decode()}")
    request_line = seen[0].split(b"\r\n", 1)[0]
    if request_line != b"GET http://origin.invalid/probe HTTP/1.1":
        fail(f"the proxy got {request_line!r}, not an absolute-form request")
    if r.returncode != 0 or BODY not in r.stdout:
        fail(f"the client did not print the proxy's answer (exit {r.returncode}):\n"
             f"{r.stdout.decode()}{r.stderr.decode()}")
    print("the caller's environment reached the command; the client used its proxy")


if __name__ == "__main__":
    main()
