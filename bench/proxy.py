"""ProxyMatcher.intercept against urllib.request.proxy_bypass_environment with
the same 20-entry NO_PROXY list and the same destinations, in one process."""

import sys
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from _harness import ns_per_call, table  # noqa: E402
from velmora._velmora import ProxyMatcher  # noqa: E402

NO_PROXY = ",".join([
    "localhost", "127.0.0.1", ".internal", "corp.example.com", "intranet", ".svc.cluster.local",
    "metadata.google.internal", "169.254.169.254", "registry.local", ".lan", "git.example.org",
    "ci.example.org", "10.0.0.1", "192.168.1.1", "vault", ".consul", "docs.example.net",
    "build.example.net", "artifacts.example.net", ".home.arpa",
])

DESTINATIONS = [
    ("first entry (hit)", "localhost:8080"),
    ("suffix near end (hit)", "printer.home.arpa"),
    ("subdomain of entry (hit)", "api.corp.example.com"),
    ("IPv4 entry (hit)", "169.254.169.254"),
    ("public name (miss)", "www.python.org"),
    ("long public name (miss)", "a.very.long.subdomain.chain.cdn.example-content-delivery.com:443"),
    ("IPv4 (miss)", "93.184.216.34"),
]


def main():
    assert len(NO_PROXY.split(",")) == 20
    m = ProxyMatcher.from_parts(all="http://proxy:3128", no=NO_PROXY)
    proxies = {"no": NO_PROXY}
    bypass = urllib.request.proxy_bypass_environment
    rows = []
    for label, host in DESTINATIONS:
        url = f"https://{host}/path"
        # Both sides must give the same answer for the benchmark to mean anything.
        assert (m.intercept(url) is None) == bool(bypass(host, proxies)), host
        rows.append((label, ns_per_call(lambda: m.intercept(url)), ns_per_call(lambda: bypass(host, proxies))))
    table("ProxyMatcher.intercept vs urllib proxy_bypass_environment (20 NO_PROXY entries)", rows, "urllib")
    ratios = [theirs / ours for _, ours, theirs in rows]
    geo = 1.0
    for r in ratios:
        geo *= r
    geo **= 1 / len(ratios)
    print(f"  geometric mean speedup {geo:.2f}x, slowest {min(ratios):.2f}x")
    print(f"  building the matcher: {ns_per_call(lambda: ProxyMatcher.from_parts(all='http://proxy:3128', no=NO_PROXY)):.0f} ns")


if __name__ == "__main__":
    main()
