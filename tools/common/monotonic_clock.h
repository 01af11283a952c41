// The emulators' clock: seconds on the monotonic clock, which a change of the
// system time does not move.
#pragma once

double monotonic_s();
