"""Use an Arduino-class board as a measurement and control interface.

Board is the board as an object (libarduinoboard): several in one program,
an exception for every request that fails, the time with every reading.
Driver is the original interface, the arduinodrv library's 71 functions
under their own names, for programs written against them.
python3 -m arduinodrv --help tells the command line."""

# The project's version (the top CMakeLists.txt's project(VERSION)).
__version__ = "1.0.0"

from ._library import candidate_paths, find_library  # noqa: E402
from .board import Board, Event, EventWatch, Link, Reading, Sample, Scan, Stream  # noqa: E402
from .channels import ANALOG_INPUTS, ANALOG_OUTPUTS, DIGITAL_INPUTS, DIGITAL_OUTPUTS  # noqa: E402
from .driver import Driver  # noqa: E402
from .errors import (BadChannel, BadValue, BoardClosed, BoardError, BoardInUseError, NoAnswer,  # noqa: E402
                     NoMemory, NotAReading, NotStreaming, NotSupported, PortError, Streaming)

__all__ = ["ANALOG_INPUTS", "ANALOG_OUTPUTS", "DIGITAL_INPUTS", "DIGITAL_OUTPUTS", "BadChannel", "BadValue", "Board",
           "BoardClosed", "BoardError", "BoardInUseError", "Driver", "Event", "EventWatch", "Link", "NoAnswer",
           "NoMemory", "NotAReading", "NotStreaming", "NotSupported", "PortError", "Reading", "Sample", "Scan",
           "Stream", "Streaming", "candidate_paths", "find_library", "__version__"]
