#!/usr/bin/env python3
"""check_wine_stubs.py harlen SHIPPED TESTED TRIPLET WINE_DLL_DIR
   check_wine_stubs.py bus IMAGE TRIPLET WINE_DLL_DIR

harlen: lists the functions the shipped harlen.sys imports that Wine's kernel
modules only stub (their builtin images name such exports __wine_stub_NAME: a
call aborts the driver host), and checks that the image the Wine tests install
differs from the shipped one only by supplying exactly those functions.
bus: the test bus driver imports from the kernel's modules only, and nothing
Wine only stubs, nor a function Wine implements as doing nothing."""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bridge_driver", "target"))
from pe_imports import imports  # noqa: E402

# Exported as real functions, yet they do nothing under Wine 8: a DPC queued
# with KeInsertQueueDpc never runs.
SILENT_STUBS = {"KeInsertQueueDpc"}
KERNEL_MODULES = {"ntoskrnl.exe", "hal.dll", "usbd.sys"}

# What supplied_for_wine.cpp supplies. A new stubbed import fails here until
# it is supplied, or the driver stops needing it.
SUPPLIED = {"MmMapLockedPages"}


def wine_stubs(dll_dir, dll, triplet):
    text = subprocess.run([f"{triplet}-objdump", "-t", f"{dll_dir}/{dll}"], check=True, capture_output=True,
                          text=True).stdout
    return set(re.findall(r"__wine_stub_(\w+)", text))


def check_harlen(shipped, tested, triplet, dll_dir):
    shipped_imports, tested_imports = imports(shipped, triplet), imports(tested, triplet)
    if not shipped_imports:
        sys.exit(f"no imports read from {shipped}")
    stubs = {dll: wine_stubs(dll_dir, dll, triplet) for dll in {dll for dll, _ in shipped_imports}}
    stubbed = {(dll, name) for dll, name in shipped_imports if name in stubs[dll]}
    print(f"{len(shipped_imports)} imports; Wine only stubs:",
          ", ".join(f"{dll}!{name}" for dll, name in sorted(stubbed)) or "none")
    failures = []
    if {name for _, name in stubbed} != SUPPLIED:
        failures.append(f"the stubbed imports are not the supplied ones ({', '.join(sorted(SUPPLIED))})")
    if tested_imports != shipped_imports - stubbed:
        failures.append("the tested image's imports are not the shipped ones less the supplied functions: "
                        f"extra {sorted(tested_imports - shipped_imports)}, "
                        f"missing {sorted(shipped_imports - stubbed - tested_imports)}, "
                        f"still imported {sorted(tested_imports & stubbed)}")
    for failure in failures:
        print("harlen.sys:", failure, file=sys.stderr)
    if not failures:
        print("the tested image supplies", ", ".join(sorted(SUPPLIED)), "and imports everything else as shipped")
    return 1 if failures else 0


def check_bus(image, triplet, dll_dir):
    found = imports(image, triplet)
    outside = {dll for dll, _ in found} - KERNEL_MODULES
    if not found or outside:
        print(f"{image}: imports nothing, or from {sorted(outside)}", file=sys.stderr)
        return 1
    stubs = {dll: wine_stubs(dll_dir, dll, triplet) | SILENT_STUBS for dll in {dll for dll, _ in found}}
    stubbed = sorted(f"{dll}!{name}" for dll, name in found if name in stubs[dll])
    if stubbed:
        print(f"{image}: imports functions Wine only stubs: {', '.join(stubbed)}", file=sys.stderr)
        return 1
    print(f"{len(found)} imports from the kernel's modules, none a Wine stub")
    return 0


if __name__ == "__main__":
    checks = {"harlen": check_harlen, "bus": check_bus}
    if len(sys.argv) < 2 or sys.argv[1] not in checks:
        sys.exit(__doc__)
    sys.exit(checks[sys.argv[1]](*sys.argv[2:]))
