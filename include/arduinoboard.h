/*
 * arduinoboard: an Arduino-class board as a measurement and control
 * interface of a Linux program, one handle per board, a status for every
 * call and the time with every reading. It speaks the same line protocol to
 * the same sketch as arduinodrv's 71 functions, beside them: a program uses
 * one library or the other for a board, not both.
 *
 *     ab_board *board;
 *     ab_reading a0;
 *     if (ab_open("/dev/ttyACM0", NULL, &board) != AB_OK) {
 *         fprintf(stderr, "%s\n", ab_last_error());
 *         return 1;
 *     }
 *     if (ab_read_analog(board, 0, &a0) == AB_OK)
 *         printf("A0 = %.3f V\n", a0.volts);
 *     ab_close(board);
 *
 * Built with: cc host.c $(pkg-config --cflags --libs arduinoboard)
 * (arduinoboard32 and -m32 for a 32-bit program).
 *
 * OPENING
 *   ab_open(port, options, &board) opens the board's serial device at 9600
 *   baud 8N1 and waits options->start_ms (2000 ms) while the board restarts:
 *   opening its port resets it, with every output off. port is any path
 *   (/dev/ttyUSB1, a /dev/serial/by-id/ name, a pty link of socat's). NULL
 *   or "auto" opens the one serial device whose USB ids are a board's or a
 *   usual USB-serial chip's (the list the package's udev rule uses): with
 *   none the status is AB_NO_PORT, with several AB_SEVERAL_PORTS, and
 *   ab_last_error() names them. ab_port() tells which device a board is on.
 *   Only a terminal or a FIFO is a port: a folder, a regular file, /dev/null
 *   is AB_NOT_A_PORT, and so is a terminal that is a session's (a person's
 *   shell or console): it is never set to raw mode, written or read.
 *   ab_close(board) closes the device; it waits for a call in progress on
 *   that board, and the handle is void afterwards.
 *
 * CLAIM
 *   With options->exclusive (the default) the device is this board's alone:
 *   another program, root included, or another ab_board of this program
 *   opening it gets AB_PORT_BUSY. The claim is a lock on the open device
 *   (and TIOCEXCL on a real serial device), so it goes with its holder: when
 *   the program ends or is killed, the device is free again, also on a
 *   pseudo-terminal whose other end stays open.
 *
 * THE SKETCH
 *   After each open, once the board has started, the board object asks its
 *   sketch what it can do (a line a classic sketch ignores: it costs such a
 *   board 250 ms at each open). The project's sketch (board/ in the source)
 *   answers; ab_link.sketch is its protocol version, 0 for a classic sketch,
 *   which is used exactly as the 71 functions use it. With the project's
 *   sketch every request names itself ("EA3#17", answered "EA3=512#17"), so
 *   an answer is never taken for another request's however late it comes,
 *   and no quiet line is waited for after a failure. Streams and the fast
 *   line need the project's sketch: with a classic one they are
 *   AB_NOT_SUPPORTED (the fast line: the open stays at 9600).
 *
 * FAST LINE
 *   Every open starts at 9600 baud. options->baud asks for a faster line
 *   (250000, 500000 or 1000000 baud, rates 16 MHz divides exactly): both
 *   ends move there after the sketch's answer, and a question at the new
 *   rate checks the board follows. If it does not, both go back to 9600 (the
 *   sketch by itself after 1000 ms of silence, which the open waits out)
 *   and the open succeeds all the same. ab_link.baud says the rate in use.
 *   After an unplug, the reopen does the same again.
 *
 * CHANNELS
 *   Analog inputs 0-5 (pins A0-A5), digital inputs 0-3 (pins 2, 4, 7, 8),
 *   PWM outputs 0-3 (pins 3, 5, 6, 9), digital outputs 0-3 (pins 10-13): the
 *   AB_* counts below. Any other channel is AB_BAD_CHANNEL, a duty outside
 *   0-255 or an "on" other than 0 and 1 AB_BAD_VALUE: at once, and nothing
 *   is sent.
 *
 * ERRORS
 *   Every call returns a status; AB_OK alone means the board gave what was
 *   asked. ab_status_text(status) says it in words, ab_last_error() says
 *   what went wrong in this thread's last call, with the path and the
 *   system's reason ("/dev/ttyUSB0: in use by another program"). A failed
 *   read leaves its ab_reading all zero. The board's own mistakes are told
 *   apart: AB_NO_ANSWER (nothing, or no whole line, within the limit),
 *   AB_NOT_A_READING (a line that is not a reading: not 0-1023 in decimal,
 *   or a digital answer other than the bytes 0 and 1), AB_NO_PORT (the
 *   device is gone).
 *   The environment variable ARDUINODRV_TRACE, read at each ab_open, traces
 *   the board's traffic as arduinodrv.h's ERRORS section tells (a
 *   descriptor number such as 2, or a file appended to): one line per
 *   event, each starting with arduinoboard and naming the board's port,
 *   its seconds counted from the ab_open:
 *     arduinoboard[4242] 0.251 /dev/ttyACM0 send: "EA3#0\r"
 *     arduinoboard[4242] 0.270 /dev/ttyACM0 answer: "EA3=512#0\n" after 18 ms
 *   A trace that cannot be written is dropped: a call never waits for it.
 *
 * SCAN
 *   ab_scan reads the six analog and four digital inputs in one exchange:
 *   the classic commands written back to back (any sketch that answers them
 *   will do) and the answers read in their order, each value with its own
 *   status and time. Analog and digital answers alternate on the line (one
 *   more digital request, of pin 0, sits between the last two analog ones),
 *   so an answer that is missing or cut spoils its own value alone, never
 *   the others'; only several missing in a row could shift, as the classic
 *   answers carry no request number. A digital answer must be the byte 0 or
 *   1 there. ab_scan returns AB_OK when all ten are right, else the status
 *   of the worst: AB_NO_PORT, then AB_NO_ANSWER, then AB_NOT_A_READING. At
 *   9600 baud a scan takes about 50 ms, the line's time for its commands.
 *
 * STREAMS
 *   With the project's sketch, ab_stream_start(board, analog_mask,
 *   digital_mask, interval_us) has the board sample the inputs of the masks
 *   (bit n: analog input n, 0-5; digital input n, 0-3) on its own timer,
 *   every interval_us, and send each sample set as a checked frame with its
 *   number and the board's time. A thread of the library reads the frames
 *   into a ring of ten seconds' worth (1024 samples at least);
 *   ab_stream_read(board, samples, max, timeout_ms, &count) takes up to max
 *   of them, waiting at most timeout_ms for the first. Every frame is
 *   checked: a damaged one counts in ab_link.frames_bad, a missing one (a
 *   gap in the numbers) in frames_lost, samples a program did not read in
 *   time, the oldest first, in samples_dropped; no value is ever taken from
 *   a frame that failed its check. An interval shorter than the inputs and
 *   the line's rate allow is AB_BAD_VALUE before anything is sent (at 9600
 *   baud one analog input takes about 19 ms a frame: ask for a fast line);
 *   masks naming inputs the board lacks are AB_BAD_CHANNEL, a classic
 *   sketch AB_NOT_SUPPORTED. While a stream runs, the other requests return
 *   AB_STREAMING. ab_stream_read returns AB_NO_ANSWER once the board has
 *   sent nothing for 3 intervals and 100 ms (it restarted, or hangs), and
 *   AB_NO_PORT when the device went away, after the samples that came
 *   before. ab_stream_stop ends the stream, waiting at most 500 ms for the
 *   sketch to say so (AB_NO_ANSWER when it does not); the frames still on
 *   their way never reach a later request.
 *
 * READINGS
 *   An ab_reading holds the raw value, the volts (raw x 5 / 1024 for an
 *   analog input; 0 or 5 for a digital one), the system time at which the
 *   answer's end arrived (CLOCK_REALTIME, ns since 1970) and the round trip
 *   from the command's first byte written to the answer's end.
 *
 * UNPLUGGED BOARDS
 *   A device that hangs up or fails (unplugged) is closed at once. While it
 *   is gone a request returns AB_NO_PORT at once, and tries to open it again
 *   at most every 500 ms, with the same settings and claim. Once it is back,
 *   the first request waits out the rest of start_ms while the board
 *   restarts, and ab_link says so: opens counts up, the outputs read off.
 *
 * TIMING (longest waits, with the default options)
 *   ab_open                  the open, start_ms (2000 ms), and the question
 *                            to the sketch: 250 ms for a classic one; with
 *                            a fast line that the board does not follow,
 *                            1500 ms more.
 *   ab_read_analog/digital   the answer: timeout_ms (1000 ms) from the
 *                            command written. A request after one that got
 *                            no whole answer first waits for a quiet line
 *                            (nothing arriving for 250 ms, at most
 *                            timeout_ms), so an answer up to 250 ms late,
 *                            or the rest of one cut by the limit, is never
 *                            taken as this request's. The protocol's
 *                            answers carry no request number: an answer
 *                            later than that cannot be told from a right
 *                            one. Bytes that wait before a request are
 *                            discarded, for at most timeout_ms (a board
 *                            that sends without end). Longest: start_ms
 *                            after a reopen (and the sketch's question, as
 *                            for ab_open), plus 2 x timeout_ms, plus the
 *                            command's write (below): 6000 ms, 7750 ms
 *                            after a reopen to a fast line not followed.
 *   ab_write_pwm/digital     the command's write: at once while the line
 *                            keeps up (9600 baud carries about 960 bytes a
 *                            second); a full device is waited for, up to
 *                            1000 ms, and a command it takes in part gets
 *                            1000 ms more; a command that found no room is
 *                            not sent (AB_NO_ANSWER). Longest: start_ms
 *                            after a reopen, plus 2000 ms.
 *   ab_scan                  as a read, the ten answers within timeout_ms
 *                            of the commands written.
 *   ab_stream_start          as a read; ab_stream_read: its timeout_ms;
 *                            ab_stream_stop: 500 ms, plus the write of its
 *                            command (up to 1000 ms on a full line).
 *   ab_link_state, ab_port, ab_status_text, ab_last_error   never wait.
 *   No call uses CPU while it waits; a signal does not cut a wait short.
 *
 * THREADING
 *   Each board has its own lock: calls on one board from several threads
 *   are taken one at a time, calls on different boards run in parallel.
 *   ab_close waits for the call in progress and those waiting on that board
 *   (they return AB_BAD_ARGUMENT once it is closed). A handle used after
 *   ab_close returned is AB_BAD_ARGUMENT as long as no later ab_open was
 *   given the same address: do not use it.
 *
 * FORK
 *   A board belongs to the process that opened it. In a child forked after
 *   ab_open, requests on it return AB_PORT_BUSY, and ab_close closes the
 *   child's descriptor only: the parent keeps its device and its claim.
 *   Once the parent closes the board the device is free for others, even
 *   while the child still holds its copy of the descriptor.
 *
 * TEXTS
 *   Every text the library returns is never NULL, ASCII except for the bytes
 *   of a path, and stays valid as long as the function says.
 *
 * VERSIONS
 *   The structures below are part of libarduinoboard.so.1 as they are: a
 *   field is never added to one within it (a later one comes with a new
 *   library name, libarduinoboard.so.2, and its own header).
 */
#ifndef ARDUINOBOARD_H
#define ARDUINOBOARD_H

#include <stddef.h>
#include <stdint.h>

#if defined(ARDUINOBOARD_BUILDING)
#define AB_API __attribute__((visibility("default")))
#else
#define AB_API
#endif

#if defined(__cplusplus)
#define AB_NOEXCEPT noexcept
extern "C" {
#else
#define AB_NOEXCEPT
#endif

/* The board's channels of each kind, numbered from 0. */
#define AB_ANALOG_INPUTS 6
#define AB_DIGITAL_INPUTS 4
#define AB_PWM_OUTPUTS 4
#define AB_DIGITAL_OUTPUTS 4

typedef struct ab_board ab_board;

typedef enum ab_status {
    AB_OK = 0,
    AB_NO_ANSWER,      /* the board did not answer within the time limit */
    AB_NOT_A_READING,  /* it answered something that is not a reading */
    AB_NO_PORT,        /* the device is not open now (missing, unplugged): tried again later */
    AB_PORT_BUSY,      /* another program (or another ab_board) holds the device */
    AB_NO_PERMISSION,  /* this user may not open the device */
    AB_NOT_A_PORT,     /* a folder, a regular file, /dev/null, a session's terminal, ... */
    AB_BAD_CHANNEL,    /* no such channel on the board: nothing is sent */
    AB_BAD_VALUE,      /* a value the output (or an option) cannot take: nothing is sent */
    AB_BAD_ARGUMENT,   /* a null pointer, a board that is closed, a path that cannot be one */
    AB_SEVERAL_PORTS,  /* ab_open(NULL): more than one device may be the board; name one */
    AB_NOT_SUPPORTED,  /* the board's sketch cannot do this (a classic sketch) */
    AB_STREAMING,      /* a stream is running on the board: stop it first */
    AB_NO_MEMORY,      /* the system gave no memory (or no thread) for the call */
    AB_NOT_STREAMING   /* a stream call, and no stream is running */
} ab_status;

/* The status in words ("the board did not answer within the time limit");
 * a number that is no status gives "unknown status". Never NULL, static. */
AB_API const char *ab_status_text(ab_status status) AB_NOEXCEPT;

/* What went wrong in this thread's last call that returned a status, with
 * the path and the system's reason where there are any; "" after AB_OK.
 * Valid until this thread's next call into the library. */
AB_API const char *ab_last_error(void) AB_NOEXCEPT;

/* The library's version, "1.0.0". */
AB_API const char *ab_version(void) AB_NOEXCEPT;

typedef struct ab_options {
    int timeout_ms;  /* answer limit, default 1000 (1 to 60000) */
    int start_ms;    /* wait after an open while the board restarts, default 2000 (0 to 60000) */
    int exclusive;   /* claim the device for this board alone (CLAIM), default 1; 0 or 1 */
    int baud;        /* 0 or 9600: stay at 9600 (the default); 250000, 500000 or 1000000: move the line there (FAST LINE) */
} ab_options;

/* Fills *options with the defaults; start from these and change what you
 * need, so a field added later keeps its default. */
AB_API void ab_default_options(ab_options *options) AB_NOEXCEPT;

/* Opens the board on port (NULL or "auto": the one likely device; OPENING)
 * with options (NULL: the defaults), and sets *board. On failure *board is
 * NULL (when board is not NULL) and nothing stays open. Options out of
 * their range are AB_BAD_VALUE. */
AB_API ab_status ab_open(const char *port, const ab_options *options, ab_board **board) AB_NOEXCEPT;

/* Closes the board (NULL does nothing); see THREADING and FORK. */
AB_API void ab_close(ab_board *board) AB_NOEXCEPT;

/* The device the board is on, as opened ("/dev/ttyACM0", also after
 * "auto"); valid until ab_close. NULL for a board that is NULL or closed. */
AB_API const char *ab_port(const ab_board *board) AB_NOEXCEPT;

typedef struct ab_reading {
    int32_t raw;            /* 0-1023 for an analog input, 0 or 1 for a digital one */
    double volts;           /* raw * 5 / 1024; 0 or 5 for a digital input */
    int64_t time_ns;        /* CLOCK_REALTIME when the answer arrived */
    int64_t round_trip_ns;  /* from the command's first byte written to the answer's end */
} ab_reading;

AB_API ab_status ab_read_analog(ab_board *board, int channel, ab_reading *reading) AB_NOEXCEPT;
AB_API ab_status ab_read_digital(ab_board *board, int channel, ab_reading *reading) AB_NOEXCEPT;
AB_API ab_status ab_write_pwm(ab_board *board, int channel, int duty) AB_NOEXCEPT;    /* 0-255 */
AB_API ab_status ab_write_digital(ab_board *board, int channel, int on) AB_NOEXCEPT;  /* 0 or 1 */

/* Every input in one exchange (SCAN): each value with its own status. */
typedef struct ab_scan_result {
    ab_reading analog[6];   ab_status analog_status[6];
    ab_reading digital[4];  ab_status digital_status[4];
} ab_scan_result;
AB_API ab_status ab_scan(ab_board *board, ab_scan_result *result) AB_NOEXCEPT;

/* A stream timed by the board (STREAMS): one sample set. */
typedef struct ab_sample {
    uint32_t sequence;      /* the board's frame number */
    int64_t board_time_us;  /* the board's clock when it sampled */
    int64_t time_ns;        /* CLOCK_REALTIME when the frame arrived */
    uint8_t analog_mask;    /* which analog inputs the sample holds */
    int32_t analog[6];      /* raw 0-1023 */
    uint8_t digital;        /* bit n: digital input n, when asked for */
} ab_sample;
AB_API ab_status ab_stream_start(ab_board *board, unsigned analog_mask, unsigned digital_mask, int interval_us) AB_NOEXCEPT;
AB_API ab_status ab_stream_read(ab_board *board, ab_sample *samples, size_t max, int timeout_ms, size_t *count) AB_NOEXCEPT;
AB_API ab_status ab_stream_stop(ab_board *board) AB_NOEXCEPT;

typedef struct ab_link {
    int connected;                           /* the device is open now */
    uint64_t opens;                          /* opens since ab_open, the first included */
    uint64_t requests, no_answer, not_a_reading;
    int64_t last_answer_ns;                  /* CLOCK_REALTIME of the last right answer, 0 if none */
    int32_t pwm[4], digital[4];              /* what the board holds as far as the library knows: 0 after each open (the board restarts with every output off) */
    uint64_t no_port;                        /* requests refused while the device was gone */
    int64_t opened_ns;                       /* CLOCK_REALTIME of the last open: the board restarted then */
    int32_t baud;                            /* the line's rate now */
    uint64_t frames_lost, frames_bad;        /* stream frames missing (sequence gaps) and damaged (check failed) */
    uint64_t samples_dropped;                /* stream samples dropped, oldest first, while the program read too slowly */
    int32_t sketch;                          /* 0: a classic sketch (or none answered); else the project's sketch's protocol version */
} ab_link;

/* The board's events (EVENTS). */
typedef enum ab_event_kind {
    AB_EVENT_NONE = 0,      /* no event came within the wait */
    AB_EVENT_ATTACHED,      /* the device is open again: it came back */
    AB_EVENT_DETACHED,      /* the device went away (unplugged) */
    AB_EVENT_RESTARTED,     /* the board restarted: every output is off */
    AB_EVENT_RATE_CHANGED,  /* the line moved: value is its rate now */
    AB_EVENT_STREAM_ENDED   /* the stream ended: value is why (AB_OK: stopped by the program) */
} ab_event_kind;

typedef struct ab_event {
    int32_t kind;     /* an ab_event_kind */
    int32_t value;    /* the rate, or the status, as kind says; 0 for the others */
    int64_t time_ns;  /* CLOCK_REALTIME when the library saw it */
    uint64_t missed;  /* events lost before this one: the queue holds 256 */
} ab_event;

/* A descriptor that is readable (poll, select, epoll) while events wait;
 * read them with ab_next_event, never from the descriptor. -1 for a board
 * that is NULL, closed or a forked parent's. Valid until ab_close. */
AB_API int ab_event_fd(ab_board *board) AB_NOEXCEPT;

/* The oldest event, waiting up to timeout_ms for one (0: not at all): AB_OK
 * with event->kind AB_EVENT_NONE when none came. */
AB_API ab_status ab_next_event(ab_board *board, ab_event *event, int timeout_ms) AB_NOEXCEPT;

/* requests counts the requests sent to the board, no_answer and
 * not_a_reading those of them that failed so; a write the device did not
 * take counts as no_answer. Never waits, not even for a call in progress:
 * connected says what the last call found (a device unplugged since is
 * seen by the next call). */
AB_API ab_status ab_link_state(ab_board *board, ab_link *link) AB_NOEXCEPT;

#if defined(__cplusplus)
}
#endif

#endif
