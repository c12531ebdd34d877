/* libdravik: the station's job (dravik-cli set) as a C library, in process: the same discovery,
 * frames, exchange, record and log as dravik-cli, for LabVIEW, TestStand, C#/.NET, Python and C.
 *
 * Conventions
 * - Every text in or out is UTF-8, NUL-terminated.
 * - Every function but dravik_version and dravik_last_error returns an int status, one of the
 *   DRAVIK_* codes below; where a code means what a dravik-cli exit status means, it has its
 *   number.
 * - Data comes out as the JSON objects `dravik-cli --json` prints, one per line. No struct
 *   crosses this interface.
 * - A returned text is owned by the library. One returned for a handle stays valid until the
 *   next call on that handle (or its dravik_close); one returned by a call without a handle
 *   (dravik_ports, dravik_find, dravik_open's failure, dravik_last_error(NULL)) stays valid until
 *   the next such call on the same thread.
 * - The library never prints, never exits, installs no signal handler and starts no thread
 *   beyond the exchange's own reply watcher.
 *
 * Threads
 * - One thread at a time per handle. Different handles may be used from different threads.
 * - dravik_cancel is safe from any thread, also while another thread is inside a call on the
 *   same handle: that call ends its wait at its next step (well within 200 ms), never in the
 *   middle of a frame's write, so the line is left as found; the channel is recorded as not
 *   sent or with what arrived.
 *
 * Handles
 * - A handle from dravik_open is valid until dravik_close. A closed handle passed again is
 *   detected and gets DRAVIK_BAD_HANDLE, as does NULL, until the system reuses its address for
 *   a new handle (then the call reaches that one): do not keep a closed handle. A call refused
 *   with DRAVIK_BAD_HANDLE has no handle to keep its error in: dravik_last_error(NULL) says it.
 */
#ifndef DRAVIK_H
#define DRAVIK_H

#ifdef __cplusplus
extern "C" {
#endif

/* The calling convention of every function: cdecl, undecorated names, on both platforms. */
#if defined(_WIN32)
#define DRAVIK_CALL __cdecl
#else
#define DRAVIK_CALL
#endif

/* Statuses. 0 to 4 have the numbers of dravik-cli's exit statuses. */
#define DRAVIK_CONFIRMED 0        /* the meter answered every channel asked */
#define DRAVIK_NOT_CONFIRMED 1    /* the meter did not answer (the record says more) */
#define DRAVIK_INVALID_ARGUMENT 2 /* refused before anything was opened or sent */
#define DRAVIK_NO_METER 3         /* no port answered as the meter */
#define DRAVIK_PORT_UNAVAILABLE 4 /* the port would not open, or was lost during the run */
#define DRAVIK_CANCELLED 5        /* dravik_cancel ended it; nothing more is sent on the handle */
#define DRAVIK_LOG_FAILED 6       /* the log could not be opened or take a row */
#define DRAVIK_BAD_HANDLE 7       /* NULL, closed or never opened handle */
#define DRAVIK_INTERNAL_ERROR 8   /* not finished (out of memory): nothing more is sent on it */

typedef struct dravik_meter dravik_meter;

/* The library's version, "1.0.0.1". */
const char* DRAVIK_CALL dravik_version(void);

/* The serial ports in discovery order: one `dravik-cli ports --json` object a line. Opens
 * nothing. */
int DRAVIK_CALL dravik_ports(const char** json);

/* Probes the ports as dravik-cli find does (all != 0: every port, side by side, as find --all):
 * one JSON object a line per port tried, in discovery order, with "port", "found" (true or
 * false) and "reason" (what became of it, as find prints it; "" when found). DRAVIK_CONFIRMED
 * when a meter was found, DRAVIK_NO_METER otherwise. */
int DRAVIK_CALL dravik_find(int all, const char** json);

/* Opens the meter's port (port NULL or "": found as the dialog finds it; a port given is probed
 * as the search probes, and one that does not answer as the meter gets nothing more:
 * DRAVIK_NO_METER) and sets *meter; on
 * failure *meter is NULL and dravik_last_error(NULL) says why (DRAVIK_NO_METER: what dravik-cli
 * prints then, a line and then each port tried, one per line). */
int DRAVIK_CALL dravik_open(const char* port, dravik_meter** meter);

/* The port the handle has open (the one found, when dravik_open was given none). */
int DRAVIK_CALL dravik_port(dravik_meter* meter, const char** port);

/* Attaches the CSV log of `dravik-cli set --log path`, with the same write-ahead rows, and
 * `tags` (NULL or "": none) as `key=value` pairs joined by ';', checked as --tag checks them.
 * The tags go into every record from here on, with or without a log (path NULL or "": none). */
int DRAVIK_CALL dravik_open_log(dravik_meter* meter, const char* path, const char* tags);

/* Sets one channel: `channel` is a label ("1310CW", "1310Burst", "1490CW", "1550CW", any case)
 * or "0".."3", `db_text` the level in dB, checked as dravik-cli set checks it (a non-numeric or
 * out-of-range level is DRAVIK_INVALID_ARGUMENT and nothing is sent). A channel may be set
 * again on the same handle. *json is the channel's record, the object `dravik-cli set --json`
 * prints, without a line end, whenever the arguments were valid ("" when they were not): also
 * when nothing was sent because the run had stopped (a lost port, a failed log row, a cancel,
 * or an earlier channel the meter did not answer in time, whose late answer could not be told
 * from the next one's): then every later dravik_set on the handle returns that status at once,
 * sends nothing and is recorded as not sent; a new dravik_open starts afresh. */
int DRAVIK_CALL dravik_set(dravik_meter* meter, const char* channel, const char* db_text,
                           const char** json);

/* Ends the handle's current wait at its next step and stops the run: later dravik_set calls
 * send nothing (DRAVIK_CANCELLED). Safe from any thread. */
int DRAVIK_CALL dravik_cancel(dravik_meter* meter);

/* Why the last call on the handle (meter NULL: the last call without a handle on this thread)
 * failed, in the operator's language: the line dravik-cli prints on stderr (DRAVIK_NO_METER: its
 * lines), or for DRAVIK_NOT_CONFIRMED the channel's outcome line; "" when it did not fail.
 * Never NULL. */
const char* DRAVIK_CALL dravik_last_error(const dravik_meter* meter);

/* Closes the port, the line left as found, and frees the handle. */
int DRAVIK_CALL dravik_close(dravik_meter* meter);

#ifdef __cplusplus
}
#endif

#endif /* DRAVIK_H */
