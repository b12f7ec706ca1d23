#!/usr/bin/env python3
"""Fails when a file under src/ includes a layer above its own.

The layers, bottom up: the error type and the vocabulary (files directly in
src/core), simd, quantize, io, search, engine, and the extension module
(src/python). A file may include its own layer and the layers below it. Two
further rules:
- the module includes no core header but engine/engine.h, error.h and
  interrupt.h (the types the engine's interface takes);
- a kernel translation unit (simd/avx2*.cpp, simd/avx512*.cpp) and every header
  it includes reach no system header but <immintrin.h>, <cstdint> and
  <cstddef>, so that no standard-library code is compiled with wider
  instructions.

Usage: check_layers.py [repository root]   (default: this script's parent's parent)
"""
import re
import sys
from pathlib import Path

CORE_LAYERS = ["", "simd", "quantize", "io", "search", "engine"]  # "" = files directly in src/core
MODULE_RANK = len(CORE_LAYERS)
MODULE_MAY_INCLUDE = {"engine/engine.h", "error.h", "interrupt.h"}
KERNEL_SYSTEM_HEADERS = {"immintrin.h", "cstdint", "cstddef"}
KERNEL_FILE = re.compile(r"^simd/avx(2|512)[^/]*\.cpp$")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def includes(path):
    """(kind, name, line number) of every #include line; kind is '<' or '"'."""
    found = []
    for number, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
        match = INCLUDE.match(line)
        if match:
            found.append((match.group(1), match.group(2), number))
    return found


def main(root):
    core = root / "src" / "core"
    module = root / "src" / "python"
    problems = []

    def layer_of(path):
        """(rank, name) of a source file, or None outside the layered tree."""
        if module in path.parents:
            return MODULE_RANK, "module"
        rel = path.relative_to(core)
        folder = rel.parts[0] if len(rel.parts) > 1 else ""
        if folder not in CORE_LAYERS:
            problems.append(f"{path.relative_to(root)}: folder '{folder}' has no layer; add it to CORE_LAYERS")
            return None
        return CORE_LAYERS.index(folder), folder or "error/vocabulary"

    def resolve(source, name):
        """The file a quoted include names: beside the source, then under src/core."""
        for base in (source.parent, module if module in source.parents else None, core):
            if base is not None and (base / name).is_file():
                return (base / name).resolve()
        return None

    sources = sorted(p for d in (core, module) for p in d.rglob("*") if p.suffix in (".h", ".cpp"))
    for source in sources:
        layer = layer_of(source)
        if layer is None:
            continue
        rank, name = layer
        for kind, included, line in includes(source):
            if kind != '"':
                continue
            target = resolve(source, included)
            where = f"{source.relative_to(root)}:{line}"
            if target is None:
                problems.append(f'{where}: "{included}" not found')
                continue
            target_layer = layer_of(target)
            if target_layer is None:
                continue
            if target_layer[0] > rank:
                problems.append(f'{where}: {name} includes "{included}" of the higher layer {target_layer[1]}')
            if rank == MODULE_RANK and core in target.parents and included not in MODULE_MAY_INCLUDE:
                problems.append(f'{where}: the module includes "{included}"; it reaches the core only through '
                                + ", ".join(sorted(MODULE_MAY_INCLUDE)))

    # Kernel translation units: the whole closure of their quoted includes.
    for source in sources:
        if core not in source.parents or not KERNEL_FILE.match(source.relative_to(core).as_posix()):
            continue
        seen, stack = set(), [source]
        while stack:
            current = stack.pop()
            if current in seen:
                continue
            seen.add(current)
            for kind, included, line in includes(current):
                if kind == "<" and included not in KERNEL_SYSTEM_HEADERS:
                    problems.append(f"{current.relative_to(root)}:{line}: <{included}> reaches the kernel "
                                    f"{source.relative_to(root)}; kernels include only "
                                    + ", ".join(f"<{h}>" for h in sorted(KERNEL_SYSTEM_HEADERS)))
                elif kind == '"':
                    target = resolve(current, included)
                    if target is not None:
                        stack.append(target)

    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        print(f"include layers: {len(problems)} problem(s)", file=sys.stderr)
        return 1
    print(f"include layers: {len(sources)} files, no include reaches a higher layer")
    return 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent))
