#!/usr/bin/env python3
"""The ReactOS test guest under QEMU.

  guest.py install --cd ISO --disk QCOW2 --log FILE [--timeout S]
      Installs ReactOS from a remastered boot CD (unattended) onto the disk:
      both stages of setup, up to its last reboot (serial logs FILE.d, FILE.c).
  guest.py run --image QCOW2 --payload ISO --bridge PROGRAM --log FILE [--out DIR] [--timeout S]
      Boots a throwaway overlay of the installed image with the payload CD
      (reactos/guest/run.cmd runs its scenarios) and serves the runner's bus
      link on COM2 (bus_link.py) with bridges emulated by PROGRAM
      (harlen_usbredir_bridge, usb_bridges.py); keeps each scenario's output
      lines and its bridges' wire log until the guest says "done".

Exit status: 0 done, 1 the guest failed or timed out, 2 QEMU could not run.
"""

import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bus_link import LinkServer  # noqa: E402
from qemu_guest import Guest, GuestError  # noqa: E402
from usb_bridges import UsbBridges  # noqa: E402

# The same machine for installing and for running, so setup installs the
# drivers of every device a run has (the USB host controllers above all).
MACHINE = ["-machine", "pc", "-m", "768", "-smp", "1", "-vga", "std", "-nic", "none",
           "-device", "usb-ehci,id=ehci", "-device", "piix3-usb-uhci,id=uhci"]


def install(args):
    """Setup's two stages, each ended by its own reboot (QEMU exits on it: -no-reboot), so
    the disk is left as setup leaves it. ReactOS's own shutdown later on does not save
    the registry (winlogon is ended as a critical process), so nothing after this is kept."""
    for stage, boot in (("text-mode setup", "order=d"), ("graphical setup", "order=c")):
        qemu = MACHINE + ["-no-reboot", "-boot", boot,
                          "-drive", f"file={args.disk},format=qcow2,if=ide,index=0",
                          "-drive", f"file={args.cd},media=cdrom,if=ide,index=2,readonly=on"]
        with tempfile.TemporaryDirectory() as work:
            started = time.monotonic()
            guest = Guest(work, f"{args.log}.{boot[-1]}", qemu)
            try:
                ended = guest.wait_exit(args.timeout)
            finally:
                for line in guest.stop_report():
                    print(line, file=sys.stderr)
                guest.close()
            if not ended:
                print(f"guest: {stage} did not end within {args.timeout} s (serial log: {args.log}.{boot[-1]})",
                      file=sys.stderr)
                return 1
            print(f"guest: {stage} took {time.monotonic() - started:.0f} s", file=sys.stderr)
    return 0


def run(args):
    """Per scenario on the payload: its output lines and its bridges' wire log, in files of
    their own under --out (NAME.outcome, NAME.wire; NAME.notrun when a step could not be
    served on a USB wire, with the reason)."""
    with tempfile.TemporaryDirectory() as work:
        overlay = os.path.join(work, "disk.qcow2")
        subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-F", "qcow2", "-b",
                        os.path.abspath(args.image), overlay], check=True)
        link_path = os.path.join(work, "link.sock")
        qemu = MACHINE + ["-drive", f"file={overlay},format=qcow2,if=ide,index=0",
                          "-drive", f"file={args.payload},media=cdrom,if=ide,index=2,readonly=on",
                          "-boot", "order=c",
                          # COM2: the runner's bus link.
                          "-chardev", f"socket,id=link,path={link_path},server=on,wait=off",
                          "-serial", "chardev:link"]
        guest = Guest(work, args.log, qemu)
        started = time.monotonic()
        deadline = started + args.timeout
        status = 1
        scenario, results = None, {}
        bus = UsbBridges(guest.monitor_command, os.path.abspath(args.bridge), work)
        # Every link line, for a run that stops where nothing else says why.
        link_log = open(os.path.join(args.out or work, "link.log"), "w")
        try:
            LinkServer(guest.connect(link_path), bus, guest.add_guest_line, link_log)
            while True:
                line = guest.wait_for_guest_line(r"", deadline)
                if line is None:
                    print(f"guest: timed out after {args.timeout} s (serial log: {args.log})", file=sys.stderr)
                    break
                word, _, rest = line.partition(" ")
                if word == "ready":
                    print(f"guest: ready after {time.monotonic() - started:.0f} s", file=sys.stderr)
                elif word == "scenario":
                    scenario = rest
                    results[scenario] = {"outcome": [], "notrun": None, "wire": ""}
                    scenario_started = time.monotonic()
                elif word == "scenario-end":
                    name, _, code = rest.partition(" ")
                    if scenario is not None:
                        results[scenario]["wire"] = bus.end_scenario()
                        results[scenario]["notrun"] = bus.take_refusal()
                    print(f"guest: {name}: exit {code}, {time.monotonic() - scenario_started:.0f} s", file=sys.stderr)
                    scenario = None
                elif word == "out" and scenario is not None:
                    results[scenario]["outcome"].append(rest)
                elif word == "done":
                    status = 0
                    break
                else:
                    print(f"guest: {line}", file=sys.stderr)
        except GuestError as error:
            print(f"guest: {error}", file=sys.stderr)
        finally:
            for line in guest.stop_report():
                print(line, file=sys.stderr)
            bus.end_scenario()
            guest.close()
            link_log.close()
        for name, result in results.items():
            write_result(args.out, name, result)
        print(f"guest: run took {time.monotonic() - started:.0f} s", file=sys.stderr)
        return status


def write_result(out, name, result):
    """One scenario's files under `out`, or its outcome on standard output."""
    if not out:
        print(f"== {name}")
        print("\n".join(result["outcome"]))
        return
    files = {"outcome": "".join(line + "\n" for line in result["outcome"]), "wire": result["wire"]}
    if result["notrun"]:
        # A step the USB wire cannot carry out stopped the runner: the scenario did not run here.
        files["notrun"] = result["notrun"] + "\n"
    for kind, text in files.items():
        with open(os.path.join(out, f"{name}.{kind}"), "w") as f:
            f.write(text)


def main():
    # A harness stopped from outside still ends its QEMU (the finally blocks run).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("install")
    p.add_argument("--cd", required=True)
    p.add_argument("--disk", required=True)
    p.add_argument("--log", required=True)
    p.add_argument("--timeout", type=int, default=3600)
    p = commands.add_parser("run")
    p.add_argument("--image", required=True)
    p.add_argument("--payload", required=True)
    p.add_argument("--bridge", required=True, help="harlen_usbredir_bridge (host build)")
    p.add_argument("--log", required=True)
    p.add_argument("--out", help="a folder for one NAME.outcome file per scenario")
    p.add_argument("--timeout", type=int, default=900)
    args = parser.parse_args()
    try:
        return install(args) if args.command == "install" else run(args)
    except GuestError as error:
        print(f"guest: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
