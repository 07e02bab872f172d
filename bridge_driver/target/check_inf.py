#!/usr/bin/env python3
"""check_inf.py HARLEN_INF: on NT, the device is for SYSTEM and Administrators
only, through its own name and any name below it. Each NT hardware section
adds the security descriptor and the secure-open characteristic."""
import re
import sys

WANTED = {
    "Security": '"D:P(A;;GA;;;SY)(A;;GA;;;BA)"',
    "DeviceCharacteristics": "0x100",  # FILE_DEVICE_SECURE_OPEN
}

raw = open(sys.argv[1], "rb").read()
if b"\n" in raw.replace(b"\r\n", b""):
    sys.exit("harlen.inf: a line does not end in CRLF")
sections, name = {}, None
for line in raw.decode("ascii").splitlines():
    line = line.strip()
    if not line or line.startswith(";"):
        continue
    header = re.fullmatch(r"\[(.+)\]", line)
    if header:
        name = header.group(1)
        sections[name] = []
    elif name:
        sections[name].append(line)

for platform in ("NTx86", "NTamd64"):
    hw = "Harlen.Install.%s.HW" % platform
    added = [s.strip() for l in sections.get(hw, []) if l.startswith("AddReg=") for s in l[7:].split(",")]
    values = {}
    for section in added:
        for line in sections.get(section, []):
            fields = [f.strip() for f in line.split(",", 4)]
            if fields[0] == "HKR" and len(fields) == 5:
                values[fields[2]] = fields[4]
    for key, value in WANTED.items():
        if values.get(key) != value:
            sys.exit("harlen.inf: [%s] sets %s to %r, not %r" % (hw, key, values.get(key), value))
print("harlen.inf: NTx86 and NTamd64 set the security descriptor and secure open")
