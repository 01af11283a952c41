"""How many channels of each kind the board has, counted from 0 (the
library's header gives the same numbers as ARDUINODRV_*_INPUTS/OUTPUTS)."""

ANALOG_INPUTS = 6    # ea, ead: 0-5
DIGITAL_INPUTS = 4   # eb: 0-3, board pins 2, 4, 7, 8
ANALOG_OUTPUTS = 4   # sa, sad: 0-3, board pins 3, 5, 6, 9
DIGITAL_OUTPUTS = 4  # sb: 0-3, board pins 10-13
# rsa, rsad and rsb keep the last value set for channels 0-8.
READ_BACK_ENTRIES = 9
