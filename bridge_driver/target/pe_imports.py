"""The import table of a PE image, read with the toolchain's objdump."""
import re
import subprocess


def imports(image, triplet):
    """{(dll in lower case, function)} of a PE image's import table."""
    text = subprocess.run([f"{triplet}-objdump", "-p", image], check=True, capture_output=True, text=True).stdout
    section = text.split("The Import Tables", 1)[1]
    section = re.split(r"\n(?=\S)", section, maxsplit=1)[0]  # up to the next heading
    found, dll = set(), None
    for line in section.splitlines():
        if named := re.match(r"\s*DLL Name: (\S+)", line):
            dll = named.group(1).lower()
        elif dll and (entry := re.match(r"\s+[0-9a-f]+\s+[0-9a-f]+\s+([A-Za-z_]\w*)\s*$", line)):
            found.add((dll, entry.group(1)))
    return found
