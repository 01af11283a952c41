"""Use an Arduino-class board as a measurement and control interface
through the arduinodrv library: see Board, and python3 -m arduinodrv --help
for the command line."""

from ._library import candidate_paths, find_library
from .board import Board

__all__ = ["Board", "candidate_paths", "find_library"]
