"""The runner's bus requests answered by bridges emulated over usbredir.

Each plug starts one harlen_usbredir_bridge (reactos/usbredir_bridge/README.md)
and hot-plugs a usb-redir device on the guest's EHCI bus through QEMU's
monitor; modes and vendor answers become the emulator's commands. What a USB
wire cannot do (manual completion, injected faults, a port status of our
choosing, a configuration other than the bridge's own) is refused with the
reason, so the scenario stops there and is listed as not run.
The wire log of each bridge is kept (bridge_log_paths); the bus's own log is
empty, because no bus driver sits between the guest's driver and the wire.
"""

import os
import queue
import struct
import subprocess
import threading
import time

from bus_link import ERROR_INVALID_DATA, ERROR_NOT_SUPPORTED

# wine_kernel/bus_control.h
def _code(function):
    return (0x22 << 16) | (function << 2)


PLUG, UNPLUG, BEHAVIOUR, VENDOR, FAULT, COMPLETE, QUERY, READ_LOG, CLEAR_LOG, DIRECT = (
    _code(0x900 + n) for n in range(10))
MODES = ["loopback", "pattern", "short", "stall", "hold", "discard"]
REQUESTS = ["fffc", "00ae", "vendor4", "vendor12", "maxlun"]
MANUAL = 1
PORT_CONNECTED_AND_ENABLED = 3
PLUG_FORMAT = "<HHI512s"
BEHAVIOUR_FORMAT = "<6I"
VENDOR_FORMAT = "<IHHBBBB64s64s5I"
# present attached started configured pipeCount portResets queued[4] streamOffset[4]
# firstPatternMismatch[4] busy logDropped
STATE_FORMAT = "<6I4I4Q4Q2I"
NO_MISMATCH = (1 << 64) - 1
BRIDGE_ID = (0x0590, 0x0002)
# The endpoints the emulated bridge has; a plug asking for others cannot be served.
BRIDGE_ENDPOINTS = {(0x81, 2), (0x02, 2), (0x83, 3)}
# An emulator answers a command at once; QEMU's monitor within seconds.
COMMAND_WITHIN_S = 30
# The EHCI bus's ports. A bridge takes the lowest free one, so a bridge of a later
# scenario sits where one sat before and the guest knows its device node, driver and all.
PORTS = range(1, 7)
REMOVAL_WITHIN_S = 10


class Refused(Exception):
    """A request the emulated bridge cannot serve; the text says why."""


def endpoints_of(config):
    """(address, transfer type) of each endpoint descriptor in a configuration set; Refused when malformed."""
    found, at = set(), 0
    while at + 2 <= len(config):
        length, kind = config[at], config[at + 1]
        if length < 2 or at + length > len(config):
            raise Refused("a malformed configuration set: the emulated bridge serves only its own")
        if kind == 5 and length >= 7:
            found.add((config[at + 2], config[at + 3] & 3))
        at += length
    return found


def bulk_command(reads, writes, short_length, completion, port_status):
    """The emulator's `bulk` command for a HarlenBusBehaviour."""
    if completion == MANUAL:
        raise Refused("manual completion: QEMU's usb-redir gives the host no hand in when the guest's "
                      "transfers complete, only the device's answer")
    if port_status != PORT_CONNECTED_AND_ENABLED:
        raise Refused("a port status of the test's choosing: the port is QEMU's EHCI port, which reports its own")
    if reads >= len(MODES) or writes >= len(MODES):
        raise Refused(f"bulk modes {reads}, {writes} are unknown")
    command = f"bulk reads={MODES[reads]} writes={MODES[writes]}"
    if "short" in (MODES[reads], MODES[writes]):
        command += f" short={short_length}"
    return command


def vendor_command(fields):
    """The emulator's `vendor` command for a HarlenBusVendor's fields (after the bridge number)."""
    ffffc, word_00ae, max_lun, length4, length12, _, answer4, answer12, *failures = fields
    command = f"vendor fffc={ffffc:04X} 00ae={word_00ae:04X} maxlun={max_lun}"
    if length4:
        command += f" vendor4={answer4[:length4].hex().upper()}"
    if length12:
        command += f" vendor12={answer12[:length12].hex().upper()}"
    for name, failure in zip(REQUESTS, failures):
        if failure:
            command += f" stall={name}"
    return command


def state_record(line):
    """A HarlenBusState from the emulator's `state` line."""
    words = line.split()
    values = dict(zip(words[1::2], words[2::2]))
    pipes = {}
    for at, word in enumerate(words):
        if word == "pipe":
            pipes[int(words[at + 1], 16)] = dict(zip(words[at + 2:at + 10:2], words[at + 3:at + 11:2]))
    order = [0x81, 0x02]
    queued = [int(pipes[p]["held"]) for p in order] + [0, 0]
    offsets = [int(pipes[p]["offset"]) for p in order] + [0, 0]
    mismatch = pipes[0x02].get("mismatch", "none")
    mismatches = [NO_MISMATCH, NO_MISMATCH if mismatch == "none" else int(mismatch), NO_MISMATCH, NO_MISMATCH]
    configured = int(values["configuration"]) != 0
    present = values["plugged"] == "1"
    return struct.pack(STATE_FORMAT, present, present, configured, configured, 2, 0,
                       *queued, *offsets, *mismatches, 0, 0)


class Emulator:
    """One harlen_usbredir_bridge process, its commands on stdin and answers on stdout."""

    def __init__(self, program, socket_path, log_path):
        self.log_path = log_path
        self.process = subprocess.Popen([program, "--socket", socket_path, "--log", log_path],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self._wait_for(lambda line: line == "connected", "connected")

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def _wait_for(self, done, what):
        while True:
            try:
                line = self.lines.get(timeout=COMMAND_WITHIN_S)
            except queue.Empty:
                raise Refused(f"the emulated bridge did not answer '{what}' within {COMMAND_WITHIN_S} s")
            if line is None:
                raise Refused(f"the emulated bridge ended before '{what}'")
            if line.startswith("error "):
                raise Refused(f"the emulated bridge refused '{what}': {line[6:]}")
            if done(line):
                return line

    def command(self, text):
        """Sends one command; returns the lines before its `ok`."""
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()
        verb = text.split()[0]
        answer = []
        self._wait_for(lambda line: line == f"ok {verb}" or answer.append(line), text)
        return answer

    def close(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write("quit\n")
                self.process.stdin.close()
                self.process.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()


class UsbBridges:
    """A bus for bus_link.LinkServer: each plug is a new emulated bridge on the guest's EHCI bus.
    `monitor` sends one QEMU monitor command and returns its answer."""

    def __init__(self, monitor, program, workdir):
        self.monitor = monitor
        self.program = program
        self.workdir = workdir
        self.bridges = {}  # number -> Emulator
        self.ports = {}  # number -> the EHCI port of a bridge still on the bus
        self.next_number = 1
        self.refusal = None  # why the last request could not be served

    def answer(self, code, data, output_length):
        handlers = {PLUG: self._plug, UNPLUG: self._unplug, BEHAVIOUR: self._behave, VENDOR: self._vendor,
                    QUERY: self._query, READ_LOG: lambda _: b"", CLEAR_LOG: lambda _: b""}
        handler = handlers.get(code)
        try:
            if handler is None:
                raise Refused({FAULT: "an injected fault: the emulated bridge fails only as a device can",
                               COMPLETE: "manual completion: QEMU's usb-redir gives the host no hand in when "
                                         "the guest's transfers complete",
                               DIRECT: "the bus's own read and write path: there is no bus driver in the guest"}
                              .get(code, f"bus request {code:08X}"))
            return True, handler(data)
        except (Refused, struct.error) as error:
            self.refusal = str(error) if isinstance(error, Refused) else f"a malformed bus request {code:08X}"
            return False, ERROR_NOT_SUPPORTED if isinstance(error, Refused) else ERROR_INVALID_DATA

    def take_refusal(self):
        refusal, self.refusal = self.refusal, None
        return refusal

    def _bridge(self, data):
        number = struct.unpack_from("<I", data)[0]
        if number not in self.bridges:
            raise Refused(f"no bridge {number}")
        return self.bridges[number]

    def _monitor(self, command):
        answer = self.monitor(command)
        if answer:
            raise Refused(f"QEMU's monitor refused '{command}': {answer}")

    def _plug(self, data):
        vendor_id, product_id, length, config = struct.unpack(PLUG_FORMAT, data)
        if (vendor_id, product_id) != BRIDGE_ID:
            raise Refused(f"a bridge with VID {vendor_id:04X} PID {product_id:04X}: the emulated bridge is "
                          f"{BRIDGE_ID[0]:04X}:{BRIDGE_ID[1]:04X}")
        endpoints = endpoints_of(config[:length])
        if length and not endpoints <= BRIDGE_ENDPOINTS:
            raise Refused("a configuration other than the bridge's own (bulk 0x81 and 0x02, interrupt 0x83)")
        free = [port for port in PORTS if port not in self.ports.values()]
        if not free:
            raise Refused(f"more than {len(PORTS)} bridges at once: the EHCI bus has {len(PORTS)} ports")
        number = self.next_number
        self.next_number += 1
        socket_path = os.path.join(self.workdir, f"bridge{number}.sock")
        self._monitor(f"chardev-add socket,id=redir{number},path={socket_path},server=on,wait=off")
        self._monitor(f"device_add usb-redir,chardev=redir{number},id=bridge{number},bus=ehci.0,port={free[0]}")
        self.ports[number] = free[0]
        self.bridges[number] = Emulator(self.program, socket_path,
                                        os.path.join(self.workdir, f"bridge{number}.wire"))
        return struct.pack("<I", number)

    def _unplug(self, data):
        self._bridge(data).command("unplug")
        return b""

    def _behave(self, data):
        number, reads, writes, short_length, completion, port_status = struct.unpack(BEHAVIOUR_FORMAT, data)
        self._bridge(data).command(bulk_command(reads, writes, short_length, completion, port_status))
        return b""

    def _vendor(self, data):
        fields = struct.unpack(VENDOR_FORMAT, data)
        self._bridge(data).command(vendor_command(fields[1:]))
        return b""

    def _query(self, data):
        lines = self._bridge(data).command("state")
        return state_record(next(line for line in lines if line.startswith("state ")))

    def end_scenario(self):
        """Every bridge of the scenario leaves the guest's bus; returns their wire logs' text."""
        logs = []
        for number, emulator in sorted(self.bridges.items()):
            emulator.close()
            with open(emulator.log_path, errors="replace") as f:
                logs.append(f"# bridge {number}\n" + f.read())
        for number in self.ports:
            # The emulator's going ends the guest's device; these free the port for the next one.
            self.monitor(f"device_del bridge{number}")
        deadline = time.monotonic() + REMOVAL_WITHIN_S
        while any(f"ID: bridge{n}" in self.monitor("info usb") for n in self.ports) and time.monotonic() < deadline:
            time.sleep(0.2)
        for number in self.ports:
            self.monitor(f"chardev-remove redir{number}")
        self.bridges, self.ports = {}, {}
        return "".join(logs)
