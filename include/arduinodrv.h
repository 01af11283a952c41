/*
 * arduinodrv: an Arduino-class board as a measurement and control interface
 * of a Linux x86 program, over a USB serial device.
 *
 * NAMING
 *   The letters of a name say what it does:
 *     e    input ("entree"): ea, ead, eb        s    output ("sortie"): sa, sad, sb
 *     a    analog channel                       b    digital channel
 *     d    in volts: ead, sad, rsad             n    the channel's label: nea, nsb
 *     rs   reads back the last output set: rsa, rsad, rsb (the board is not asked)
 *   Calling forms of each function:
 *     plain name (ea)    stdcall: the function removes its arguments
 *     std prefix (stdea) stdcall, same as the plain name
 *     c prefix (cea)     cdecl: the caller removes the arguments
 *     double suffix      every argument a double (eadouble, sadouble); these
 *                        have a plain and a std form, no c form
 *   A double form rounds each integer argument: narrowed to single precision,
 *   then halves away from zero (0.49999999 gives 1, -0.5 gives -1); NaN and
 *   values beyond the 32-bit range give INT_MIN. Volts are not integers:
 *   sadouble and stdsadouble pass them to sad unchanged. The double form of
 *   an analog function is that of its volts form: eadouble calls ead,
 *   sadouble sad, rsadouble rsad, neadouble nead, nsadouble nsad.
 *   On x86-64 there is one calling convention and all forms are called alike.
 *
 * CHANNELS
 *   Analog inputs 0-5; digital inputs (board pins 2, 4, 7, 8), analog (PWM)
 *   outputs (pins 3, 5, 6, 9) and digital outputs (pins 10-13): 0-3.
 *   ARDUINODRV_ANALOG_INPUTS (6) and ARDUINODRV_DIGITAL_INPUTS,
 *   ARDUINODRV_ANALOG_OUTPUTS, ARDUINODRV_DIGITAL_OUTPUTS (4 each) count them.
 *
 * ERRORS
 *   None are ever reported, and no argument is refused. Each family has a
 *   neutral result for a board that is missing, silent, slow or unplugged:
 *     ea, ead, eadouble     0 (0.0): no answer, or an answer that is no number
 *     eb, ebdouble          0
 *     sa, sad, sb and forms their usual result (the line is lost)
 *     rsa, rsad, rsb        0 (0.0) for a channel outside 0-8
 *     labels                the empty text for a channel the board lacks
 *   Texts are never NULL.
 *   To find out why a host reads 0 (a missing device, no permission, a
 *   silent board, an answer that is not a reading), start it with the
 *   environment variable ARDUINODRV_TRACE; the program needs no change:
 *     ARDUINODRV_TRACE=2 ./host                  (standard error)
 *     ARDUINODRV_TRACE=/tmp/board.trace ./host   (a file, appended to)
 *   The library then writes one line per event:
 *     arduinodrv[4242] 0.001 /dev/ttyUSB0 probe: 1 of 42 candidate devices open: /dev/ttyACM0
 *     arduinodrv[4242] 0.001 /dev/ttyUSB0 open: not opened: Permission denied (the build's default)
 *     arduinodrv[4242] 2.003 /dev/ttyUSB0 no-port: "EA0\r\r" not sent
 *   and with a board:
 *     arduinodrv[4242] 2.013 /dev/ttyUSB0 send: "EA3\r\r"
 *     arduinodrv[4242] 2.031 /dev/ttyUSB0 answer: "512\n" after 18 ms
 *     arduinodrv[4242] 3.050 /dev/ttyUSB0 no-answer: within 1000 ms
 *   A line is <library>[<pid>] <seconds since the load> <port> <event>,
 *   then ": " and details for most events. The events: probe (the
 *   candidate devices that open), open (the port at load, or why it did
 *   not open, with the system's reason, and whether ARDUINODRV_PORT or the
 *   build chose it), send (a command line; "dropped" or "cut" when the
 *   device did not take all of it), no-port (a request that found no port:
 *   nothing sent), answer (its bytes, within the limit), no-answer (and
 *   what came, if anything), not-a-reading (the answer judged, which the
 *   function turned into 0, or eb into 1), discard (bytes waiting before a
 *   request), gone (the device hung up or failed), reopen (a try to open
 *   the port again: opened, or why not, said once until the reason
 *   changes), close (unload). Bytes stand between double quotes: printable
 *   ASCII as itself, \" and \\ for the quote and backslash, \r and \n
 *   for CR and LF, \xNN for any other byte (\x00, \xff); the port's path
 *   likewise, without quotes, a space as \x20. At most 256 bytes of an
 *   answer are shown, then their count. The value is a descriptor number
 *   (open for writing; 1, standard output, the host's own data, is
 *   refused) or a path (created if missing). A value that names nothing
 *   usable (empty, a descriptor that is closed or read-only, a missing
 *   folder, a folder, a path of PATH_MAX bytes or more or with a control
 *   character) means no trace. A line the target cannot take at once (a
 *   full pipe) is lost, and a target whose reader is gone (a closed pipe)
 *   is dropped: the host never waits for its trace and never gets SIGPIPE.
 *   Unset, it costs nothing. A setuid host ignores the variable.
 *
 * TIMING (longest waits)
 *   ea, ead    10 ms of pauses plus the answer; no answer: about 1010 ms.
 *              Without a port, or with the board gone, the same 1010 ms, so
 *              a loop polling an unplugged board is paced as by a silent one.
 *              Longest: about 4010 ms, against a board that sends without
 *              end and a device whose buffer stays full (discarding what
 *              waits stops after 1000 ms, the command line waits for room as
 *              sb does, up to 2000 ms, then the 1000 ms answer limit).
 *   eb         the answer byte, at most 1000 ms; 0 at once without a port.
 *              Longest: about 4000 ms, on the same line (1000 ms discarding,
 *              up to 2000 ms for the command line, 1000 ms for the byte; a
 *              line that found no room asks nothing and waits for no byte).
 *   sa, sad, sb  at once while the line keeps up (a 9600-baud line carries
 *              about 960 bytes a second). When the device's buffer is full
 *              the call waits for room, at most 1000 ms, and a line that
 *              found no room is dropped whole, never cut by the full buffer.
 *              A line the device has begun to take is finished within
 *              2000 ms of the call (only a device that stops reading for
 *              that long in the middle of a line keeps the part it took,
 *              and the next line ends that part with a CR of its own).
 *              Longest: 2000 ms.
 *   rsa, rsad, rsb, labels, titre, detail   never wait.
 *   What ends the answer line: its first CR or LF. A line that has not
 *   ended when the 1000 ms limit passes is no answer (0). A request after
 *   one whose answer did not end first discards that answer's rest: up to
 *   its line end when part of it came, else what begins within 30 ms of the
 *   limit (so a request right after a silent one may take up to 30 ms
 *   more). A board later than that cannot be told from a right answer.
 *   Every wait sleeps (no CPU is used while the board is silent), and a
 *   signal does not cut a pause short.
 *
 * LOADING AND UNLOADING
 *   Loading the library (as the host starts, or with dlopen) runs its load
 *   routine, which: sets standard input, output and error to byte
 *   orientation (fwide, negative; a stream already oriented keeps its own);
 *   saves the terminal settings of standard input; tries each of the 42
 *   candidate devices /dev/ttyUSB0-20 and /dev/ttyACM0-20 (open and close
 *   only: a device in use keeps its settings and input); opens its own port
 *   at 9600 baud 8N1, for this process alone; and waits 2000 ms for the
 *   board, which restarts when its port opens. So loading takes about 2 s.
 *   The claim on the port is a lock that holds against every other
 *   program, root's too, and ends with the process however it ends (killed
 *   too); on a serial device other than a pseudo-terminal the device is
 *   also made exclusive (TIOCEXCL: another user's open fails with EBUSY).
 *   On a pseudo-terminal (a socat link, an emulator) the lock alone is the
 *   claim, so nothing of it stays behind its holder. A port that another
 *   program has claimed is not opened, and keeps its settings and input.
 *   The port is the path in the environment variable ARDUINODRV_PORT when
 *   it is set and not empty: any path (/dev/ttyUSB1, a /dev/serial/by-id/
 *   link, a pty), for example
 *     ARDUINODRV_PORT=/dev/ttyACM1 ./host
 *     setenv("ARDUINODRV_PORT", "/dev/ttyACM1", 1); then dlopen the library
 *   Otherwise it is the build's default, /dev/ttyUSB0 (or /dev/ttyUSB2 in
 *   that build), whatever the probe found. A setuid host ignores the
 *   variable. Only a terminal or a FIFO is a port: a missing path, a
 *   folder, a regular file, another kind of device (/dev/null), a path of
 *   PATH_MAX bytes or more or one holding a control character (a trailing
 *   newline) is none, and is never written. Nor is a terminal that a session
 *   uses (someone's shell or console, a getty's line; a board's old link
 *   that now leads to a new terminal): it is never set, written or read.
 *   A port that does not open, or goes away, leaves the library without
 *   one: every function gives its neutral result, and a request tries the
 *   path again, at most once every 500 ms, so a board plugged in (or let go
 *   by another program) later is used without a new load. Unloading (dlclose, or the end of the
 *   process) closes the port and puts back the saved terminal settings of
 *   standard input, except when the host runs in the background of its
 *   terminal. In a forked child, unloading (exit) closes the child's own
 *   descriptors only: the parent keeps its claim and its console; a loader
 *   that forked leaves the claim to its child (a daemon).
 *
 * THREADING
 *   One call at a time: the library takes no lock. Calls may come from any
 *   thread, but never two at once, and never while the library is being
 *   loaded or unloaded. Nothing runs in the background: each call does its
 *   work on the caller's thread and returns.
 *
 * TEXTS
 *   Zero-terminated Latin-1 (ISO 8859-1), one byte per character ("e acute"
 *   is the byte 0xE9). A returned text stays valid until the next call into
 *   the library, of any function: copy it before calling again, and never
 *   free it or write through it.
 *
 * OUTPUT
 *   stdsad, and no other function, writes the line "dans stdsad" to standard
 *   output on each call. When standard output is gone (a pipe whose reader
 *   ended) the line is lost; the host gets no SIGPIPE and the call goes on.
 */
#ifndef ARDUINODRV_H
#define ARDUINODRV_H

/* x86-64 has one calling convention: there the plain, std and c forms are
 * all called the same way. */
#if defined(__i386__)
#define ARDUINODRV_STDCALL __attribute__((stdcall))
#define ARDUINODRV_CDECL __attribute__((cdecl))
#elif defined(__x86_64__)
/* x86-64 has one calling convention: the std and c forms are called alike. */
#define ARDUINODRV_STDCALL
#define ARDUINODRV_CDECL
#else
#error "arduinodrv is built for x86 (32-bit, or 64-bit)"
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

/* The board's channels of each kind, numbered from 0 (CHANNELS above). */
#define ARDUINODRV_ANALOG_INPUTS 6
#define ARDUINODRV_DIGITAL_INPUTS 4
#define ARDUINODRV_ANALOG_OUTPUTS 4
#define ARDUINODRV_DIGITAL_OUTPUTS 4

/* Analog inputs: ea gives the raw reading (0-1023 on a 10-bit board), ead
 * the reading in volts (raw x 5.0 / 1024.0). Each waits up to 1000 ms for
 * the board's answer; 0 (0.0) without one. */
ARDUINODRV_STD(int) ea(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(int) stdea(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(int) cea(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) ead(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) stdead(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(double) cead(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) eadouble(double channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) stdeadouble(double channel) ARDUINODRV_NOEXCEPT;

/* Digital inputs (board pins 2, 4, 7, 8): 0 or 1; 0 without an answer
 * within 1000 ms. ebdouble gives the same as a double. */
ARDUINODRV_STD(int) eb(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(int) stdeb(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_C(int) ceb(int channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) ebdouble(double channel) ARDUINODRV_NOEXCEPT;
ARDUINODRV_STD(double) stdebdouble(double channel) ARDUINODRV_NOEXCEPT;

/* Analog (PWM) outputs (board pins 3, 5, 6, 9): sa sets a raw duty value
 * (0-255, sent unchanged), sad a voltage (0-5 V, volts x 255 / 5 rounded to
 * the raw value). Both return half the raw value sent, truncated (sa(0, 255)
 * gives 127). rsa gives back the last raw value set, rsad the last volts
 * given to sad (channels 0-8; 0 for others), without asking the board. */
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
