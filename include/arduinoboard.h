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
 *   ab_close(board) leaves the board as every open finds it (no stream, at
 *   9600), closes the device; it waits for a call in progress on that board,
 *   and the handle is void afterwards.
 *
 * THE LINE'S OWNER
 *   Each open board has a reader, a thread of the library that alone reads
 *   its device: it sleeps until bytes come, and hands each answer to the
 *   request that waits for it, each stream frame to the stream. A request
 *   writes its command and waits for its own answer. The reader also sees
 *   the device go and come back (EVENTS), and keeps the line: with the
 *   project's sketch it asks the board a question whenever nothing went out
 *   for 500 ms (the board keeps a fast line and a stream only while its host
 *   talks, see FAST LINE) and at once after a request got no answer. The
 *   answer tells the board's uptime: a board whose clock went back restarted
 *   (AB_EVENT_RESTARTED, every output off).
 *
 * CLAIM
 *   With options->exclusive (the default) the device is this board's alone:
 *   another program, root included, or another ab_board of this program
 *   opening it gets AB_PORT_BUSY. The claim is a lock on the open device
 *   (and TIOCEXCL on a real serial device), so it goes with its holder: when
 *   the program ends or is killed, the device is free again, also on a
 *   pseudo-terminal whose other end stays open. Without exclusive the open
 *   shares the device with other opens that claim nothing, and is
 *   AB_PORT_BUSY, the device untouched, where another open holds it alone.
 *
 * THE SKETCH
 *   After each open, once the board has started, the library asks its
 *   sketch what it is, again every 300 ms until it answers, for 1 s (longer
 *   while the board sends what is no answer at 9600: a board at another
 *   rate, or streaming, see FAST LINE). The project's sketch (board/ in the
 *   source) answers; ab_link.sketch is its protocol version, 0 for a classic
 *   sketch, which is used exactly as the 71 functions use it and costs each
 *   open that second. An answer that comes later still makes the board
 *   known for what it is, and is never a reading. A sketch of an earlier
 *   release (protocol 2) is used as a classic one: flash this release's.
 *   With the project's sketch a request carries a one-letter tag whenever an
 *   earlier answer may still come ("EA3k", answered "512k"), so an answer is
 *   never taken for another request's however late it comes; when every
 *   request had its answer, the classic line goes out ("EA3"), the shortest.
 *   The open also ends any stream an earlier program left running (a board
 *   on a link does not restart when its port opens). Streams, the scan in
 *   one answer and the fast line need the project's sketch: with a classic
 *   one streams are AB_NOT_SUPPORTED and the line stays at 9600.
 *
 * FAST LINE
 *   Every open starts at 9600 baud. With the project's sketch the line then
 *   moves to the fastest rate both ends take (options->baud 0, the default:
 *   1000000, else 500000, else 250000, rates 16 MHz divides exactly; a rate
 *   this host's device cannot set is not asked for); options->baud 9600
 *   stays at 9600, another rate asks for that one alone. The move is an
 *   agreement in two steps: the board answers the move at 9600 and then
 *   moves; the library moves its end and keeps the new rate only once the
 *   board has answered there. The board keeps a rate other than 9600, and a
 *   stream, only while it hears its host: after 2 s with no line it
 *   understands it ends its stream and goes back to 9600 by itself. So when
 *   an answer of the move is lost, damaged, late or junk, or the board
 *   restarts on the way, the library waits out those 2 s at 9600 and asks
 *   again there: both ends are at 9600, never apart, and the open succeeds
 *   at 9600. A program that is killed leaves its board at 9600 with no
 *   stream 2 s later. ab_link.baud says the rate in use.
 *
 * CHANNELS
 *   Analog inputs 0-5 (pins A0-A5), digital inputs 0-3 (pins 2, 4, 7, 8),
 *   PWM outputs 0-3 (pins 3, 5, 6, 9), digital outputs 0-3 (pins 10-13): the
 *   AB_* counts below. Any other channel is AB_BAD_CHANNEL, a duty outside
 *   0-255 or an "on" other than 0 and 1 AB_BAD_VALUE: at once, and nothing
 *   is sent.
 *
 * ERRORS
 *   Every call returns a status; AB_OK alone means the board gave or took
 *   what was asked: a reading is the board's answer to that request; an
 *   output is AB_OK once the project's sketch confirms it set it (with a
 *   classic sketch, which confirms nothing, once the device took the whole
 *   command). ab_status_text(status) says it in words, ab_last_error() says
 *   what went wrong in this thread's last call, with the path and the
 *   system's reason ("/dev/ttyUSB0: in use by another program"). A failed
 *   read leaves its ab_reading all zero. The board's own mistakes are told
 *   apart: AB_NO_ANSWER (nothing, or no whole answer, within the limit),
 *   AB_NOT_A_READING (an answer that is not a reading: not 0-1023 in
 *   decimal, or a digital answer other than 0 and 1), AB_NO_PORT (the device
 *   is gone).
 *   The environment variable ARDUINODRV_TRACE, read at each ab_open, traces
 *   the board's traffic as arduinodrv.h's ERRORS section tells (a
 *   descriptor number such as 2, or a file appended to): one line per
 *   event, each starting with arduinoboard and naming the board's port,
 *   its seconds counted from the ab_open:
 *     arduinoboard[4242] 0.251 /dev/ttyACM0 send: "EA3\r"
 *     arduinoboard[4242] 0.260 /dev/ttyACM0 answer: "512" after 9 ms
 *   A trace that cannot be written is dropped: a call never waits for it.
 *
 * SCAN
 *   ab_scan reads the six analog and four digital inputs at once, each value
 *   with its own status and time. With the project's sketch it is one tagged
 *   request answered by all ten values: no late or missing answer can move
 *   a value onto another input. A classic sketch gets the classic commands
 *   back to back, answered in their order: analog and digital answers
 *   alternate on the line (one more digital request, of pin 0, sits between
 *   the last two analog ones), so an answer that is missing or cut spoils
 *   its own value alone; only several missing in a row could shift, and
 *   after any failure the scan first waits for a quiet line. A digital
 *   answer must be the byte 0 or 1 there. ab_scan returns AB_OK when all ten
 *   are right, else the status of the worst: AB_NO_PORT, then AB_NO_ANSWER,
 *   then AB_NOT_A_READING. At 9600 baud a scan takes about 38 ms with the
 *   project's sketch, 50 ms with a classic one.
 *
 * STREAMS
 *   With the project's sketch, ab_stream_start(board, analog_mask,
 *   digital_mask, interval_us) has the board sample the inputs of the masks
 *   (bit n: analog input n, 0-5; digital input n, 0-3) on its own timer,
 *   every interval_us, and send each sample set as a checked frame with its
 *   number and the board's time. The reader puts the frames into a ring of
 *   ten seconds' worth (1024 samples at least); ab_stream_read(board,
 *   samples, max, timeout_ms, &count) takes up to max of them, waiting at
 *   most timeout_ms for the first. Every frame is checked: a damaged one
 *   counts in ab_link.frames_bad, and so does one whose board time goes
 *   back (never taken for a wrap of the board's clock); a missing one (a gap
 *   in the numbers, before the first frame received too, and after the last
 *   one, from the board's own count at the end) in frames_lost; samples a
 *   program did not read in time, the oldest first, in samples_dropped; no
 *   value is ever taken from a frame that failed its check. An interval
 *   shorter than the inputs and the line's rate allow is AB_BAD_VALUE before
 *   anything is sent (at 9600 baud one analog input takes about 19 ms a
 *   frame); masks naming inputs the board lacks are AB_BAD_CHANNEL, a
 *   classic sketch AB_NOT_SUPPORTED, a second stream AB_STREAMING. While a
 *   stream runs, the other requests go on: the board answers them between
 *   two frames. ab_stream_read returns AB_NO_ANSWER once the board has sent
 *   nothing for 3 intervals and 100 ms (it restarted, or hangs), at that
 *   moment whatever its timeout_ms. ab_stream_stop ends the stream, asking
 *   again until the board says so with its count, for at most 500 ms
 *   (AB_NO_ANSWER when it never does: the stream ends all the same, by the
 *   board's silence rule if need be, see FAST LINE); it wakes every
 *   ab_stream_read waiting at once. The samples that came before the stop
 *   stay readable until read (a new stream counts those left as dropped);
 *   then ab_stream_read is AB_NOT_STREAMING, and so is another
 *   ab_stream_stop (one after a stream that ended by itself is AB_OK). A device
 *   that goes away ends the stream: ab_stream_read gives the samples that
 *   came, then AB_NO_PORT; once the board is back it is used as after any
 *   open (requests, a new stream).
 *
 * READINGS
 *   An ab_reading holds the raw value, the volts (raw x 5 / 1024 for an
 *   analog input; 0 or 5 for a digital one), the system time at which the
 *   answer's end arrived (CLOCK_REALTIME, ns since 1970) and the round trip
 *   from the command's first byte written to the answer's end.
 *
 * EVENTS
 *   The reader tells what happens to the board as it sees it, without a
 *   call: the device went away (AB_EVENT_DETACHED) or is open again
 *   (AB_EVENT_ATTACHED), the board restarted (AB_EVENT_RESTARTED: its
 *   outputs are off; at a reopen, and whenever its clock went back), the line
 *   moved (AB_EVENT_RATE_CHANGED), a stream ended (AB_EVENT_STREAM_ENDED,
 *   with the status its reads then give, AB_OK when the program stopped it).
 *   ab_event_fd(board) is a descriptor that is readable while events wait,
 *   for poll() or a main loop; ab_next_event(board, &event, timeout_ms)
 *   takes the oldest, each with its time. The 256 latest are kept.
 *
 * UNPLUGGED BOARDS
 *   A device that hangs up or fails (unplugged) is closed at once, and
 *   ab_link.connected is 0 from then on. While it is gone a request returns
 *   AB_NO_PORT at once; the reader tries to open the device again every
 *   500 ms, with the same settings and claim. Once it is back the board
 *   starts as after ab_open (THE SKETCH, FAST LINE): a request meanwhile
 *   waits for that, and ab_link says it: opens counts up, the outputs read
 *   off unless the project's sketch's uptime shows the board did not restart.
 *
 * TIMING (longest waits, with the default options)
 *   ab_open                  the open; start_ms (2000 ms); the question to
 *                            the sketch: 1000 ms (a classic sketch, all of
 *                            it), 3250 ms while the board sends what is no
 *                            answer at 9600; with the project's sketch the
 *                            end of a stream and the uptime (500 ms each),
 *                            and the fast line: each rate's answer
 *                            (1000 ms) and its check (900 ms); where those
 *                            go wrong, 2250 ms for the board's silence rule
 *                            and the question again (1500 ms). With start_ms
 *                            under 1250 ms, 300 ms more (the question at
 *                            each fast rate, for a board left at one).
 *                            Longest: start_ms + 12.5 s, every answer lost
 *                            at its limit; typically start_ms and 70 ms.
 *   ab_read_analog/digital   the answer: timeout_ms (1000 ms) from the
 *                            command written, and 250 ms more for the reader
 *                            when bytes had come by then (a busy host). With
 *                            a classic sketch, a request after one that got
 *                            no whole answer first waits for a quiet line
 *                            (nothing for 250 ms, at most timeout_ms). The
 *                            command's write: at once while the line keeps
 *                            up; a full device is waited for, up to 1000 ms,
 *                            and a command it takes in part gets 1000 ms
 *                            more; a command that found no room is not sent
 *                            (AB_NO_ANSWER). A request while the board starts
 *                            after a reopen, or while the reader mends a
 *                            line whose ends may be apart, waits for that
 *                            first (as ab_open after its start_ms, or 12 s).
 *                            Longest, the board there: 4250 ms.
 *   ab_write_pwm/digital     as a read.
 *   ab_scan                  as a read.
 *   ab_stream_start          as a read; ab_stream_read: its timeout_ms, or
 *                            3 intervals and 100 ms of silence if sooner;
 *                            ab_stream_stop: 500 ms, plus the write of its
 *                            command (up to 2000 ms on a full line).
 *   ab_next_event            its timeout_ms.
 *   ab_link_state, ab_port, ab_event_fd, ab_status_text, ab_last_error
 *                            never wait for the board.
 *   ab_close                 the call in progress on the board, the end of a
 *                            stream and the line's return to 9600 (each as
 *                            a request).
 *   No call uses CPU while it waits; a signal does not cut a wait short.
 *
 * THREADING
 *   Each board has its own lock: requests on one board from several threads
 *   are taken one at a time, calls on different boards run in parallel;
 *   ab_stream_read, ab_link_state and the events never wait for a request.
 *   ab_close waits for the call in progress and those waiting on that board
 *   (they return AB_BAD_ARGUMENT once it is closed). A handle is a number
 *   the library never gives again in the process: one used after ab_close
 *   returned is AB_BAD_ARGUMENT.
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
 *   library name, libarduinoboard.so.2, and its own header). Statuses,
 *   event kinds and functions may be added.
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
    int baud;        /* 0: the fastest both ends take (the default); 9600: stay at 9600; 250000, 500000 or 1000000: that one (FAST LINE) */
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
    int32_t pwm[4], digital[4];              /* what the board holds as far as the library knows: what it confirmed, 0 after it restarted */
    uint64_t no_port;                        /* requests refused while the device was gone */
    int64_t opened_ns;                       /* CLOCK_REALTIME of the last open: the board restarted then */
    int32_t baud;                            /* the line's rate now */
    uint64_t frames_lost, frames_bad;        /* stream frames missing (by the board's numbers) and damaged (check failed, or time going back) */
    uint64_t samples_dropped;                /* stream samples dropped, oldest first, while the program read too slowly */
    int32_t sketch;                          /* 0: a classic sketch (or none answered); else the project's sketch's protocol version (3) */
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
 * take, or the board did not confirm, counts as no_answer. Never waits, not
 * even for a call in progress: connected changes as the reader sees the
 * device go or come back. */
AB_API ab_status ab_link_state(ab_board *board, ab_link *link) AB_NOEXCEPT;

#if defined(__cplusplus)
}
#endif

#endif
