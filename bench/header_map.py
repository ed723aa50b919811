"""HeaderMap against multidict's CIMultiDict, in one process."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from multidict import CIMultiDict  # noqa: E402

from _harness import compare, table  # noqa: E402
from velmora._velmora import HeaderMap  # noqa: E402

FIELDS = [
    ("Host", "www.example.com"),
    ("User-Agent", "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0"),
    ("Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    ("Accept-Language", "en-US,en;q=0.5"),
    ("Accept-Encoding", "gzip, deflate, br, zstd"),
    ("Referer", "https://www.example.com/index.html"),
    ("Connection", "keep-alive"),
    ("Cookie", "session=3f2a9c0d41b7e8; theme=dark; lang=en"),
    ("Upgrade-Insecure-Requests", "1"),
    ("Sec-Fetch-Dest", "document"),
    ("Sec-Fetch-Mode", "navigate"),
    ("Sec-Fetch-Site", "same-origin"),
    ("Sec-Fetch-User", "?1"),
    ("Priority", "u=0, i"),
]


def main():
    h = HeaderMap(FIELDS)
    c = CIMultiDict(FIELDS)
    fresh_h = lambda: HeaderMap(FIELDS).items()  # noqa: E731
    fresh_c = lambda: list(CIMultiDict(FIELDS).items())  # noqa: E731
    rows = [
        ("build from 14 str pairs", *compare(lambda: HeaderMap(FIELDS), lambda: CIMultiDict(FIELDS))),
        ("get (hit)", *compare(lambda: h.get("Accept-Encoding"), lambda: c.get("Accept-Encoding"))),
        ("get (miss)", *compare(lambda: h.get("X-Missing"), lambda: c.get("X-Missing"))),
        ("in (hit)", *compare(lambda: "cookie" in h, lambda: "cookie" in c)),
        ("items()", *compare(lambda: h.items(), lambda: list(c.items()))),
        ("build + items() (first read)", *compare(fresh_h, fresh_c)),
        ("build + get (first read)", *compare(lambda: HeaderMap(FIELDS).get("Accept-Encoding"),
                                              lambda: CIMultiDict(FIELDS).get("Accept-Encoding"))),
    ]
    table("HeaderMap vs multidict.CIMultiDict (14 request fields)", rows, "CIMultiDict")
    worst = min(theirs / ours for _, ours, theirs in rows)
    build = rows[0][2] / rows[0][1]
    ok = build >= 1.0 and worst >= 0.8
    print(f"  construction speedup {build:.2f}x (need >= 1.00x); slowest op {worst:.2f}x (need >= 0.80x): "
          f"{'met' if ok else 'NOT met'}")
    get = rows[1][2] / rows[1][1]
    print(f"  get (hit) speedup {get:.2f}x (target >= 1.50x): {'met' if get >= 1.5 else 'NOT met'}")


if __name__ == "__main__":
    main()
