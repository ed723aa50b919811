"""Headless Chromium opens WebSockets to both example servers, over HTTP/2
(extended CONNECT, RFC 8441) and over HTTP/1.1, with and without
permessage-deflate, and exchanges messages of 1 B to 1 MB: text with
multi-byte characters and binary, each checked on its return; then closes
cleanly on both sides.

Chromium is driven over the DevTools protocol with python's websockets
library as the CDP client. It sends a WebSocket over HTTP/2 when it already
has an HTTP/2 connection to the origin whose SETTINGS allow extended CONNECT:
the page is loaded from the server's TLS port (ALPN h2) and opens
wss://.../ws there. A page loaded from the cleartext port opens the same
wss:// URL on a connection of its own, which Chromium makes HTTP/1.1. The
server's certificate is trusted by its public key's hash
(--ignore-certificate-errors-spki-list), so the connection counts as secure.
`?deflate=0` makes the server decline compression (Chromium always offers it).
"""

import base64
import contextlib
import hashlib
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.request

import pytest
from conftest import Program, free_port

websockets = pytest.importorskip("websockets")
from websockets.sync.client import connect as ws_connect  # noqa: E402

MESSAGES = 200  # per WebSocket (for CI's time): sizes cycle through 1 B .. 100 kB,
SIZES = [1, 10, 100, 1000, 10_000, 100_000]  # and every 50th message is 1 MB

EXCHANGE = """
(async () => {
  const ws = new WebSocket(%(url)s);
  ws.binaryType = "arraybuffer";
  await new Promise((ok, fail) => { ws.onopen = ok; ws.onerror = () => fail("no open"); });
  const sizes = %(sizes)s;
  let good = 0, octets = 0;
  for (let i = 0; i < %(count)d; i++) {
    const size = i %% 50 === 49 ? 1000000 : sizes[i %% sizes.length];
    let msg;
    if (i %% 2 === 0) {
      msg = "a\\u00e9\\u2713\\u{1F389}".repeat(Math.ceil(size / 10));  // 1+2+3+4 octets
    } else {
      msg = new Uint8Array(size);
      for (let j = 0; j < size; j++) msg[j] = (i + j * 7) & 255;
    }
    const back = new Promise(ok => { ws.onmessage = e => ok(e.data); });
    ws.send(msg);
    const got = await back;
    let same;
    if (typeof msg === "string") {
      same = got === msg;
    } else {
      const g = new Uint8Array(got);
      same = g.length === msg.length && g.every((b, j) => b === msg[j]);
    }
    if (same) { good++; octets += size; }
  }
  const closed = new Promise(ok => { ws.onclose = e => ok([e.code, e.wasClean]); });
  ws.close(1000, "bye");
  const [code, clean] = await closed;
  return JSON.stringify({good, octets, code, clean, extensions: ws.extensions});
})()
"""


def spki_hash(cert):
    der = subprocess.run(
        "openssl x509 -in %s -pubkey -noout | openssl pkey -pubin -outform der" % cert,
        shell=True, capture_output=True, check=True).stdout
    return base64.b64encode(hashlib.sha256(der).digest()).decode()


class Browser:
    """Headless Chromium with one page, driven over CDP."""

    def __init__(self, certs):
        exe = shutil.which("chromium") or pytest.skip("chromium is not installed")
        self.profile = tempfile.TemporaryDirectory()
        self.stack = contextlib.ExitStack()
        port = free_port()
        self.prog = Program([
            exe, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-dev-shm-usage", f"--user-data-dir={self.profile.name}",
            f"--ignore-certificate-errors-spki-list={spki_hash(certs.cert)}",
            f"--remote-debugging-port={port}", "about:blank"])
        deadline = time.monotonic() + 20
        while True:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=2) as r:
                    pages = [t for t in json.load(r) if t["type"] == "page"]
                if pages:
                    break
            except OSError:
                pass
            if time.monotonic() > deadline:
                self.close()
                raise AssertionError("chromium did not come up:\n" + "\n".join(self.prog.lines))
            time.sleep(0.2)
        self.cdp = self.stack.enter_context(ws_connect(
            pages[0]["webSocketDebuggerUrl"], max_size=None, proxy=None, open_timeout=10))
        self.seq = 0

    def call(self, method, timeout=60, **params):
        self.seq += 1
        self.cdp.send(json.dumps({"id": self.seq, "method": method, "params": params}))
        deadline = time.monotonic() + timeout
        while True:
            reply = json.loads(self.cdp.recv(max(0.1, deadline - time.monotonic())))
            if reply.get("id") == self.seq:
                if "error" in reply:
                    raise AssertionError(f"{method}: {reply['error']}")
                return reply["result"]

    def open(self, url):
        self.call("Page.navigate", url=url)
        deadline = time.monotonic() + 15
        while self.evaluate("document.readyState") != "complete":
            assert time.monotonic() < deadline, f"{url} did not load"
            time.sleep(0.05)

    def evaluate(self, expression, timeout=60):
        result = self.call("Runtime.evaluate", timeout=timeout, expression=expression,
                           awaitPromise=True, returnByValue=True)
        if "exceptionDetails" in result:
            raise AssertionError(f"page script failed: {result['exceptionDetails']}")
        return result["result"].get("value")

    def close(self):
        self.stack.close()
        self.prog.stop(5)
        try:  # the renderer and helper processes of its session, if any stayed
            os.killpg(self.prog.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.profile.cleanup()


@pytest.fixture(scope="module")
def browser(certs):
    b = Browser(certs)
    try:
        yield b
    finally:
        b.close()


@pytest.mark.parametrize("deflate", [True, False], ids=["deflate", "plain"])
@pytest.mark.parametrize("http2", [True, False], ids=["h2", "http1.1"])
def test_chromium_echoes_through_both_servers(ws_server, browser, http2, deflate):
    host, tls = ws_server.host, ws_server.tls_port
    browser.open(f"https://{host}:{tls}/" if http2 else f"{ws_server.url}/")
    url = f"wss://{host}:{tls}/ws" + ("" if deflate else "?deflate=0")
    mark = ws_server.mark()
    started = time.monotonic()
    result = json.loads(browser.evaluate(EXCHANGE % {
        "url": json.dumps(url), "sizes": json.dumps(SIZES), "count": MESSAGES}))
    took = time.monotonic() - started
    assert result["good"] == MESSAGES, result
    assert result["code"] == 1000 and result["clean"], result
    assert ("permessage-deflate" in result["extensions"]) == deflate, result
    how = r"HTTP/2 stream \d+" if http2 else "HTTP/1.1 upgrade"
    line = ws_server.wait_for(rf"websocket /ws over {how}.*", start=mark).group(0)
    assert f"{MESSAGES} messages" in line and "close 1000 by the client" in line, line
    over = "h2" if http2 else "http/1.1"
    print(f"\n{os.path.basename(ws_server.argv[2])}: chromium over {over}, deflate {deflate}: "
          f"{MESSAGES} messages, {result['octets']} octets each way in {took:.2f} s")
