#!/usr/bin/env python3
"""check_imports.py EXPORTS_TXT IMAGE TRIPLET

Every function the image imports must be exported on every system an image
of its machine ships for (EXPORTS_TXT: the systems, which ones each machine's
image ships for, and each function's systems). Names each function a system
lacks, with the system."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe_imports import imports  # noqa: E402


def read_exports(path):
    """({system id: name}, {machine: [system ids]}, {(module, function): {system ids}})"""
    systems, images, exports = {}, {}, {}
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            words = line.split("#", 1)[0].split()
            if not words:
                continue
            kind, args = words[0], words[1:]
            if kind == "system" and len(args) >= 2:
                systems[args[0]] = " ".join(args[1:])
            elif kind == "image" and len(args) >= 2:
                images[args[0]] = args[1:]
            elif kind == "export" and len(args) >= 2:
                exports[(args[0].lower(), args[1])] = set(args[2:])
            else:
                sys.exit(f"{path}:{number}: not a system, image or export line")
            unknown = set({"image": args[1:], "export": args[2:]}.get(kind, [])) - set(systems)
            if unknown:
                sys.exit(f"{path}:{number}: unknown system {' '.join(sorted(unknown))}")
    return systems, images, exports


def main(exports_txt, image, triplet):
    systems, images, exports = read_exports(exports_txt)
    machine = triplet.split("-", 1)[0]
    if machine not in images:
        sys.exit(f"{exports_txt}: no image line for {machine}")
    found = imports(image, triplet)
    if not found:
        sys.exit(f"no imports read from {image}")
    missing = [(system, dll, name) for system in images[machine] for dll, name in sorted(found)
               if system not in exports.get((dll, name), set())]
    for system, dll, name in missing:
        print(f"{os.path.basename(image)} ({machine}) imports {name} from {dll}, which {systems[system]} "
              "does not export", file=sys.stderr)
    if missing:
        return 1
    print(f"{len(found)} imports, each exported by", ", ".join(systems[s] for s in images[machine]))
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
