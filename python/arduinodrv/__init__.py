"""Use an Arduino-class board as a measurement and control interface
through the arduinodrv library: see Driver, the library's 71 functions under
their own names, and python3 -m arduinodrv --help for the command line."""

# The project's version (the top CMakeLists.txt's project(VERSION)).
__version__ = "1.0.0"

from ._library import candidate_paths, find_library  # noqa: E402
from .driver import Driver  # noqa: E402
from .errors import BoardError, BoardInUseError, PortError  # noqa: E402
from .channels import ANALOG_INPUTS, ANALOG_OUTPUTS, DIGITAL_INPUTS, DIGITAL_OUTPUTS  # noqa: E402

__all__ = ["ANALOG_INPUTS", "ANALOG_OUTPUTS", "DIGITAL_INPUTS", "DIGITAL_OUTPUTS", "BoardError", "BoardInUseError",
           "Driver", "PortError", "candidate_paths", "find_library", "__version__"]
