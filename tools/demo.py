"""velmora's HTTP/1.1 drivers at work, against curl and each other.

Starts examples/server.py on a free loopback port, lets curl send a GET, a
chunked POST with "Expect: 100-continue" and two requests on one kept-alive
connection, fetches from it with examples/client.py, prints what each side
saw, and shuts the server down gracefully with SIGTERM.
"""

import re
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import velmora._velmora as m

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


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
        elif re.match(r"\* (Re-using|Connected to|.*[Cc]onnection .* left intact)", line):
            print("  curl " + line[2:])
    for line in r.stdout.decode(errors="replace").splitlines():
        print("  body     " + line)


def main():
    print("velmora._velmora", m.__version__)
    if not shutil.which("curl"):
        raise SystemExit("curl is not installed")
    server = subprocess.Popen([sys.executable, "-u", str(EXAMPLES / "server.py"), "--port", "0"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    log = []
    ready = threading.Event()

    def collect():
        for line in server.stdout:
            log.append(line.rstrip("\n"))
            ready.set()

    threading.Thread(target=collect, daemon=True).start()
    try:
        if not ready.wait(10) or not (match := re.search(r"http://\S+/", log[0])):
            raise SystemExit("the example server did not start:\n" + "\n".join(log))
        url = match.group(0).rstrip("/")
        section("examples/server.py")
        print("  " + log[0])

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

        section("examples/server.py saw")
        time.sleep(0.2)
        server.send_signal(signal.SIGTERM)
        code = server.wait(15)
        time.sleep(0.1)
        for line in log[1:]:
            print("  " + line)
        print(f"  (exit code {code} after SIGTERM)")
        return code
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()


if __name__ == "__main__":
    sys.exit(main())
