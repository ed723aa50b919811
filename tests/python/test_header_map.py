"""HeaderMap: the Python surface, its conversions and its concurrency."""

import threading

import pytest

from velmora._velmora import HeaderMap


def test_construction_forms():
    assert HeaderMap({"Content-Type": "text/html"}).items() == [("content-type", b"text/html")]
    assert HeaderMap({"X-A": "1", "x-a": b"2"}).get_all("x-a") == [b"1", b"2"]
    assert HeaderMap([("A", "1"), ["b", b"2"]]).items() == [("a", b"1"), ("b", b"2")]
    assert HeaderMap(iter([("a", "1")])).items() == [("a", b"1")]
    assert HeaderMap([{0: "a", 1: "1"}]).items() == [("a", b"1")]  # any object indexable by 0 and 1
    assert HeaderMap(None).items() == [] and HeaderMap().items() == []
    src = HeaderMap([("a", "1")])
    copy = HeaderMap(src)
    copy.add("b", "2")
    assert src.items() == [("a", b"1")]
    assert HeaderMap(init=[("a", "1")]).items() == [("a", b"1")]
    # Non-ASCII text values are stored as UTF-8.
    assert HeaderMap([("a", "é")])["a"] == "é".encode()


def test_construction_errors_abort():
    with pytest.raises(TypeError, match="^header name must be str or bytes$"):
        HeaderMap([(1, "x")])
    with pytest.raises(TypeError, match="^header value must be str or bytes$"):
        HeaderMap({"a": 1})
    with pytest.raises(ValueError, match="^invalid header name: invalid HTTP header name$"):
        HeaderMap([("ok", "1"), ("bad name", "1")])
    with pytest.raises(IndexError):
        HeaderMap([("only-name",)])
    with pytest.raises(TypeError):
        HeaderMap(5)


def test_construction_survives_a_list_changed_while_indexing():
    # Indexing an element that is not a tuple runs Python code, which may
    # shrink or grow the list being read.
    pairs = []

    class Shrinks:
        def __getitem__(self, i):
            pairs.clear()
            return ("k", "v")[i]

    pairs[:] = [Shrinks()] + [("n%d" % i, "x" * 64) for i in range(500)]
    assert HeaderMap(pairs).items() == [("k", b"v")]

    class Grows:
        def __getitem__(self, i):
            if i == 1:
                pairs.append(("late", "1"))
            return ("k", "v")[i]

    pairs[:] = [Grows()]
    assert HeaderMap(pairs).items() == [("k", b"v"), ("late", b"1")]


def test_order_and_multiple_values():
    h = HeaderMap()
    h.add("A", "1")
    h.add("B", "2")
    h.add("a", "3")
    assert h.items() == [("a", b"1"), ("a", b"3"), ("b", b"2")]
    assert h.raw_items() == [(b"a", b"1"), (b"a", b"3"), (b"b", b"2")]
    assert h.keys() == ["a", "b"] and list(h) == ["a", "b"]
    assert h.values() == [b"1", b"3", b"2"]
    assert len(h) == 3
    assert h["A"] == b"1" and h.get("a") == b"1" and h.get_all("A") == [b"1", b"3"]
    h["a"] = "9"
    assert h.items() == [("a", b"9"), ("b", b"2")]
    h["c"] = b"new"
    assert h.keys() == ["a", "b", "c"]


def test_deletion_moves_last_name_forward():
    h = HeaderMap([("a", "1"), ("b", "2"), ("c", "3")])
    del h["A"]
    assert h.keys() == ["c", "b"]
    with pytest.raises(KeyError) as e:
        del h["a"]
    assert e.value.args == ("a",)
    with pytest.raises(KeyError) as e:
        h["Missing-Name"]
    assert e.value.args == ("missing-name",)


def test_values_and_names_validation():
    h = HeaderMap()
    for bad in ("a b", "a:b", "", "é"):
        with pytest.raises(ValueError):
            h.add(bad, "x")
    with pytest.raises(ValueError, match="^invalid header value: failed to parse header value$"):
        h.add("a", "x\ny")
    for bad in (b"\x00", b"\x7f", b"\r", "\x1f"):
        with pytest.raises(ValueError):
            h.add("a", bad)
    h.add("a", "tab\there \x80\xff".encode("latin-1"))
    assert len(h) == 1
    # A str with no UTF-8 form (a lone surrogate) is invalid text, reported
    # as such, and changes nothing.
    with pytest.raises(ValueError, match="^invalid header name: invalid HTTP header name$"):
        h.add("a\ud800", "x")
    with pytest.raises(ValueError, match="^invalid header value: failed to parse header value$"):
        h.add("a", "x\udfff")
    with pytest.raises(ValueError, match="^invalid header value"):
        HeaderMap([("b", "\ud800")])
    assert len(h) == 1 and "\ud800" not in h


def test_membership_never_raises():
    h = HeaderMap([("a", "1")])
    assert "A" in h and b"a" in h
    assert 5 not in h and "bad name" not in h and None not in h


def test_lookups_fold_case_at_every_length():
    # Names of every length up to past the lookup's buffer, read back in other
    # cases and forms by get, [] and in; a name that differs in its last
    # byte only (in the word two lookups share) is absent.
    names = [("Ab-9" * 30)[:n] for n in range(1, 110)]
    h = HeaderMap([(n, str(i)) for i, n in enumerate(names)])
    for i, n in enumerate(names):
        value = str(i).encode()
        for key in (n, n.upper(), n.lower().encode(), n.swapcase().encode()):
            assert h.get(key) == value and h[key] == value and key in h
        assert h.get(type("S", (str,), {})(n.upper())) == value
        other = n[:-1] + ("_" if n[-1] != "_" else "x")
        assert h.get(other) is None and other not in h
        with pytest.raises(KeyError) as e:
            h[other.upper()]
        assert e.value.args == (other.lower(),)


def test_invalid_names_in_lookups():
    # Whether present or not, an invalid name raises on get and [] and is
    # never in the map; high bytes beside a letter or a byte that lowering
    # would turn into a stored token character change nothing.
    h = HeaderMap([("a`", "1"), ("x", "2")])
    for bad in ("a b", "", "é", b"\xff@", b"\xc1\xc0`", b"A\x80", "x" * 100 + " ", b"a`\x00"):
        with pytest.raises(ValueError, match="^invalid header name"):
            h.get(bad)
        with pytest.raises(ValueError, match="^invalid header name"):
            h[bad]
        assert bad not in h
    assert h.get("A`") == b"1" and h.get(b"X") == b"2"


def test_get_default_and_setdefault():
    h = HeaderMap([("a", "1")])
    marker = object()
    assert h.get("zz", marker) is marker and h.get("zz") is None
    # A present name returns its first value and never looks at the value.
    assert h.setdefault("a", "bad\nvalue") == b"1"
    assert h.setdefault("a", 12345) == b"1"
    assert h.setdefault("b", "2") == b"2"
    assert h.items() == [("a", b"1"), ("b", b"2")]
    with pytest.raises(ValueError):
        h.setdefault("c", "bad\n")
    assert "c" not in h


def test_equality():
    a = HeaderMap([("x", "1"), ("y", "2"), ("x", "3")])
    assert a == HeaderMap([("y", "2"), ("x", "1"), ("x", "3")])
    assert a != HeaderMap([("x", "3"), ("x", "1"), ("y", "2")])
    assert a == a and not (a != a)
    assert HeaderMap() != {} and not (HeaderMap() == {})
    assert HeaderMap([("a", "1")]) != HeaderMap([("a", "1"), ("b", "2")])
    with pytest.raises(TypeError):
        a < a
    with pytest.raises(TypeError):
        hash(a)


def test_repr():
    assert repr(HeaderMap([("Content-Type", "text/html")])) == "HeaderMap([('content-type', b'text/html')])"
    assert repr(HeaderMap()) == "HeaderMap([])"


def test_iteration_is_a_snapshot():
    h = HeaderMap([("a", "1"), ("b", "2")])
    it = iter(h)
    h.add("c", "3")
    del h["a"]
    assert list(it) == ["a", "b"]


def test_capacity_bound():
    h = HeaderMap([(f"n{i}", "v") for i in range(24576)])
    msg = r"^header map is full \(HeaderMap MAX_SIZE, 32768 entries\)$"
    with pytest.raises(ValueError, match=msg):
        h.add("n0", "again")
    with pytest.raises(ValueError, match=msg):
        h["other"] = "x"
    with pytest.raises(ValueError, match=msg):
        h.setdefault("other", "x")
    assert len(h) == 24576 and h.get_all("n0") == [b"v"]
    with pytest.raises(ValueError, match=msg):
        HeaderMap([(f"n{i}", "v") for i in range(24577)])


def test_subclass_and_copy_from_subclass():
    class Sub(HeaderMap):
        pass

    s = Sub([("a", "1")])
    assert HeaderMap(s) == s and s == HeaderMap(s)


def test_concurrent_mutation_and_cross_equality():
    a = HeaderMap([("x", "1")])
    b = HeaderMap([("x", "1")])
    errors = []

    def work(left, right, n):
        try:
            for i in range(n):
                left.add(f"k{i % 50}", "v")
                left == right
                right == left
                "k1" in left
                left.items()
                if i % 7 == 0:
                    try:
                        del left[f"k{(i * 3) % 50}"]
                    except KeyError:
                        pass
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(a, b, 2000)), threading.Thread(target=work, args=(b, a, 2000)),
               threading.Thread(target=work, args=(a, a, 2000))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert not errors
    assert len(a) == sum(len(a.get_all(k)) for k in a.keys())


def test_repeated_reads_follow_every_mutation():
    h = HeaderMap([("a", "1")])
    first = h.items()
    first.append("junk")  # the caller owns the list it gets
    assert h.items() == [("a", b"1")] and h.raw_items() == [(b"a", b"1")]
    h.add("b", "2")
    assert h.items() == [("a", b"1"), ("b", b"2")] and h.raw_items() == [(b"a", b"1"), (b"b", b"2")]
    h["a"] = "x"
    assert h.items()[0] == ("a", b"x")
    h.setdefault("c", "3")
    assert h.raw_items()[-1] == (b"c", b"3")
    del h["b"]
    assert h.items() == [("a", b"x"), ("c", b"3")]
    assert repr(h) == "HeaderMap([('a', b'x'), ('c', b'3')])"


def test_first_values_follow_positions_and_mutations():
    h = HeaderMap([("a", "1"), ("b", "2"), ("c", "3"), ("a", "4")])
    assert h.get("A") == b"1" and h["c"] == b"3" and h.get("b") is h["B"]
    # Removal moves the last name into the removed one's position: a value
    # kept by position must not answer for the name that moved there.
    del h["a"]
    assert h.get("c") == b"3" and h["b"] == b"2" and h.get("a") is None
    h["c"] = "x"
    assert h["c"] == b"x"
    h.add("a", "5")
    h.add("c", "y")
    assert h.get("a") == b"5" and h.get("c") == b"x"
    assert h.setdefault("d", "6") == b"6" and h["d"] == b"6"
    with pytest.raises(KeyError):
        h["e"]
    assert h.get("e", b"z") == b"z" and h.get(name="d", default=None) == b"6"


def test_first_values_under_concurrent_mutation():
    h = HeaderMap([("a", "0"), ("b", "b")])
    stop = threading.Event()
    seen, errors = set(), []

    def writer():
        for i in range(3000):
            h["a"] = str(i)
            if i % 5 == 0:
                del h["b"]
                h["b"] = "b"
        stop.set()

    def reader():
        try:
            while not stop.is_set():
                v = h.get("a")
                seen.add(v)
                assert h.get("b", b"b") == b"b"
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=writer)] + [threading.Thread(target=reader) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not errors and not any(t.is_alive() for t in threads)
    assert seen <= {str(i).encode() for i in range(3000)}
    assert h["a"] == b"2999" and h.get("a") is h.get("a")
