"""Memory exhaustion never aborts the interpreter: each case runs in a child
process under an address-space limit, where an allocation the input does not
need would fail. A C++ std::bad_alloc must come out as MemoryError and leave
the object usable."""

import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="RLIMIT_AS and /proc are Linux")

PRELUDE = """
import resource
from velmora._velmora import H1Codec, HeaderMap

def limit(headroom):
    # Address space in use now, plus `headroom` bytes.
    with open("/proc/self/status") as f:
        vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + headroom, resource.RLIM_INFINITY))
"""


def run_limited(body):
    code = PRELUDE + textwrap.dedent(body)
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert p.returncode == 0, p.stderr[-2000:]
    return p.stdout.split()


def test_reservations_follow_the_input_not_its_claims():
    out = run_limited("""
        big = [0] * 50_000_000          # claims 50 million fields
        head = b"GET / HTTP/1.1\\r\\nX: " + b"a" * (30 << 20)   # a large partial head
        limit(192 << 20)
        try:
            HeaderMap(big)
        except TypeError:
            print("typeerror")
        c = H1Codec(max_headers=2**32 - 1, max_buf_size=2**40)
        print(c.receive_request_head(head) is None, c.buffered == len(head))
    """)
    assert out == ["typeerror", "True", "True"]


def test_out_of_memory_is_memory_error_and_the_codec_stays_usable():
    out = run_limited("""
        head = b"GET / HTTP/1.1\\r\\nX: " + b"a" * (256 << 20)
        c = H1Codec(max_buf_size=2**40)
        c.feed(b"GET /first HTTP/1.1\\r\\n")
        limit(128 << 20)
        for _ in range(2):
            try:
                c.receive_request_head(head)
            except MemoryError:
                print("memoryerror", c.buffered)
        h = c.receive_request_head(b"Host: a\\r\\n\\r\\n")
        print(h.target)
    """)
    assert out == ["memoryerror", "21", "memoryerror", "21", "/first"]
