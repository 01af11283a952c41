"""Use an Arduino-class board as a measurement and control interface.

    >>> import arduinodrv
    >>> board = arduinodrv.Board()          # the 64-bit build for /dev/ttyUSB0
    >>> board.ead(0)                        # analog input 0 in volts
    2.5
    >>> board.sb(3, 1)                      # digital output 3 (pin 13) on
    1

``python3 -m arduinodrv --help`` reads the inputs or records one to CSV.
"""

from ._library import candidate_paths, find_library
from .board import Board

__all__ = ["Board", "candidate_paths", "find_library"]
