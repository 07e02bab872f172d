"""The harness's parts that need no QEMU: answering the kernel debugger from what
the serial port says, and the bus link's messages.
Run: python3 -m unittest discover -s reactos/guest"""

import unittest

from bus_link import ERROR_INVALID_DATA, LinkServer, format_answer, parse_request
from qemu_guest import PendingAnswer, SerialConsole

# As a ReactOS guest printed it when winlogon ended during shutdown (serial log, abridged).
CRITICAL_PROCESS = [
    ("Terminating critical process 0xB10CA5B0 (winlogon.exe)\nBreak, or Ignore (bi)? ", b""),
    ("\nkdb:> ", b"b\r"),
    ("b\n\nEntered debugger on embedded INT3 at 0x0008:0x805ABB24.\nEip:\nFrames:\n<ntdll.dll:f471>\n\n"
     "Type \"help\" for a list of commands.\n\nkdb:> ", b"bt\r"),
    ("bt\nFrames:\n<ntoskrnl.exe:134737 (ntoskrnl/ps/kill.c:1198 (NtTerminateProcess))>\n\nkdb:> ", b"cont\r"),
    ("cont\nvarrow-guest: done\n", b""),
]
# An assertion entering the debugger at once.
ASSERTION = [
    ("(ntoskrnl/io/iomgr/irp.c:1234) ASSERT failed\nkdb:> ", b"bt\r"),
    ("bt\nFrames:\n<ntoskrnl.exe:1>\nkdb:> ", b"cont\r"),
    ("cont\n", b""),
    ("second stop\nkdb:> ", b"bt\r"),
]
# A failed assertion that asks first (serial log of a hot-unplug, abridged):
# "o" breaks once; "b" would ask again after every "cont".
ASKING_ASSERTION = [
    ("*** Assertion failed: currentNode->Sibling->Parent == currentNode->Parent\n\n"
     "Break repeatedly, break Once, Ignore, terminate Process or terminate Thread (boipt)? \nkdb:> ", b"o\r"),
    ("o\nEntered debugger on embedded INT3 at 0x0008:0x805ABB24.\nkdb:> ", b"bt\r"),
    ("bt\nFrames:\n<ntoskrnl.exe:86728 (ntoskrnl/io/pnpmgr/devaction.c:2498 (PiDevNodeStateMachine))>\nkdb:> ",
     b"cont\r"),
    ("cont\n", b""),
]


class PacedAnswers(unittest.TestCase):
    """ReactOS's debugger empties its input after the prompt: an answer goes after a
    pause and again until the guest echoes something."""

    def test_an_answer_waits_and_repeats_until_heard(self):
        # (time, event, what goes to the guest): "set" an answer, "heard" output, "tick" the reader's timeout.
        cases = [
            ("sent after the pause, not before",
             [(0.0, "set", b""), (0.2, "tick", b""), (0.5, "tick", b"o\r")]),
            ("lost to the flush: sent again while the guest is silent",
             [(0.0, "set", b""), (0.5, "tick", b"o\r"), (3.0, "tick", b""), (5.5, "tick", b"o\r"),
              (10.5, "tick", b"o\r")]),
            ("echoed: never again",
             [(0.0, "set", b""), (0.5, "tick", b"o\r"), (0.6, "heard", b""), (6.0, "tick", b"")]),
            ("output before it went (the prompt's rest) does not cancel it",
             [(0.0, "set", b""), (0.1, "heard", b""), (0.5, "tick", b"o\r")]),
        ]
        for name, events in cases:
            pending = PendingAnswer(delay=0.5, repeat=5.0)
            for now, event, expected in events:
                if event == "set":
                    pending.set(b"o\r", now)
                elif event == "heard":
                    pending.heard()
                got = pending.due(now) if event == "tick" else b""
                self.assertEqual(got, expected, f"{name}, at {now}")

# A fatal error whose backtrace fills the debugger's page (serial log, abridged).
PAGED_BUGCHECK = [
    ("*** Fatal System Error: 0x00000139\n                       (0x00000003,0xF746B788,0xF746B728,0x00000000)\n"
     "\n\nEntered debugger on embedded INT3 at 0x0008:0x805ABB2A.\n"
     "Frames:\n<usbport.sys:4e28 (drivers/usb/usbport/endpoint.c:413 (USBPORT_SetEndpointState))>\nkdb:> ",
     b"bt\r"),
    ("bt\nFrames:\n<ntoskrnl.exe:3444b (ExfInterlockedInsertTailList)>\n"
     "--- Press q to abort, any other key to continue ---", b" "),
    ("\n<ntoskrnl.exe:140a7a (ntoskrnl/ps/thread.c:156 (PspSystemThreadStartup))>\nkdb:> ", b"cont\r"),
]


class DebuggerAnswers(unittest.TestCase):
    def answers(self, transcript):
        console = SerialConsole()
        got = []
        for text, expected in transcript:
            got.append((console.take(text), expected))
        return console, got

    def test_each_stop_gets_bt_then_cont(self):
        for transcript in (CRITICAL_PROCESS, ASSERTION, ASKING_ASSERTION, PAGED_BUGCHECK):
            console, got = self.answers(transcript)
            for answer, expected in got:
                self.assertEqual(answer, expected)

    def test_a_stop_keeps_its_reason_and_backtrace(self):
        console, _ = self.answers(CRITICAL_PROCESS)
        self.assertEqual(len(console.stops), 1)
        stop = console.stops[0]
        self.assertEqual(stop.summary(), "Break, or Ignore (bi)?")
        self.assertIn("Terminating critical process 0xB10CA5B0 (winlogon.exe)", stop.context)
        self.assertTrue(any("NtTerminateProcess" in line for line in stop.backtrace))
        self.assertEqual(console.guest_lines, ["done"])
        console, _ = self.answers(ASSERTION)
        self.assertEqual([s.summary() for s in console.stops],
                         ["(ntoskrnl/io/iomgr/irp.c:1234) ASSERT failed", "second stop"])
        # The pager splits no stop: the backtrace runs on to the system thread's start.
        console, _ = self.answers(PAGED_BUGCHECK[:2])
        self.assertFalse(console.finished_fatally())  # still answering the debugger
        console, _ = self.answers(PAGED_BUGCHECK)
        self.assertEqual(len(console.stops), 1)
        self.assertTrue(any("PspSystemThreadStartup" in line for line in console.stops[0].backtrace))
        self.assertTrue(console.finished_fatally())
        self.assertEqual(console.fatal, "*** Fatal System Error: 0x00000139 (0x00000003,0xF746B788,0xF746B728,0x00000000)")
        console, _ = self.answers(ASSERTION)
        self.assertFalse(console.finished_fatally())

    def test_guest_lines_come_whole_and_without_dbgprint_quotes(self):
        console = SerialConsole()
        for part in ('(kernel) noise\nvarrow-guest: scen', 'ario cancel"\r\n', 'varrow-guest: ready\n'):
            console.take(part)
        self.assertEqual(console.guest_lines, ["scenario cancel", "ready"])


class FakeConnection:
    def __init__(self):
        self.sent = []

    def sendall(self, data):
        self.sent.append(data.decode())


class Bus:
    def __init__(self, answer):
        self.answer_value = answer
        self.asked = []

    def answer(self, code, data, output_length):
        self.asked.append((code, data, output_length))
        return self.answer_value


class LinkMessages(unittest.TestCase):
    def test_requests_parse_or_are_refused(self):
        cases = [
            ("bus 00222400 8 01AB00FF", (0x222400, b"\x01\xab\x00\xff", 8)),
            ("bus 0022241C 0 ", (0x22241C, b"", 0)),
            ("bus 0022241C 0", (0x22241C, b"", 0)),
            ("bus 00222400 8 0", None),
            ("bus XYZ 8 00", None),
            ("out bus 00222400 8 00", None),
        ]
        for line, expected in cases:
            self.assertEqual(parse_request(line), expected, line)

    def test_answers(self):
        self.assertEqual(format_answer(True, b"\x01\xfe"), "ok 01FE")
        self.assertEqual(format_answer(True, b""), "ok ")
        self.assertEqual(format_answer(False, 50), "error 50")

    def serve(self, lines, answer):
        output, connection, bus = [], FakeConnection(), Bus(answer)
        server = LinkServer.__new__(LinkServer)
        server.connection, server.bus, server.on_output, server.requests, server.log = (
            connection, bus, output.append, 0, None)
        for line in lines:
            server._line(line)
        return output, connection.sent, bus.asked

    def test_output_lines_pass_and_requests_are_answered_in_order(self):
        output, sent, asked = self.serve(["out step plug disk", "bus 00222400 4 0100", "out status STATUS_SUCCESS"],
                                         (True, b"\x07\x00\x00\x00"))
        self.assertEqual(output, ["step plug disk", "status STATUS_SUCCESS"])
        self.assertEqual(sent, ["ok 07000000\n"])
        self.assertEqual(asked, [(0x222400, b"\x01\x00", 4)])

    def test_an_answer_longer_than_the_room_is_an_error(self):
        _, sent, _ = self.serve(["bus 00222400 2 00"], (True, b"\x01\x02\x03"))
        self.assertEqual(sent, [f"error {ERROR_INVALID_DATA}\n"])

    def test_a_garbled_request_still_gets_an_answer(self):
        # The runner waits for one answer per request.
        _, sent, asked = self.serve(["bus 0022 x"], (True, b""))
        self.assertEqual(sent, [f"error {ERROR_INVALID_DATA}\n"])
        self.assertEqual(asked, [])


if __name__ == "__main__":
    unittest.main()
