"""velmora's HTTP/1.1 and HTTP/2 drivers at work, against curl, nghttp and each other.

Starts examples/server.py on a free loopback port, lets curl send a GET, a
chunked POST with "Expect: 100-continue" and two requests on one kept-alive
connection, fetches from it with examples/client.py; then, on the same port
over HTTP/2 with prior knowledge, lets nghttp fetch and post and the example
client multiplex 100 requests on one connection; then, on a second port over
TLS with a certificate made for the run, curl posts over h2 chosen by ALPN and
the example client fetches; last, the example client opens WebSockets to
/ws, over an HTTP/1.1 upgrade and over an HTTP/2 stream. Prints what each
side saw, and shuts the server down gracefully with SIGTERM.
"""

import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import velmora._velmora as m

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

from tls import make_certificates  # noqa: E402


def section(title):
    print(f"\n=== {title}")


def show_curl(*args):
    """Run curl -v and print the request and response lines it reports, then the body."""
    section("curl " + shlex.join(args))
    r = subprocess.run(["curl", "-sS", "-v", "--max-time", "10", *args],
                       capture_output=True, timeout=15)
    for line in r.stderr.decode(errors="replace").splitlines():
        if line.startswith(("> ", "< ")) and line.strip() not in (">", "<"):
            print("  curl " + ("sent     " if line[0] == ">" else "received ") + line[2:])
        elif re.match(r"\* (Re-using|Connected to|.*[Cc]onnection .* left intact|ALPN: server"
                      r"|SSL connection using)", line):
            print("  curl " + line[2:])
    for line in r.stdout.decode(errors="replace").splitlines():
        print("  body     " + line)


def show_nghttp(*args, data=None):
    """Run nghttp -v and print the frames it sent and received, then the body."""
    section("nghttp " + shlex.join(args))
    r = subprocess.run(["nghttp", "-v", "-t", "10", *args], capture_output=True, timeout=15,
                       input=data)
    body = []
    for line in r.stdout.decode(errors="replace").splitlines():
        if m := re.match(r"\[\s*[\d.]+\] (send|recv) (\w+) frame <(.*)>", line):
            kind, frame, fields = m.groups()
            print(f"  nghttp {'sent    ' if kind == 'send' else 'received'} {frame} {fields}")
        elif m := re.match(r"\[\s*[\d.]+\] recv \(stream_id=\d+\) (\S+: .*)", line):
            print(f"  nghttp received   {m.group(1)}")
        elif not line.startswith(("[", " ")) and line.strip():
            body.append(line)
    for line in body:
        print("  body     " + line)


def run_client(*args):
    """Run the example client under a section title; print its log lines."""
    section("examples/client.py " + shlex.join(args))
    r = subprocess.run([sys.executable, str(EXAMPLES / "client.py"), *args],
                       capture_output=True, timeout=30)
    for line in r.stderr.decode().splitlines():
        print("  client   " + line)
    return r


def show_client(*args):
    """Run the example client; identical consecutive responses are shown once, counted."""
    r = run_client(*args)
    lines = r.stdout.decode().splitlines()
    shown = []
    for status, body in zip(lines[0::2], lines[1::2]):
        if status.startswith("HTTP/") and shown and shown[-1][1:] == [status, body]:
            shown[-1][0] += 1
        elif status.startswith("HTTP/"):
            shown.append([1, status, body])
    for count, status, body in shown:
        print(f"  output   {count} x {status} / {body}")
    for line in lines:
        if line.startswith("connections opened"):
            print("  output   " + line)


def show_ws(*args):
    """Run the example client on a ws:// URL; print its echoes and summary."""
    for line in run_client(*args).stdout.decode().splitlines():
        print("  output   " + line)


def main():
    print("velmora._velmora", m.__version__)
    if not shutil.which("curl"):
        raise SystemExit("curl is not installed")
    # A certificate for this run only, issued by a CA made for it.
    scratch = tempfile.TemporaryDirectory()
    certs = make_certificates(scratch.name) if shutil.which("openssl") else None
    tls = ["--tls", str(certs.cert), str(certs.key), "--tls-port", "0"] if certs else []
    server = subprocess.Popen([sys.executable, "-u", str(EXAMPLES / "server.py"), "--port", "0",
                               *tls], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    log = []
    ready = threading.Event()
    listening = 2 if certs else 1

    def collect():
        for line in server.stdout:
            log.append(line.rstrip("\n"))
            if len(log) >= listening:
                ready.set()

    threading.Thread(target=collect, daemon=True).start()
    try:
        if not ready.wait(10) or not (match := re.search(r"http://\S+/", log[0])):
            raise SystemExit("the example server did not start:\n" + "\n".join(log))
        url = match.group(0).rstrip("/")
        section("examples/server.py")
        for line in log[:listening]:
            print("  " + line)

        show_curl(f"{url}/")
        show_curl("-H", "Transfer-Encoding: chunked", "-H", "Expect: 100-continue",
                  "--data-binary", "hello from curl, in chunks", f"{url}/echo")
        show_curl(f"{url}/", f"{url}/stream?chunks=3&size=12")

        args = [f"{url}/echo", "-d", "posted by the example client", "--repeat", "2", "-v"]
        section("examples/client.py " + shlex.join(args))
        r = subprocess.run([sys.executable, str(EXAMPLES / "client.py"), *args],
                           capture_output=True, timeout=20)
        for line in r.stderr.decode().splitlines():
            print("  client   " + line)
        for line in r.stdout.decode().splitlines():
            print("  output   " + line)

        if shutil.which("nghttp"):
            show_nghttp(f"{url}/stream?chunks=2&size=12&trailers=1")
            show_nghttp("-d", "-", f"{url}/echo", data=b"posted by nghttp over h2c\n")
        show_client("--h2c", f"{url}/delay?ms=100", "--repeat", "100",
                    "--concurrency", "100")

        if certs:
            tls_url = re.search(r"https://\S+/", log[1]).group(0).rstrip("/")
            show_curl("--cacert", str(certs.ca), "--http2", "--data-binary",
                      "posted by curl over TLS", f"{tls_url}/echo")
            show_client("--cacert", str(certs.ca), f"{tls_url}/delay?ms=100", "--repeat", "20",
                        "--concurrency", "20")

        # curl cannot speak WebSockets: the example client does, over an HTTP/1.1
        # upgrade and over an HTTP/2 stream (extended CONNECT).
        ws = url.replace("http://", "ws://", 1) + "/ws"
        show_ws("--ws-message", "héllo, WebSocket", "--repeat", "3", ws)
        show_ws("--h2c", "--ws-message", "over an HTTP/2 stream", "--repeat", "2", ws)

        section("examples/server.py saw")
        time.sleep(0.2)
        server.send_signal(signal.SIGTERM)
        code = server.wait(15)
        time.sleep(0.1)
        # Streams of one HTTP/2 connection that saw the same: the first, then a count.
        same, previous = 0, None
        for line in log[listening:] + [""]:
            key = re.sub(r"stream \d+", "stream N", line)
            if key == previous and "HTTP/2 stream" in line:
                same += 1
                continue
            if same:
                print(f"  ... and {same} more such streams on that connection")
            same, previous = 0, key
            if line:
                print("  " + line)
        print(f"  (exit code {code} after SIGTERM)")
        return code
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
        scratch.cleanup()


if __name__ == "__main__":
    sys.exit(main())
