"""Print the runtime documentation of every public name of velmora._velmora.

One record per name: the qualified name, its __text_signature__ and its
docstring (after the signature line), so that two builds can be compared with
diff. `--first` keeps only the first paragraph of each docstring (the short
text a build without the long descriptions also has).
"""

import sys

import velmora._velmora as m


def doc_of(obj, first):
    doc = obj.__doc__ or ""
    if first:
        doc = doc.split("\n\n", 1)[0]
    return doc


def records(first):
    for name in sorted(vars(m)):
        if name.startswith("_"):
            continue
        obj = getattr(m, name)
        if isinstance(obj, type):
            yield name, getattr(obj, "__text_signature__", None), doc_of(obj, first)
            for attr in sorted(vars(obj)):
                if attr.startswith("_"):
                    continue
                member = vars(obj)[attr]
                if isinstance(member, obj):  # enum-like instances
                    continue
                raw = member.__func__ if isinstance(member, (staticmethod, classmethod)) else member
                sig = getattr(getattr(obj, attr), "__text_signature__", None) if callable(raw) else None
                yield f"{name}.{attr}", sig, doc_of(raw, first)
        elif callable(obj):
            yield name, obj.__text_signature__, doc_of(obj, first)


def main():
    first = "--first" in sys.argv[1:]
    for name, sig, doc in records(first):
        print(f"{name}\t{sig}\t{doc!r}")


if __name__ == "__main__":
    main()
