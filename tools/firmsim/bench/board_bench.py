"""The Python turns of board_bench, one process per turn; prints one line per
timed call, which board_bench reads.

  board_bench.py serial PORT CALLS START_MS
      a bare request with pyserial: write the command, readline until "\\n",
      timed with time.perf_counter around the write and the readline; CALLS
      each of "EA0\\r" to the LF ("bare4lf MS VALUE"), "EA0\\r" to the CR (the
      board object's wire and end: "bare4cr ...") and "EA0\\r\\r" (the 71
      exports' wire) to the LF ("bare5lf ..."), in turn
  board_bench.py ctypes LIBRARY PORT CALLS NULL_CALLS
      ab_read_analog through ctypes (libarduinoboard, no package):
      "ctypes MS ROUND_TRIP_MS VALUE" per call, then "ctypes_null NS": the
      mean cost of ab_read_analog(NULL, ...), which returns at once, over
      NULL_CALLS calls

  board_bench.py bare PORT RATE MOVE CALLS START_MS
      a bare classic request ("EA0\\r", read to the LF) at RATE baud, timed as
      above: "bare MS VALUE" per call. MOVE 1: the line opens at 9600 and
      asks the sketch to move to RATE first (its protocol's "XB<rate>" and a
      tag, answered "<rate><tag>"), as a program that knows the sketch
      would; MOVE 0: the line opens at RATE (a line paced at what its host
      set)

A reading that failed prints its value as -1. Exit status 3: no pyserial.
"""
import ctypes
import sys
import time

WARM_UP = 3


NO_PYSERIAL = 3  # the exit status when pyserial is missing


def bare_requests(port, calls, start_ms):
    try:
        import serial  # Debian's python3-serial
        serial.Serial
    except (ImportError, AttributeError):
        print("board_bench.py: no pyserial (python3-serial; scripts/setup.sh installs it)", file=sys.stderr)
        sys.exit(NO_PYSERIAL)

    # The command and the answer's end awaited: the bare request,
    # the board object's wire read to the LF, and its wire read to the CR
    # as the board object reads it (the LF then read outside the timing).
    ways = (("bare4lf", b"EA0\r", b"\n"), ("bare5lf", b"EA0\r\r", b"\n"), ("bare4cr", b"EA0\r", b"\r"))
    with serial.Serial(port, 9600, timeout=1.0) as line:
        time.sleep(start_ms / 1000)  # the board restarts as its port opens
        for _ in range(WARM_UP):
            line.write(ways[0][1])
            line.readline()
        for i in range(calls * len(ways)):
            name, wire, end = ways[i % len(ways)]
            start = time.perf_counter()
            line.write(wire)
            answer = line.readline() if end == b"\n" else line.read_until(end)
            took = time.perf_counter() - start
            if end == b"\r":
                line.read(1)
            text = answer.strip()
            value = int(text) if answer.endswith(end) and text.isdigit() else -1
            print(f"{name} {took * 1000:.4f} {value}")


def bare_at_rate(port, rate, move, calls, start_ms):
    try:
        import serial  # Debian's python3-serial
        serial.Serial
    except (ImportError, AttributeError):
        print("board_bench.py: no pyserial (python3-serial; scripts/setup.sh installs it)", file=sys.stderr)
        sys.exit(NO_PYSERIAL)
    with serial.Serial(port, 9600 if move else rate, timeout=1.0) as line:
        time.sleep(start_ms / 1000)  # the board restarts as its port opens
        if move:
            line.write(b"XB%da\r" % rate)
            if line.read_until(b"a") != b"%da" % rate:
                sys.exit(f"board_bench.py: the sketch did not move to {rate} baud")
            time.sleep(0.002)
            line.baudrate = rate
            line.write(b"\r")  # ends what this end sent while the rates differed
        for _ in range(WARM_UP):
            line.write(b"EA0\r")
            line.readline()
        for _ in range(calls):
            start = time.perf_counter()
            line.write(b"EA0\r")
            answer = line.readline()
            took = time.perf_counter() - start
            text = answer.strip()
            value = int(text) if answer.endswith(b"\n") and text.isdigit() else -1
            print(f"bare {took * 1000:.4f} {value}")
        if move:
            line.write(b"XB9600b\r")  # as the board object leaves it
            line.read_until(b"b")


class Reading(ctypes.Structure):
    _fields_ = [("raw", ctypes.c_int32), ("volts", ctypes.c_double),
                ("time_ns", ctypes.c_int64), ("round_trip_ns", ctypes.c_int64)]


class Options(ctypes.Structure):
    _fields_ = [("timeout_ms", ctypes.c_int), ("start_ms", ctypes.c_int), ("exclusive", ctypes.c_int),
                ("baud", ctypes.c_int)]


def ctypes_requests(library_path, port, calls, null_calls):
    library = ctypes.CDLL(library_path)
    library.ab_open.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p)]
    library.ab_open.restype = ctypes.c_int
    library.ab_default_options.argtypes = [ctypes.POINTER(Options)]
    library.ab_default_options.restype = None
    read_analog = library.ab_read_analog
    read_analog.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(Reading)]
    read_analog.restype = ctypes.c_int
    library.ab_close.argtypes = [ctypes.c_void_p]
    library.ab_close.restype = None
    library.ab_last_error.restype = ctypes.c_char_p

    # The C turn's line: 9600 baud, the rest the library's defaults.
    options = Options()
    library.ab_default_options(ctypes.byref(options))
    options.baud = 9600
    board = ctypes.c_void_p()
    status = library.ab_open(port.encode(), ctypes.byref(options), ctypes.byref(board))
    if status != 0:
        sys.exit(f"board_bench.py: ab_open: {library.ab_last_error().decode(errors='replace')}")
    reading = Reading()
    pointer = ctypes.byref(reading)
    for _ in range(WARM_UP):
        read_analog(board, 0, pointer)
    for _ in range(calls):
        start = time.perf_counter()
        status = read_analog(board, 0, pointer)
        took = time.perf_counter() - start
        value = reading.raw if status == 0 else -1
        print(f"ctypes {took * 1000:.4f} {reading.round_trip_ns / 1e6:.4f} {value}")
    library.ab_close(board)

    start = time.perf_counter()
    for _ in range(null_calls):
        read_analog(None, 0, pointer)
    took = time.perf_counter() - start
    print(f"ctypes_null {took / null_calls * 1e9:.1f}")


def main(argv):
    if len(argv) == 5 and argv[1] == "serial":
        bare_requests(argv[2], int(argv[3]), int(argv[4]))
    elif len(argv) == 7 and argv[1] == "bare":
        bare_at_rate(argv[2], int(argv[3]), argv[4] == "1", int(argv[5]), int(argv[6]))
    elif len(argv) == 6 and argv[1] == "ctypes":
        ctypes_requests(argv[2], argv[3], int(argv[4]), int(argv[5]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
