/*
 * arduinodrv: use an Arduino-class board as a measurement and control
 * interface from a 32-bit x86 Linux program.
 *
 * Loading the library opens its serial port (/dev/ttyUSB0, or /dev/ttyUSB2 in
 * the other build) at 9600 baud and waits 2000 ms for the board; unloading
 * closes it. There is no start or stop function and no error is ever
 * reported: a request that gets no answer returns 0 (0.0 in volts), a label
 * for a channel the board lacks is the empty text.
 *
 * Calls must come one at a time (the library takes no lock).
 *
 * Texts are zero-terminated Latin-1 (ISO 8859-1), one byte per character.
 * A returned text is never NULL and stays valid until the next call into the
 * library, of any function: copy it before calling again, and never free it
 * or write through it.
 *
 * Every function exists in three calling forms: the plain name and the "std"
 * name use stdcall (the function removes its arguments), the "c" name uses
 * cdecl (the caller removes them). The "double" forms take every argument as
 * a double and round it to the nearest integer (halves away from zero, after
 * narrowing to single precision; NaN and out-of-range values give INT_MIN).
 *
 * Channels: analog inputs 0-5; digital inputs, analog (PWM) outputs and
 * digital outputs 0-3.
 */
#ifndef ARDUINODRV_H
#define ARDUINODRV_H

/* x86-64 has one calling convention: there the plain, std and c forms are
 * all called the same way. */
#if defined(__i386__)
#define ARDUINODRV_STDCALL __attribute__((stdcall))
#define ARDUINODRV_CDECL __attribute__((cdecl))
#elif defined(__x86_64__)
#define ARDUINODRV_STDCALL
#define ARDUINODRV_CDECL
#else
#error "arduinodrv is built for x86 Linux: 32-bit (-m32) or x86-64"
#endif

#if defined(ARDUINODRV_BUILDING)
#define ARDUINODRV_API __attribute__((visibility("default")))
#else
#define ARDUINODRV_API
#endif

#if defined(__cplusplus)
#define ARDUINODRV_NOEXCEPT noexcept
extern "C" {
#else
#define ARDUINODRV_NOEXCEPT
#endif

#define ARDUINODRV_STD(result) ARDUINODRV_API result ARDUINODRV_STDCALL
#define ARDUINODRV_C(result) ARDUINODRV_API result ARDUINODRV_CDECL

/* Analog inputs: ea gives the raw reading (0-1023 on a 10-bit board), ead
 * the reading in volts (raw x 5.0 / 1024.0). Each waits up to 1000 ms for
 * the board's answer. */
ARDUINODRV_STD(int) ea(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(int) stdea(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(int) cea(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) ead(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) stdead(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(double) cead(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) eadouble(double channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) stdeadouble(double channel) ARDUINODRV_NOEXCEPT;

/* Digital inputs (board pins 2, 4, 7, 8): 0 or 1. */
ARDUINODRV_STD(int) eb(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(int) stdeb(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(int) ceb(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) ebdouble(double channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) stdebdouble(double channel) ARDUINODRV_NOEXCEPT;

/* Analog (PWM) outputs (board pins 3, 5, 6, 9): sa sets a raw duty value
 * (0-255), sad a voltage (0-5 V, rounded to the raw value). Both return half
 * the raw value sent. rsa and rsad give back the last value set (channels
 * 0-8; 0 for others), without asking the board. */
ARDUINODRV_STD(int) sa(int channel, int value) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(int) stdsa(int channel, int value) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(int) csa(int channel, int value) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) sad(int channel, double volts) ARDUINODRV_NOEXCEPT;
/* stdsad also writes the line "dans stdsad" to standard output. */
ARDUINODRV_STD(double) stdsad(int channel, double volts) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(double) csad(int channel, double volts) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) sadouble(double channel, double volts) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) stdsadouble(double channel, double volts) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(int) rsa(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(int) stdrsa(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(int) crsa(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) rsad(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) stdrsad(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(double) crsad(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) rsadouble(double channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) stdrsadouble(double channel) ARDUINODRV_NOEXCEPT;

/* Digital outputs (board pins 10-13): exactly 1 switches on, any other
 * value off. sb returns the value given; rsb gives back the last value set
 * (channels 0-8; 0 for others), without asking the board. */
ARDUINODRV_STD(int) sb(int channel, int value) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(int) stdsb(int channel, int value) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(int) csb(int channel, int value) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) sbdouble(double channel, double value) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) stdsbdouble(double channel, double value) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(int) rsb(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(int) stdrsb(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(int) crsb(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) rsbdouble(double channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) stdrsbdouble(double channel) ARDUINODRV_NOEXCEPT;

/* Channel labels (Latin-1; the empty text for a channel the board lacks). */
ARDUINODRV_STD(const char *) nea(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) stdnea(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(const char *) cnea(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) nead(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) stdnead(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(const char *) cnead(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) neadouble(double channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) stdneadouble(double channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) neb(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) stdneb(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(const char *) cneb(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) nebdouble(double channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) stdnebdouble(double channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) nsa(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) stdnsa(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(const char *) cnsa(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) nsad(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) stdnsad(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(const char *) cnsad(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) nsadouble(double channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) stdnsadouble(double channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) nsb(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) stdnsb(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(const char *) cnsb(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) nsbdouble(double channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) stdnsbdouble(double channel) ARDUINODRV_NOEXCEPT;

/* Title and one-line description of the driver. The plain forms differ from
 * the std and c forms ("Arduino en " against "Arduino"). */
ARDUINODRV_STD(const char *) titre(void) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) stdtitre(void) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(const char *) ctitre(void) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) detail(void) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(const char *) stddetail(void) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(const char *) cdetail(void) ARDUINODRV_NOEXCEPT;

#undef ARDUINODRV_STD
#undef ARDUINODRV_C

#if defined(__cplusplus)
}
#endif

#endif
