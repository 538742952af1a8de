#!/usr/bin/env python3
"""Fails when a source file includes one of ours from a higher layer.

Layers, lowest first: base, mirot, qelbo/core, qelbo/numerics, qelbo/model, qelbo/fit,
qelbo/optimizer, qelcore. A file may include its own folder and the folders its layer
is allowed to see.
"""
import pathlib
import re
import sys

ALLOWED = {
    "base": {"base"},
    "mirot": {"base", "mirot"},
    "qelbo/core": {"base", "qelbo/core"},
    "qelbo/numerics": {"base", "qelbo/core", "qelbo/numerics"},
    "qelbo/model": {"base", "mirot", "qelbo/core", "qelbo/numerics", "qelbo/model"},
    "qelbo/fit": {"base", "mirot", "qelbo/core", "qelbo/numerics", "qelbo/model", "qelbo/fit"},
    "qelbo/optimizer": {"base", "mirot", "qelbo/core", "qelbo/numerics", "qelbo/model",
                        "qelbo/fit", "qelbo/optimizer"},
}
ALLOWED["qelcore"] = set(ALLOWED) | {"qelcore"}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(path: str) -> str:
    parts = path.split("/")
    return "/".join(parts[:2]) if parts[0] == "qelbo" else parts[0]


def main() -> int:
    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    bad = []
    for f in sorted(src.rglob("*")):
        if f.suffix not in (".h", ".cpp"):
            continue
        rel = f.relative_to(src).as_posix()
        own = folder_of(rel)
        if own not in ALLOWED:
            bad.append(f"{rel}: not in a known layer folder")
            continue
        for inc in INCLUDE.findall(f.read_text()):
            target = folder_of(inc)
            if target in ALLOWED and target not in ALLOWED[own]:
                bad.append(f"{rel}: includes {inc} from a higher layer")
    for line in bad:
        print(line)
    print("layers: ok" if not bad else f"layers: {len(bad)} violation(s)")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
