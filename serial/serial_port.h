// Serial port layer: the only code that opens, reads or writes a device.
// Ports live in one process-wide table, under a fixed id chosen by the caller
// (0 and up) or under a port handle made here (ask with id -1). Every port is
// raw (but each CR received arrives as LF; see open_port) and non-blocking:
// reads and writes never wait for the device; only the waits below do, each
// up to its deadline, asleep.
#pragma once

#include <cstdint>

#include "deadline.h"

// Port ids at or above this value are port handles; fixed ids lie below it.
constexpr int32_t first_port_handle = 0x40000000;
// Largest fixed id that open_port accepts. The slot table grows up to it; a
// bigger id would ask for an unbounded table.
constexpr int32_t max_fixed_port_id = 0xFFFF;

void init_port_table();

// Opens `path` with the given line settings. Returns 0 on failure; otherwise
// the new handle (id -1) or the device's descriptor (fixed id). Parity and
// the buffer sizes are accepted and unused. Stop bits other than exactly 1.0
// give two stop bits. Handshake 0/1 none, 2 RTS/CTS, 3 XON/XOFF.
// "Raw" means no line editing, echo, signal characters or output processing,
// with one exception on input: each CR received is delivered as LF (ICRNL).
// Whatever the device had received before the open is discarded.
// Only a terminal or a FIFO is opened: a regular file, a folder or another
// kind of device at the path (/dev/null) gives 0 and is never written.
int32_t open_port(int32_t id, const char *path, int32_t baud, int32_t parity,
                  int32_t data_bits, float stop_bits, int32_t handshake,
                  int32_t input_buffer_size, int32_t output_buffer_size);

// Received bytes waiting to be read; 0 when none, or when id names no port.
int32_t port_bytes_waiting(int32_t id);

// One read of at most max_count bytes; 0 when nothing came or on any error.
int32_t read_port(int32_t id, char *buffer, int32_t max_count);

// The one text format of write_port_text: the text's bytes as they are.
// Other formats are refused (nothing is written, the result is 0).
constexpr int32_t text_format_bytes = 8;

// One write of the text (without its terminating zero). Returns the number
// of bytes the device accepted, 0 on any failure.
int32_t write_port_text(int32_t id, const char *text, int32_t format = text_format_bytes);

// Writes the whole text, its bytes as they are, waiting for room in the
// device as long as the deadline allows. A device that takes nothing before
// the deadline (its buffer stays full, it stopped reading) gets nothing: the
// text is never cut by a full buffer. Once part of it went out, the rest
// follows as room comes, for up to twice the deadline's limit from its start:
// only a device that stops reading for that long in the middle of a text
// gets a piece of it. Returns the bytes sent; 0 when nothing went out, the id
// names no port or the device failed.
int32_t write_port_whole(int32_t id, const char *text, const deadline &d);

// Sleep in poll() until a byte waits on the port (true) or the deadline
// passes (false), resuming after signals with the time left. False at once
// when the id names no port or the device hung up or failed: no byte can
// come then.
bool wait_port_readable(int32_t id, const deadline &d);

// Likewise until the device has room for a write.
bool wait_port_writable(int32_t id, const deadline &d);

// Makes an open port exclusive (TIOCEXCL): further opens of the device fail
// with EBUSY, except for root. Release it again before closing it, so that a
// descriptor of the same device kept elsewhere does not stay locked.
void claim_port_exclusively(int32_t id);
void release_port_claim(int32_t id);

// Opens `id` as open_port does (claimed when `exclusive`) and keeps its
// path and settings, so that reopen_kept_port can open it again after the
// device went away. One port is kept; keeping another forgets the first.
int32_t keep_port_open(int32_t id, const char *path, int32_t baud, int32_t parity, int32_t data_bits,
                       float stop_bits, int32_t handshake, int32_t input_buffer_size,
                       int32_t output_buffer_size, bool exclusive);

// How often a kept port that is not open is tried again.
constexpr int32_t reopen_interval_ms = 500;

// True when the kept port `id` is open: at once when it is, else after a
// try to open it again, made at most once every reopen_interval_ms (a device
// still missing or held by another program, EBUSY, costs one failed open).
bool reopen_kept_port(int32_t id);

// A device that hangs up or fails with EIO, ENXIO or ENODEV (unplugged) is
// closed at once by the wait, read or write that found it gone.
void close_port(int32_t id);
void close_all_ports();

// Closes every port and frees the table itself; init_port_table makes it anew.
void free_port_table();

// Opens the device and closes it again at once, touching neither its line
// settings nor its pending input, so that a device another program is using
// is left undisturbed. True when it opened.
bool device_opens(const char *path);
