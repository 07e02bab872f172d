"""The runner's bus requests as the emulated bridges' commands (no QEMU, no emulator).
Run: python3 -m unittest discover -s reactos/guest"""

import struct
import unittest

import usb_bridges
from usb_bridges import (BEHAVIOUR, COMPLETE, FAULT, NO_MISMATCH, PLUG, READ_LOG, STATE_FORMAT, VENDOR_FORMAT,
                         Refused, UsbBridges, bulk_command, endpoints_of, state_record, vendor_command)

CONFIG = bytes.fromhex("09022000010100800a" "0904000002ff000000" "0705810200020007050202000200")
INTERRUPT = bytes.fromhex("0705830340000a")


class Commands(unittest.TestCase):
    def test_endpoints_of_a_configuration_set(self):
        cases = [
            (CONFIG, {(0x81, 2), (0x02, 2)}),
            (CONFIG + INTERRUPT, {(0x81, 2), (0x02, 2), (0x83, 3)}),
            (b"", set()),
        ]
        for config, expected in cases:
            self.assertEqual(endpoints_of(config), expected)
        for malformed in (CONFIG[:-3], bytes.fromhex("0002"), bytes.fromhex("0902")+b"\x00"*5):
            with self.assertRaises(Refused):
                endpoints_of(malformed)

    def test_bulk_commands(self):
        cases = [
            ((0, 0, 512, 0, 3), "bulk reads=loopback writes=loopback"),
            ((4, 1, 512, 0, 3), "bulk reads=hold writes=pattern"),
            ((2, 0, 100, 0, 3), "bulk reads=short writes=loopback short=100"),
        ]
        for fields, expected in cases:
            self.assertEqual(bulk_command(*fields), expected)
        # What a USB wire cannot do: manual completion, a port status of the test's choosing, unknown modes.
        for fields, reason in (((0, 0, 512, 1, 3), "manual completion"), ((0, 0, 512, 0, 2), "port status"),
                               ((6, 0, 512, 0, 3), "unknown")):
            with self.assertRaisesRegex(Refused, reason):
                bulk_command(*fields)

    def test_vendor_commands(self):
        answer4 = bytes.fromhex("2A01").ljust(64, b"\0")
        fields = (7, 0x100, 0, 2, 0, 0, answer4, b"\0" * 64, 0, 0xC0000004, 0, 0, 0xC0000004)
        self.assertEqual(vendor_command(fields),
                         "vendor fffc=0007 00ae=0100 maxlun=0 vendor4=2A01 stall=00ae stall=maxlun")
        fields = (0xFFFF, 0, 3, 0, 1, 0, b"\0" * 64, b"\x05" + b"\0" * 63, 0, 0, 0, 0, 0)
        self.assertEqual(vendor_command(fields), "vendor fffc=FFFF 00ae=0000 maxlun=3 vendor12=05")

    def test_state_from_the_emulators_line(self):
        line = ("state plugged 1 configuration 1 pipe 0x81 offset 4096 held 2 halted 0 "
                "pipe 0x02 offset 8192 held 0 halted 1 mismatch 17")
        state = struct.unpack(STATE_FORMAT, state_record(line))
        self.assertEqual(state[:6], (1, 1, 1, 1, 2, 0))
        self.assertEqual(state[6:10], (2, 0, 0, 0))
        self.assertEqual(state[10:14], (4096, 8192, 0, 0))
        self.assertEqual(state[14:18], (NO_MISMATCH, 17, NO_MISMATCH, NO_MISMATCH))
        self.assertEqual(state[18], 0)  # never busy: the wire has nothing due
        gone = struct.unpack(STATE_FORMAT, state_record(line.replace("plugged 1 configuration 1",
                                                                     "plugged 0 configuration 0")
                                                        .replace("mismatch 17", "mismatch none")))
        self.assertEqual(gone[:4], (0, 0, 0, 0))
        self.assertEqual(gone[15], NO_MISMATCH)

    def test_the_record_layouts_match_bus_control_h(self):
        # HarlenBusPlug, HarlenBusVendor, HarlenBusState as the 32-bit runner sends them (pack 4).
        self.assertEqual(struct.calcsize(usb_bridges.PLUG_FORMAT), 520)
        self.assertEqual(struct.calcsize(VENDOR_FORMAT), 160)
        self.assertEqual(struct.calcsize(STATE_FORMAT), 112)


class Refusals(unittest.TestCase):
    def bus(self):
        monitor = []
        return UsbBridges(lambda command: monitor.append(command) or "", "no-such-program", "."), monitor

    def test_requests_a_wire_cannot_serve_are_refused_with_the_reason(self):
        plug = struct.pack(usb_bridges.PLUG_FORMAT, 0x0590, 0x0002, len(CONFIG), CONFIG)
        other_device = struct.pack(usb_bridges.PLUG_FORMAT, 0x1234, 0x0002, len(CONFIG), CONFIG)
        other_endpoints = CONFIG.replace(bytes.fromhex("070581"), bytes.fromhex("070584"))
        other_set = struct.pack(usb_bridges.PLUG_FORMAT, 0x0590, 0x0002, len(other_endpoints), other_endpoints)
        cases = [
            (FAULT, b"\0" * 12, "injected fault"),
            (COMPLETE, b"\0" * 8, "manual completion"),
            (PLUG, other_device, "VID 1234"),
            (PLUG, other_set, "configuration other than"),
            (BEHAVIOUR, struct.pack("<6I", 1, 0, 0, 512, 0, 3), "no bridge 1"),
            (PLUG, plug[:10], "malformed"),
        ]
        for code, data, reason in cases:
            bus, monitor = self.bus()
            ok, _ = bus.answer(code, data, 4)
            self.assertFalse(ok)
            self.assertIn(reason, bus.take_refusal())
            self.assertIsNone(bus.take_refusal())
            self.assertEqual(monitor, [], "nothing was plugged into the guest")

    def test_the_bus_log_is_empty_not_refused(self):
        bus, _ = self.bus()
        self.assertEqual(bus.answer(READ_LOG, b"\1\0\0\0", 4096), (True, b""))
        self.assertIsNone(bus.take_refusal())


if __name__ == "__main__":
    unittest.main()
