"""The board's channels: how many of each kind, counted from 0 (the
libraries' headers give the same numbers), the pins they are, and the
names the command line and the page show for them."""

ANALOG_INPUTS = 6    # read_analog; ea, ead: 0-5, pins A0-A5
DIGITAL_INPUTS = 4   # read_digital; eb: 0-3
ANALOG_OUTPUTS = 4   # write_pwm, write_volts; sa, sad: 0-3 (PWM)
DIGITAL_OUTPUTS = 4  # write_digital; sb: 0-3
PWM_OUTPUTS = ANALOG_OUTPUTS
# rsa, rsad and rsb keep the last value set for channels 0-8.
READ_BACK_ENTRIES = 9

DIGITAL_INPUT_PINS = (2, 4, 7, 8)
PWM_OUTPUT_PINS = (3, 5, 6, 9)
DIGITAL_OUTPUT_PINS = (10, 11, 12, 13)

# A PWM duty runs 0-255 for 0-5 V; an analog reading 0-1023 for 0 to just
# under 5 V.
PWM_HIGHEST = 255
FULL_SCALE_V = 5.0


def analog_input_name(channel: int) -> str:
    return f"analog input {channel} (A{channel})"


def digital_input_name(channel: int) -> str:
    return f"digital input {channel} (pin {DIGITAL_INPUT_PINS[channel]})"


def pwm_output_name(channel: int) -> str:
    return f"PWM output {channel} (pin {PWM_OUTPUT_PINS[channel]})"


def digital_output_name(channel: int) -> str:
    pin = DIGITAL_OUTPUT_PINS[channel]
    return f"digital output {channel} (pin {pin}{', the LED' if pin == 13 else ''})"
