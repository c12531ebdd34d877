/* libdravik: the station's job (dravik-cli set) as a C library, in process: the same discovery,
 * frames, exchange, record and log as dravik-cli, for LabVIEW, TestStand, C#/.NET, Python and C.
 *
 * Conventions
 * - Every number in or out is an int32_t (a double for dravik_set_db's level): the same
 *   declarations serve 32- and 64-bit hosts. Every text is UTF-8; a text in is NUL-terminated.
 * - Every function but dravik_version returns a status, one of the DRAVIK_* codes below (where a
 *   code means what a dravik-cli exit status means, it has its number), or for the text calls
 *   a length (below).
 * - No pointer the library owns is handed out but dravik_version's, and no struct crosses this
 *   interface. Data comes out as the JSON objects `dravik-cli --json` prints, one a line.
 * - The library never prints, never exits and installs no signal handler.
 *
 * Sessions
 * - A session is a number (dravik_session): dravik_new makes one, dravik_close ends it. Numbers
 *   are never reused within a process, so a number kept after its close gets DRAVIK_BAD_HANDLE
 *   (never another session's meter); 0 is never a session.
 * - A session keeps its own texts: the last record, the last list, the port, and why its last
 *   call failed. Nothing is kept per thread: any thread may read what another thread's call left.
 *
 * Texts out: dravik_record, dravik_record_value, dravik_record_keys, dravik_error, dravik_port and
 * dravik_list write into a buffer the caller allocates:
 * - They return the text's whole length in bytes, without the NUL, whatever `size` is, so a
 *   host may ask with size 0 first and allocate length + 1. They write at most size - 1 bytes
 *   and a NUL, and never cut a UTF-8 character in two: a text that does not fit ends at the last
 *   whole character that does.
 * - buffer NULL with size 0 only asks for the length. buffer NULL with size > 0, or a negative
 *   size, returns -DRAVIK_INVALID_ARGUMENT; a session that is not one returns
 *   -DRAVIK_BAD_HANDLE. Nothing is written then.
 * - They are never DRAVIK_BUSY: during another thread's call they return what its session held
 *   before that call, or what it has already set.
 *
 * Threads
 * - One call at a time per session: a call made on a session while another call on it runs
 *   returns DRAVIK_BUSY at once, sends nothing and leaves the session as it was. The text calls,
 *   dravik_cancel and dravik_close are the exceptions. Different sessions may be used from
 *   different threads at once, one log file shared among them.
 * - dravik_cancel, from any thread at any time, ends the session's current wait within 200 ms
 *   (the search, a probe, the meter's answer, a write held by flow control): the call returns
 *   DRAVIK_CANCELLED, and no further byte of a frame goes out (what a write had started is
 *   discarded from the driver's queue). The session's run stays stopped: later dravik_set calls
 *   send nothing and return DRAVIK_CANCELLED, until dravik_open opens the port afresh.
 *   dravik_open, dravik_ports and dravik_find start afresh (a cancel made before they began
 *   does not end them).
 * - dravik_close, from any thread: cancels a call in progress on the session, waits for it to
 *   end, closes the port (the line left as found) and frees the session.
 *
 * How long a call blocks when it is not cancelled (figures measured on a pty; a real driver
 * adds its own):
 * - dravik_version, dravik_new, dravik_cancel and the text calls: never (a mutex held for a copy).
 * - dravik_ports: at most 2.5 s (the scan for who holds each port gives up after 2 s).
 * - dravik_open with a port named: the probe's 0.5 s (its answer wait, or on a line held by
 *   flow control its write's time-out), plus the port's open. Without a port: the same for each
 *   port until one answers, plus the holder scan's 2 s at most.
 * - dravik_find: as dravik_open without a port (all != 0: every port, 8 side by side, about
 *   0.7 s for up to 8 ports).
 * - dravik_set on an answering meter: about 50 ms (nothing is waited for after the answer: bytes
 *   that come unasked later stop the run at the next dravik_set, which sends nothing); on a
 *   silent one 6.2 s (the 5 s answer wait, then up to 1 s for the line to go quiet); on a line
 *   that flow control holds for good: 42.5 s (the frame's write, five resends and a last one,
 *   each bounded by the write time-out of 100 ms a byte plus 2 s), and the run stops there. A
 *   log row adds its sync (and waits up to 5 s for the file's lock when other runs append to
 *   it).
 * - dravik_open_log: the file's open (a file system that never answers keeps it).
 * - dravik_close: its cancel's 200 ms, plus the port's close, 1 s at most.
 *
 * Threads the library starts
 * - Each open port's reply watcher, from the first dravik_set: joined when the port closes.
 * - The holder scan's, per search or list (Linux): it reads /proc, and is left behind after 2 s
 *   when a file system there does not answer; it ends by itself, holds no session and keeps no
 *   process from exiting.
 * - The bounded close's (Linux): closing a tty waits until its output has left; the close runs
 *   on a thread of its own, which dravik_close leaves behind after 1 s. It holds only the
 *   device, and ends when the driver lets go.
 * None of them outlives dravik_close of its session but those two, for the reasons given.
 */
#ifndef DRAVIK_H
#define DRAVIK_H

#include <stdint.h>

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
#define DRAVIK_CANCELLED 5        /* dravik_cancel ended it; nothing more is sent in the run */
#define DRAVIK_LOG_FAILED 6       /* the log could not be opened or take a row */
#define DRAVIK_BAD_HANDLE 7       /* 0, closed or never issued session */
#define DRAVIK_INTERNAL_ERROR 8   /* not finished (out of memory): nothing more is sent on it */
#define DRAVIK_BUSY 9             /* another call on the session runs: this one did nothing */

typedef int32_t dravik_session;

/* The product's version, as the programs have it ("1.0.0.1"): a static string, never freed. */
const char* DRAVIK_CALL dravik_version(void);

/* Makes a session with no port yet and sets *session (0 on failure). DRAVIK_INTERNAL_ERROR only
 * when no memory is left; DRAVIK_INVALID_ARGUMENT for a NULL pointer. */
int32_t DRAVIK_CALL dravik_new(dravik_session* session);

/* Opens the meter's port, closing the one the session had. port NULL: the port found as the
 * dialog finds it, trying each port until one answers. "" names no port and is refused
 * (DRAVIK_INVALID_ARGUMENT, the session as it was), as dravik-cli refuses --port "": a port
 * left blank must never become a search that reaches another meter. A port named is probed as
 * the search probes, and one that does not answer as the meter gets nothing more
 * (DRAVIK_NO_METER; its dravik_error says what became of each port tried, one a line). The
 * session's log and tags carry over. */
int32_t DRAVIK_CALL dravik_open(dravik_session session, const char* port);

/* The CSV log of `dravik-cli set --log path`, with the same write-ahead rows, for every set from
 * here on (path NULL or "": none). A log that cannot be opened (DRAVIK_LOG_FAILED) leaves the one
 * the session had. The tags are untouched. */
int32_t DRAVIK_CALL dravik_open_log(dravik_session session, const char* path);

/* The station's tags, `key=value` pairs joined by ';' (NULL or "": none), checked as --tag checks
 * them, in every record and log row from here on. A refusal leaves the tags as they were; the
 * log is untouched. */
int32_t DRAVIK_CALL dravik_set_tags(dravik_session session, const char* tags);

/* Sets one channel on the session's open port: `channel` is a label ("1310CW", "1310Burst",
 * "1490CW", "1550CW", any case) or "0".."3", `db_text` the level in dB, checked as dravik-cli
 * set checks it (a non-numeric or out-of-range level is DRAVIK_INVALID_ARGUMENT and nothing is
 * sent). A channel may be set again. Whenever the arguments were valid the channel has a record
 * (dravik_record): also when nothing was sent because the run had stopped (a lost port, a failed
 * log row, a cancel, or an earlier channel the meter did not answer in time, whose late answer
 * could not be told from the next one's); then every later set returns that status at once and
 * is recorded as not sent, until dravik_open opens afresh. Without an open port:
 * DRAVIK_PORT_UNAVAILABLE, nothing recorded. */
int32_t DRAVIK_CALL dravik_set(dravik_session session, const char* channel, const char* db_text);

/* dravik_set for a host that holds numbers: channel 0..3, the level as a double. The record's
 * text is the level's shortest round-trip form (as Python writes a float: 0.35, -1.5, 2.0,
 * 1e-05); NaN and infinities are refused as their text is. */
int32_t DRAVIK_CALL dravik_set_db(dravik_session session, int32_t channel, double db);

/* The serial ports in discovery order, one `dravik-cli ports --json` object a line, into the
 * session's list (dravik_list). Opens nothing. */
int32_t DRAVIK_CALL dravik_ports(dravik_session session);

/* Probes the ports as dravik-cli find does (all != 0: every port, side by side, as find --all)
 * into the session's list: one JSON object a line per port tried, in discovery order, with
 * "port", "found" (true or false) and "reason" (what became of it, as find prints it; "" when
 * found): the objects of find --json, which prints only those found. DRAVIK_CONFIRMED when a
 * meter was found, DRAVIK_NO_METER otherwise. A port open in this process (the session's own,
 * another session's) stays as it is: it is reported busy, and no probe disturbs its run. */
int32_t DRAVIK_CALL dravik_find(dravik_session session, int32_t all);

/* The last dravik_set's record on the session, the object `dravik-cli set --json` prints, without
 * a line end; "" before the first (and after a set whose arguments were refused). */
int32_t DRAVIK_CALL dravik_record(dravik_session session, char* buffer, int32_t size);

/* One field of that record as text, so that a host reads it without a JSON parser: `key` one of
 * dravik_record_keys ("answered" gives true or false, "factor" 1.0839269, "frame" and "reply"
 * hex, "text" the level as given, "tags" the tags' JSON object). An unknown key is
 * -DRAVIK_INVALID_ARGUMENT; no record yet gives "". */
int32_t DRAVIK_CALL dravik_record_value(dravik_session session, const char* key, char* buffer,
                                        int32_t size);

/* The record's keys in their order, joined by ',' ("time,port,channel,...,tags"). Needs no
 * session: any number is accepted. */
int32_t DRAVIK_CALL dravik_record_keys(char* buffer, int32_t size);

/* Why the last call on the session failed, in the operator's language: the line dravik-cli prints
 * on stderr (DRAVIK_NO_METER: its lines), or for DRAVIK_NOT_CONFIRMED the channel's outcome line;
 * "" when it did not fail. The text calls never change it. */
int32_t DRAVIK_CALL dravik_error(dravik_session session, char* buffer, int32_t size);

/* The port the session has open (the one found, when dravik_open was given none); "" while none
 * is. */
int32_t DRAVIK_CALL dravik_port(dravik_session session, char* buffer, int32_t size);

/* The lines of the session's last dravik_ports or dravik_find, each ending in a line feed. */
int32_t DRAVIK_CALL dravik_list(dravik_session session, char* buffer, int32_t size);

/* Ends the session's current wait and stops its run (see Threads). Never blocks. */
int32_t DRAVIK_CALL dravik_cancel(dravik_session session);

/* Cancels a call in progress on the session, waits for it, closes the port and frees the session;
 * its number is not valid from then on. */
int32_t DRAVIK_CALL dravik_close(dravik_session session);

#ifdef __cplusplus
}
#endif

#endif /* DRAVIK_H */
