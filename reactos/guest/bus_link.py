"""The host end of the guest runner's bus link (wine_kernel/runner/bus_link.h).

The runner in the guest sends one text line per message over its COM2:
"bus CODE OUTLENGTH INPUTHEX" is a control request of the emulated bus
(wine_kernel/bus_control.h), answered "ok OUTPUTHEX" or
"error WIN32ERROR"; "out TEXT" is a line of its output. A bus answers the
requests: `answer(code, input, output_length)` returns (True, bytes) or
(False, win32_error).
"""

import threading
import time

ERROR_NOT_SUPPORTED = 50
# An answer waits this long, so that the guest's serial driver has taken the
# transmit-empty interrupt of the request's last byte before the answer's
# first byte arrives: ReactOS's serial driver serves one interrupt cause per
# interrupt, and with both pending the edge-triggered line never falls again.
ANSWER_DELAY_S = 0.02
ERROR_INVALID_DATA = 13


def parse_request(line):
    """(code, input bytes, output length) of a "bus" line, or None when it is not one."""
    words = line.split(" ")
    if len(words) not in (3, 4) or words[0] != "bus":
        return None
    try:
        code = int(words[1], 16)
        output_length = int(words[2])
        data = bytes.fromhex(words[3]) if len(words) == 4 else b""
    except ValueError:
        return None
    return code, data, output_length


def format_answer(ok, value):
    return f"ok {value.hex().upper()}" if ok else f"error {value}"


class LinkServer:
    """Reads the link's lines on a thread; output lines go to `on_output`, requests to the bus."""

    def __init__(self, connection, bus, on_output, log=None):
        self.connection = connection
        self.bus = bus
        self.on_output = on_output
        self.requests = 0
        self.log = log  # a text file: every line both ways, "<" from the guest, ">" to it
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        pending = b""
        while True:
            try:
                data = self.connection.recv(65536)
            except OSError:
                return
            if not data:
                return
            pending += data
            *lines, pending = pending.split(b"\n")
            for raw in lines:
                self._line(raw.decode("latin-1").rstrip("\r"))

    def _line(self, line):
        self._log("<", line)
        if line.startswith("out "):
            self.on_output(line[4:])
            return
        request = parse_request(line)
        if request is None:
            # Noise before the runner opened the port, or a garbled line: not an answerable request.
            if line.startswith("bus "):
                self._send(format_answer(False, ERROR_INVALID_DATA))
            return
        self.requests += 1
        started = time.monotonic()
        ok, value = self.bus.answer(*request)
        time.sleep(max(0.0, ANSWER_DELAY_S - (time.monotonic() - started)))
        if ok and len(value) > request[2]:
            ok, value = False, ERROR_INVALID_DATA
        self._send(format_answer(ok, value))

    def _log(self, direction, line):
        if self.log:
            self.log.write(f"{time.monotonic():.3f} {direction} {line}\n")
            self.log.flush()

    def _send(self, line):
        self._log(">", line)
        self.connection.sendall(line.encode() + b"\n")
