"""A ReactOS guest under QEMU (TCG), driven through its serial port and QEMU's monitor.

The serial port (COM1) carries freeldr's and the kernel's debug output, the
guest's own lines (OutputDebugString, prefixed "varrow-guest: ") and the
kernel debugger. When the debugger stops, the guest gets "bt" and then "cont",
as ReactOS's own test bots answer it; each stop is kept with the lines that
led to it and its backtrace.
"""

import os
import re
import socket
import subprocess
import threading
import time

GUEST_PREFIX = "varrow-guest: "
KDB_PROMPT = "kdb:> "
# Asked, at a debugger prompt of its own, before the debugger is entered (a critical
# process ending, a user-mode breakpoint): "b" enters it.
BREAK_QUESTION = "(bi)?"
# Asked by a failed assertion: "o" breaks once and goes on; "b" would ask
# again after every "cont", for as long as the assertion keeps failing.
ASSERT_QUESTION = "(boipt)?"
# The debugger's pager, after a screenful (a long backtrace): any key but "q" goes on.
PAGER_PROMPT = "--- Press q to abort, any other key to continue ---"
# A bugcheck: the debugger shows it, and after "cont" the machine stays stopped.
FATAL_ERROR = "*** Fatal System Error: "
# A guest that stops in the debugger more often than this is looping in it.
MAX_DEBUGGER_STOPS = 20
# Lines kept before a debugger stop, to say why it stopped.
STOP_CONTEXT_LINES = 8
# ReactOS's debugger empties its serial input after printing its prompt
# (KdIoReadLine), so an answer that arrives before that is lost and the guest
# waits at the prompt for good: an answer goes after a pause, and again while
# the guest echoes nothing.
ANSWER_DELAY_S = 0.5
ANSWER_REPEAT_S = 5.0


class GuestError(Exception):
    pass


class DebuggerStop:
    def __init__(self, context):
        self.context = context  # the serial lines just before the prompt
        self.backtrace = []

    def summary(self):
        reason = next((line for line in reversed(self.context) if line.strip()), "(no message)")
        return reason.strip()


class SerialConsole:
    """The serial port's text as it arrives: complete lines, the guest's own lines and the
    debugger's stops. `take` returns what to answer the debugger (bytes), or b""."""

    def __init__(self):
        self.lines = []
        self.guest_lines = []  # prefix removed
        self.stops = []
        self._partial = ""
        self._stop = None  # the stop being answered
        self._asked_break = False
        self.fatal = None  # the bugcheck's line and its parameters, once one came

    def take(self, text):
        self._partial += text.replace("\r", "")
        *complete, self._partial = self._partial.split("\n")
        for line in complete:
            self._line(line)
        if self._partial.endswith(PAGER_PROMPT):
            # Only the rest of the backtrace follows: the pager's line is part of it.
            self._line(self._partial)
            self._partial = ""
            return b" "
        if not self._partial.endswith(KDB_PROMPT):
            return b""
        if self._stop is None and self.lines and self.lines[-1].rstrip().endswith(BREAK_QUESTION):
            return self._break_question(b"b\r")
        if self._stop is None and self.lines and self.lines[-1].rstrip().endswith(ASSERT_QUESTION):
            return self._break_question(b"o\r")
        return self._prompt()

    def add_guest_line(self, text):
        self.guest_lines.append(text)

    def finished_fatally(self):
        """A bugcheck came and the debugger has been answered to its end."""
        return self.fatal is not None and bool(self.stops) and self._stop is None

    def _line(self, line):
        if self.fatal is not None and not self.fatal.endswith(")") and line.strip().startswith("("):
            self.fatal += " " + line.strip()
        if line.startswith(FATAL_ERROR) and self.fatal is None:
            self.fatal = line.strip()
        self.lines.append(line)
        if self._stop is not None:
            self._stop.backtrace.append(line)
        at = line.find(GUEST_PREFIX)
        if at >= 0:
            # dbgprint's quotes may come through.
            self.guest_lines.append(line[at + len(GUEST_PREFIX):].rstrip().rstrip('"'))

    def _begin_stop(self):
        self._stop = DebuggerStop(self.lines[-STOP_CONTEXT_LINES:])
        self.stops.append(self._stop)
        self._partial = ""

    def _break_question(self, answer):
        self._begin_stop()
        self._asked_break = True
        return answer

    def _prompt(self):
        """At the debugger's prompt: first the backtrace, then on."""
        if self._stop is None:
            self._begin_stop()
        self._partial = ""
        if self._asked_break or not self._stop.backtrace:
            self._asked_break = False
            return b"bt\r"
        self._stop = None
        return b"cont\r"


class PendingAnswer:
    """The debugger's answer, paced: `due` gives it once its pause is over and then
    every ANSWER_REPEAT_S until the guest prints something after it (its echo)."""

    def __init__(self, delay=ANSWER_DELAY_S, repeat=ANSWER_REPEAT_S):
        self.delay, self.repeat = delay, repeat
        self._answer, self._at, self._sent = b"", 0.0, False

    def set(self, answer, now):
        self._answer, self._at, self._sent = answer, now + self.delay, False

    def heard(self):
        """The guest printed something: an answer sent before this was read."""
        if self._sent:
            self._answer = b""

    def due(self, now):
        if not self._answer or now < self._at:
            return b""
        self._at, self._sent = now + self.repeat, True
        return self._answer


class Guest:
    """One QEMU process. Serial port and monitor are Unix sockets in `workdir`."""

    def __init__(self, workdir, serial_log, qemu_args):
        self.serial_path = os.path.join(workdir, "serial.sock")
        self.monitor_path = os.path.join(workdir, "monitor.sock")
        self.log = open(serial_log, "w", encoding="utf-8", errors="replace")
        self.console = SerialConsole()
        self.changed = threading.Condition()
        self._consumed = 0
        self._closed = False
        command = ["qemu-system-i386", "-accel", "tcg", "-display", "none", "-no-user-config",
                   "-chardev", f"socket,id=serial0,path={self.serial_path},server=on,wait=on",
                   "-serial", "chardev:serial0",
                   "-monitor", f"unix:{self.monitor_path},server=on,wait=off"] + qemu_args
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT)
        self.serial = self.connect(self.serial_path)
        self.monitor = self.connect(self.monitor_path)
        self.monitor.settimeout(10)
        self._reader = threading.Thread(target=self._read_serial, daemon=True)
        self._reader.start()

    def connect(self, path, within=20.0):
        """One of this QEMU's server sockets, connected."""
        deadline = time.monotonic() + within
        while True:
            if self.process.poll() is not None:
                output = self.process.stdout.read().decode(errors="replace")
                raise GuestError(f"qemu exited with {self.process.returncode}: {output.strip()}")
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect(path)
                return s
            except OSError:
                s.close()
                if time.monotonic() > deadline:
                    raise GuestError(f"qemu's socket {os.path.basename(path)} did not open")
                time.sleep(0.1)

    def _read_serial(self):
        pending = PendingAnswer()
        self.serial.settimeout(0.1)
        while True:
            try:
                data = self.serial.recv(4096)
            except socket.timeout:
                answer = pending.due(time.monotonic())
                if answer:
                    self.serial.sendall(answer)
                continue
            except OSError:
                data = b""
            with self.changed:
                if not data:
                    self._closed = True
                    self.changed.notify_all()
                    return
                text = data.decode("latin-1")
                self.log.write(text.replace("\r", ""))
                self.log.flush()
                pending.heard()
                answer = self.console.take(text)
                if answer and len(self.console.stops) <= MAX_DEBUGGER_STOPS:
                    pending.set(answer, time.monotonic())
                self.changed.notify_all()

    def add_guest_line(self, text):
        """A guest line from another channel (the bus link), in order of arrival with the serial port's."""
        with self.changed:
            self.console.add_guest_line("out " + text)
            self.changed.notify_all()

    def wait_for_guest_line(self, pattern, deadline):
        """The next guest line matching `pattern` (a regex), or None at the deadline or when QEMU ended."""
        regex = re.compile(pattern)
        with self.changed:
            while True:
                lines = self.console.guest_lines
                while self._consumed < len(lines):
                    self._consumed += 1
                    if regex.search(lines[self._consumed - 1]):
                        return lines[self._consumed - 1]
                stops = self.console.stops
                if len(stops) > MAX_DEBUGGER_STOPS:
                    raise GuestError(f"the kernel debugger stopped {len(stops)} times; last: {stops[-1].summary()}")
                if self.console.finished_fatally():
                    raise GuestError(f"the guest stopped: {self.console.fatal}")
                if self._closed or self.process.poll() is not None:
                    return None
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.changed.wait(min(left, 1.0))

    def monitor_command(self, command):
        """Sends one HMP command; returns what the monitor answered."""
        self.monitor.sendall(command.encode() + b"\n")
        answer = b""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not (command.encode() in answer and answer.endswith(b"(qemu) ")):
            try:
                chunk = self.monitor.recv(4096)
            except socket.timeout:
                break
            if not chunk:
                break
            answer += chunk
        text = re.sub(r"\x1b\[[0-9;]*[A-Za-z]", "", answer.decode(errors="replace"))
        return text.split(command, 1)[-1].replace("(qemu) ", "").strip()

    def wait_exit(self, within):
        try:
            self.process.wait(timeout=within)
            return True
        except subprocess.TimeoutExpired:
            return False

    def close(self):
        """Ends QEMU whatever state the guest is in."""
        if self.process.poll() is None:
            try:
                self.monitor_command("quit")
            except OSError:
                pass
            if not self.wait_exit(10):
                self.process.kill()
                self.process.wait()
        for s in (self.serial, self.monitor):
            s.close()
        self._reader.join(timeout=5)
        self.log.close()

    def stop_report(self):
        """One block per debugger stop: why, then the backtrace."""
        out = []
        for number, stop in enumerate(self.console.stops, 1):
            out.append(f"kernel debugger stop {number}: {stop.summary()}")
            out.extend("    " + line for line in stop.backtrace if line.strip())
        return out
