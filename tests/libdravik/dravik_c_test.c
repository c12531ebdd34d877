/* dravik.h as a station's C program uses it, compiled as C99, against the simulated meter: on
 * Linux on its pty (run-c-test.sh), under Wine on the COM port the harness maps.
 *
 *   dravik_c_test CASE PORT SIM_LOG SCRATCH_DIR
 *
 * PORT is the meter's port, SIM_LOG the file meter-sim logs its frames to, SCRATCH_DIR a
 * directory for the log. The driver starts meter-sim for each case with the options c-test.sh
 * lists: four (an answering meter, also found by discovery), cancel (one that answers no set
 * frame), lost (one unplugged at the first set frame), bad (an answering one, sent nothing but
 * one valid channel), search (a silent one, probed by a search), flow (one that stops the line
 * with XOFF once it has answered the probe).
 * Prints each failed check; exits 1 after any. */
#if !defined(_WIN32)
#define _DEFAULT_SOURCE
#endif

#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "dravik.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

static int failures = 0;

#define CHECK(condition) check((condition), #condition, __LINE__)
static int check(int ok, const char* what, int line) {
    if (!ok) {
        printf("FAILED line %d: %s\n", line, what);
        ++failures;
    }
    return ok;
}
#define CHECK_STATUS(call, expected) check_status((call), (expected), #call, __LINE__)
static void check_status(int status, int expected, const char* what, int line) {
    if (status != expected) {
        printf("FAILED line %d: %s is %d, not %d\n", line, what, status, expected);
        ++failures;
    }
}
#define CHECK_HAS(text, part) check_has((text), (part), __LINE__)
static void check_has(const char* text, const char* part, int line) {
    if (strstr(text, part) == NULL) {
        printf("FAILED line %d: no %s in: %.300s\n", line, part, text);
        ++failures;
    }
}

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1000.0 + (double)t.tv_nsec / 1e6;
}

/* Lines of FILE starting with PREFIX. */
static int count_lines(const char* file, const char* prefix) {
    char line[4096];
    int count = 0;
    FILE* f = fopen(file, "r");
    if (f == NULL) return -1;
    while (fgets(line, sizeof line, f) != NULL)
        if (strncmp(line, prefix, strlen(prefix)) == 0) ++count;
    fclose(f);
    return count;
}

/* Whether TEXT is UTF-8: what the library hands out always is. */
static int is_utf8(const char* text) {
    const unsigned char* s = (const unsigned char*)text;
    while (*s != 0) {
        int more = *s < 0x80             ? 0
                   : (*s & 0xE0) == 0xC0 ? 1
                   : (*s & 0xF0) == 0xE0 ? 2
                   : (*s & 0xF8) == 0xF0 ? 3
                                         : -1;
        if (more < 0 || (more == 1 && *s < 0xC2)) return 0;
        for (++s; more > 0; --more, ++s)
            if ((*s & 0xC0) != 0x80) return 0;
    }
    return 1;
}

/* The session's texts, each read as a host that knows only caller buffers reads them: its length
 * first, then into a buffer of that length + 1. Kept in a ring, so that a few may be used in one
 * check; main's thread only. */
enum which { RECORD, ERROR, PORT, LIST };
static const char* text_of(dravik_session session, enum which which, const char* key) {
    static char* ring[8];
    static int next = 0;
    int32_t length, again;
    char** slot = &ring[next++ % 8];
#define READ(buffer, size)                                               \
    (key != NULL       ? dravik_record_value(session, key, buffer, size) \
     : which == RECORD ? dravik_record(session, buffer, size)            \
     : which == ERROR  ? dravik_error(session, buffer, size)             \
     : which == PORT   ? dravik_port(session, buffer, size)              \
                       : dravik_list(session, buffer, size))
    length = READ(NULL, 0);
    if (!CHECK(length >= 0)) return "";
    free(*slot);
    *slot = malloc((size_t)length + 1);
    if (!CHECK(*slot != NULL)) return "";
    again = READ(*slot, length + 1);
#undef READ
    CHECK(again == length && strlen(*slot) == (size_t)length && is_utf8(*slot));
    return *slot;
}
#define RECORD_OF(s) text_of((s), RECORD, NULL)
#define ERROR_OF(s) text_of((s), ERROR, NULL)
#define VALUE_OF(s, key) text_of((s), RECORD, (key))

static dravik_session new_session(void) {
    dravik_session session = 0;
    CHECK_STATUS(dravik_new(&session), DRAVIK_CONFIRMED);
    CHECK(session != 0);
    return session;
}

static const char* const kLevels[4][2] = {
    {"1310CW", "0.35"}, {"1310burst", "-1.5"}, {"2", "0.5"}, {"3", "2.25"}};

/* The four channels on an open session: each confirmed, its record on this port with TAGS. */
static void set_four(dravik_session session, const char* port, const char* tags_json) {
    char part[512];
    int k;
    for (k = 0; k < 4; ++k) {
        const char* json;
        CHECK_STATUS(dravik_set(session, kLevels[k][0], kLevels[k][1]), DRAVIK_CONFIRMED);
        json = RECORD_OF(session);
        snprintf(part, sizeof part, "\"port\":\"%s\",\"channel\":%d,", port, k);
        CHECK_HAS(json, part);
        CHECK_HAS(json, "\"answered\":true,\"sent\":true,\"late\":false,\"reply\":\"06\"");
        snprintf(part, sizeof part, "\"tags\":%s}", tags_json);
        CHECK_HAS(json, part);
        CHECK(strcmp(ERROR_OF(session), "") == 0);
    }
}

/* Four channels found by discovery with a log, tags changed between them without losing the
 * log; then four on the port named, and the numbers' call. */
static void case_four(const char* port, const char* sim_log, const char* dir) {
    char log[1024], line[1024], part[512], small[8];
    const dravik_session session = new_session();
    const char* json;
    FILE* f;
    int row = 0, length;

    CHECK(strcmp(dravik_version(), DRAVIK_PROJECT_VERSION) == 0);
    CHECK_STATUS(dravik_ports(session), DRAVIK_CONFIRMED);
    snprintf(part, sizeof part, "{\"port\":\"%s\",\"description\":", port);
    CHECK_HAS(text_of(session, LIST, NULL), part);
    CHECK_STATUS(dravik_find(session, 0), DRAVIK_CONFIRMED);
    snprintf(part, sizeof part, "{\"port\":\"%s\",\"found\":true,\"reason\":\"\"}\n", port);
    CHECK_HAS(text_of(session, LIST, NULL), part);
    CHECK(strcmp(text_of(session, PORT, NULL), "") == 0);

    snprintf(log, sizeof log, "%s/station.csv", dir);
    CHECK_STATUS(dravik_open_log(session, log), DRAVIK_CONFIRMED);
    CHECK_STATUS(dravik_set_tags(session, "meter=SN4711;op=li"), DRAVIK_CONFIRMED);
    CHECK_STATUS(dravik_open(session, NULL), DRAVIK_CONFIRMED);
    CHECK(strcmp(text_of(session, PORT, NULL), port) == 0);
    set_four(session, port, "{\"meter\":\"SN4711\",\"op\":\"li\"}");
    /* New tags keep the log: the next row carries them. */
    CHECK_STATUS(dravik_set_tags(session, "op=\xe7\x8e\x8b"), DRAVIK_CONFIRMED);
    CHECK_STATUS(dravik_set_db(session, 0, 0.35), DRAVIK_CONFIRMED);
    CHECK(strcmp(VALUE_OF(session, "text"), "0.35") == 0);
    CHECK(strcmp(VALUE_OF(session, "answered"), "true") == 0);
    CHECK(strcmp(VALUE_OF(session, "factor"), "1.0839269") == 0);
    CHECK(strcmp(VALUE_OF(session, "tags"), "{\"op\":\"\xe7\x8e\x8b\"}") == 0);
    /* A buffer too small: the whole length, and no character cut ("...\"op\":\"" + 3 bytes). */
    json = RECORD_OF(session);
    length = (int)strlen(json);
    CHECK(dravik_record(session, small, 1) == length && small[0] == '\0');
    CHECK(dravik_record(session, small, 3) == length && strncmp(small, json, 2) == 0);
    CHECK_STATUS(dravik_record(session, small, -1), -DRAVIK_INVALID_ARGUMENT);
    CHECK_STATUS(dravik_record(session, NULL, 5), -DRAVIK_INVALID_ARGUMENT);
    CHECK_STATUS(dravik_record_value(session, "answered", small, 3), 4);
    CHECK(strcmp(small, "tr") == 0);
    {
        /* The record ends in the tag's 3-byte character and "}}: a buffer of length - 3 takes
         * length - 4 bytes, which would cut it; the whole character stays out instead. */
        char* cut = malloc((size_t)length);
        if (CHECK(cut != NULL)) {
            CHECK(dravik_record(session, cut, length - 3) == length);
            CHECK(strlen(cut) == (size_t)length - 6 && is_utf8(cut));
            free(cut);
        }
    }
    CHECK_STATUS(dravik_close(session), DRAVIK_CONFIRMED);

    {
        const dravik_session named = new_session();
        CHECK_STATUS(dravik_open(named, port), DRAVIK_CONFIRMED);
        set_four(named, port, "{}");
        CHECK_STATUS(dravik_close(named), DRAVIK_CONFIRMED);
    }
    CHECK(count_lines(sim_log, "FRAME set ") == 9);

    /* The header, then a row before each frame and one with its outcome. */
    f = fopen(log, "r");
    if (!CHECK(f != NULL)) return;
    while (fgets(line, sizeof line, f) != NULL) {
        if (row == 0) {
            CHECK(strcmp(line,
                         "time,port,channel,label,text,db,factor,frame,answered,event,sent,"
                         "late,reply,tags\n") == 0);
        } else {
            snprintf(part, sizeof part, ",%s,%d,", port, ((row - 1) / 2) % 4);
            CHECK_HAS(line, part);
            CHECK_HAS(line, row % 2 == 1 ? ",false,sending,pending,false,,"
                                         : ",true,done,true,false,06,");
            CHECK_HAS(line, row <= 8 ? "meter=SN4711;op=li\n" : "op=\xe7\x8e\x8b\n");
        }
        ++row;
    }
    fclose(f);
    CHECK(row == 11);
}

/* What a second thread does while the first is inside a call: cancel, close or call. */
enum act { CANCEL, CLOSE, CALL };
struct actor {
    dravik_session session;
    const char* sim_log;
    const char* wait_for; /* a line of the sim's log, or NULL: at once */
    double delay_ms;      /* then this much longer */
    enum act act;
    double at, done;
    int32_t status;
};

static void* act_later(void* arg) {
    struct actor* a = arg;
    const double limit = now_ms() + 10000;
    const struct timespec step = {0, 5000000};
    while (a->wait_for != NULL && count_lines(a->sim_log, a->wait_for) < 1 && now_ms() < limit)
        nanosleep(&step, NULL);
    a->at = now_ms();
    while (now_ms() < a->at + a->delay_ms)
        nanosleep(&step, NULL);
    a->at = now_ms();
    a->status = a->act == CANCEL  ? dravik_cancel(a->session)
                : a->act == CLOSE ? dravik_close(a->session)
                                  : dravik_set(a->session, "0", "1");
    a->done = now_ms();
    return NULL;
}

/* Runs CALL on this thread while another acts as A says; CALL's status. */
static int32_t while_acting(struct actor* a, int32_t (*call)(dravik_session, const char*),
                            const char* argument) {
    pthread_t thread;
    int32_t status;
    if (!CHECK(pthread_create(&thread, NULL, act_later, a) == 0)) return -1;
    status = call(a->session, argument);
    if (a->act != CALL) {
        printf("%s to return: %.1f ms\n", a->act == CANCEL ? "cancel" : "close", now_ms() - a->at);
        CHECK(now_ms() - a->at < (a->act == CLOSE ? 300 : 200));
    }
    pthread_join(thread, NULL);
    /* A call refused as busy returns at once. */
    if (a->act == CALL) CHECK(a->done - a->at < 200);
    return status;
}

static int32_t set_1490(dravik_session session, const char* level) {
    return dravik_set(session, "1490CW", level);
}

#if !defined(_WIN32)
struct line_state {
    struct termios tio;
    int exclusive;
};
static struct line_state line_of(int fd) {
    struct line_state line;
    memset(&line, 0, sizeof line);
    CHECK(tcgetattr(fd, &line.tio) == 0);
    CHECK(ioctl(fd, TIOCGEXCL, &line.exclusive) == 0);
    return line;
}
#endif

/* A meter that does not answer the frame: a cancel from another thread ends the wait at once,
 * the channel recorded as sent and not answered, the next not sent; a second call meanwhile is
 * busy; a close from another thread ends a set as a cancel does and frees the session; the line
 * is as found. */
static void case_cancel(const char* port, const char* sim_log) {
    struct actor a;
    const dravik_session session = new_session();
#if !defined(_WIN32)
    const int tty = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct line_state before, after;
    CHECK(tty >= 0);
    before = line_of(tty);
#endif
    memset(&a, 0, sizeof a);
    a.session = session;
    a.sim_log = sim_log;
    a.wait_for = "FRAME set ";
    CHECK_STATUS(dravik_open(session, port), DRAVIK_CONFIRMED);
    CHECK_STATUS(while_acting(&a, set_1490, "0.5"), DRAVIK_CANCELLED);
    CHECK_STATUS(a.status, DRAVIK_CONFIRMED);
    CHECK_HAS(RECORD_OF(session), "\"answered\":false,\"sent\":true,");
    CHECK(strcmp(ERROR_OF(session), "") != 0);
    CHECK_STATUS(dravik_set(session, "1550CW", "1"), DRAVIK_CANCELLED);
    CHECK_HAS(RECORD_OF(session), "\"answered\":false,\"sent\":false,");

    /* Opened afresh: a second call while the set waits is busy and sends nothing. */
    CHECK_STATUS(dravik_open(session, port), DRAVIK_CONFIRMED);
    a.act = CALL;
    a.wait_for = NULL;
    a.delay_ms = 300;
    CHECK_STATUS(while_acting(&a, set_1490, "0.5"), DRAVIK_NOT_CONFIRMED);
    CHECK_STATUS(a.status, DRAVIK_BUSY);
    CHECK(count_lines(sim_log, "FRAME set ") == 2);

    CHECK_STATUS(dravik_open(session, port), DRAVIK_CONFIRMED);
    a.act = CLOSE;
    CHECK_STATUS(while_acting(&a, set_1490, "0.5"), DRAVIK_CANCELLED);
    CHECK_STATUS(a.status, DRAVIK_CONFIRMED);
    CHECK_STATUS(dravik_set(session, "0", "1"), DRAVIK_BAD_HANDLE);
    CHECK(count_lines(sim_log, "FRAME set ") == 3);
#if !defined(_WIN32)
    after = line_of(tty);
    CHECK(memcmp(&before.tio, &after.tio, sizeof before.tio) == 0);
    CHECK(before.exclusive == after.exclusive);
    close(tty);
#endif
}

/* A search over a port that answers nothing: a cancel while its probe waits ends it. */
static void case_search(const char* port, const char* sim_log) {
    struct actor a;
    (void)port;
    memset(&a, 0, sizeof a);
    a.session = new_session();
    a.sim_log = sim_log;
    a.wait_for = "FRAME probe ";
    CHECK_STATUS(while_acting(&a, dravik_open, NULL), DRAVIK_CANCELLED);
    CHECK(strcmp(ERROR_OF(a.session), "") != 0);
    CHECK_STATUS(dravik_close(a.session), DRAVIK_CONFIRMED);
}

/* A line that flow control holds: the frame's write waits for it, and a cancel ends the write;
 * nothing of the frame reaches the meter. */
static void case_flow(const char* port, const char* sim_log) {
    struct actor a;
    memset(&a, 0, sizeof a);
    a.session = new_session();
    a.sim_log = sim_log;
    a.wait_for = "XOFF";
    a.delay_ms = 500; /* well inside the write's seconds of waiting */
    CHECK_STATUS(dravik_open(a.session, port), DRAVIK_CONFIRMED);
    CHECK_STATUS(while_acting(&a, set_1490, "0.5"), DRAVIK_CANCELLED);
    CHECK_HAS(RECORD_OF(a.session), "\"answered\":false,\"sent\":false,");
    CHECK_STATUS(dravik_close(a.session), DRAVIK_CONFIRMED);
    CHECK(count_lines(sim_log, "FRAME set ") == 0);
}

/* The meter vanishes while the first channel waits: 4, and every later channel 4 at once,
 * not sent. */
static void case_lost(const char* port, const char* sim_log) {
    const dravik_session session = new_session();
    double started;
    CHECK_STATUS(dravik_open(session, port), DRAVIK_CONFIRMED);
    CHECK_STATUS(dravik_set(session, "0", "1"), DRAVIK_PORT_UNAVAILABLE);
    CHECK_HAS(ERROR_OF(session), port);
    started = now_ms();
    CHECK_STATUS(dravik_set(session, "1", "1"), DRAVIK_PORT_UNAVAILABLE);
    CHECK(now_ms() - started < 1000);
    CHECK_HAS(RECORD_OF(session), "\"answered\":false,\"sent\":false,");
    CHECK_STATUS(dravik_close(session), DRAVIK_CONFIRMED);
    CHECK(count_lines(sim_log, "FRAME set ") == 1);
}

/* Careless and hostile input: each gets its status and a line why, nothing is sent, and the
 * session goes on working. */
static void case_bad(const char* port, const char* sim_log, const char* dir) {
    enum { kHuge = 100 * 1024 };
    char* huge = malloc(kHuge + 1);
    char* digits = malloc(kHuge + 1);
    char missing[1024], one[1];
    const dravik_session session = new_session();
    const dravik_session none = new_session();
    const dravik_session never[] = {0, -1, 2147483647};
    struct {
        const char* channel;
        const char* db;
    } levels[] = {{"1625CW", "1"}, {"4", "1"},   {"", "1"},      {"\xff", "1"},
                  {"0", "\xc3"},   {"0", "abc"}, {"0", "1e999"}, {"0", ""},
                  {NULL, "1"},     {"0", NULL},  {NULL, NULL},   {NULL, NULL}};
    const double numbers[][2] = {{4, 1}, {-1, 1}, {0, HUGE_VAL}, {0, -HUGE_VAL}, {0, 1e300}};
    const char* tags[] = {"a", "=x", "k=v;k=w", "k=a\x01z", "k=\xff", "k=1;", "k y=1", NULL};
    size_t i;
    if (!CHECK(huge != NULL && digits != NULL)) return;
    memset(huge, 'x', kHuge);
    memset(digits, '9', kHuge);
    huge[kHuge] = digits[kHuge] = '\0';
    levels[10].channel = huge;
    levels[10].db = "1";
    levels[11].channel = "0";
    levels[11].db = digits;
    snprintf(missing, sizeof missing, "%s/missing/station.csv", dir);

    /* No session, or none open. */
    CHECK_STATUS(dravik_new(NULL), DRAVIK_INVALID_ARGUMENT);
    for (i = 0; i < sizeof never / sizeof never[0]; ++i) {
        CHECK_STATUS(dravik_open(never[i], port), DRAVIK_BAD_HANDLE);
        CHECK_STATUS(dravik_set(never[i], "0", "1"), DRAVIK_BAD_HANDLE);
        CHECK_STATUS(dravik_cancel(never[i]), DRAVIK_BAD_HANDLE);
        CHECK_STATUS(dravik_close(never[i]), DRAVIK_BAD_HANDLE);
        CHECK_STATUS(dravik_error(never[i], one, 1), -DRAVIK_BAD_HANDLE);
        CHECK_STATUS(dravik_record(never[i], NULL, 0), -DRAVIK_BAD_HANDLE);
    }
    CHECK_STATUS(dravik_set(none, "0", "1"), DRAVIK_PORT_UNAVAILABLE);
    CHECK(*ERROR_OF(none) != 0);
    CHECK_STATUS(dravik_open(none, "\xe4\xb8"), DRAVIK_INVALID_ARGUMENT);
    CHECK(*ERROR_OF(none) != 0);
    CHECK_STATUS(dravik_open(none, ""), DRAVIK_INVALID_ARGUMENT);
    CHECK(*ERROR_OF(none) != 0);
    CHECK_STATUS(dravik_open(none, huge), DRAVIK_PORT_UNAVAILABLE);
    CHECK(*ERROR_OF(none) != 0 && strcmp(text_of(none, PORT, NULL), "") == 0);
    CHECK_STATUS(dravik_close(none), DRAVIK_CONFIRMED);
    {
        static const char keys[] =
            "time,port,channel,label,text,db,factor,frame,answered,sent,late,reply,tags";
        char out[sizeof keys];
        CHECK_STATUS(dravik_record_keys(out, sizeof out), (int32_t)strlen(keys));
        CHECK(strcmp(out, keys) == 0);
    }

    CHECK_STATUS(dravik_open(session, port), DRAVIK_CONFIRMED);
    for (i = 0; i < sizeof levels / sizeof levels[0]; ++i) {
        CHECK_STATUS(dravik_set(session, levels[i].channel, levels[i].db), DRAVIK_INVALID_ARGUMENT);
        CHECK(strcmp(RECORD_OF(session), "") == 0 && *ERROR_OF(session) != 0);
    }
    for (i = 0; i < sizeof numbers / sizeof numbers[0]; ++i) {
        CHECK_STATUS(dravik_set_db(session, (int32_t)numbers[i][0], numbers[i][1]),
                     DRAVIK_INVALID_ARGUMENT);
        CHECK(*ERROR_OF(session) != 0);
    }
    for (i = 0; tags[i] != NULL; ++i) {
        CHECK_STATUS(dravik_set_tags(session, tags[i]), DRAVIK_INVALID_ARGUMENT);
        CHECK(*ERROR_OF(session) != 0);
    }
    CHECK_STATUS(dravik_record_value(session, "event", NULL, 0), -DRAVIK_INVALID_ARGUMENT);
    CHECK_STATUS(dravik_record_value(session, NULL, NULL, 0), -DRAVIK_INVALID_ARGUMENT);
    CHECK_STATUS(dravik_open_log(session, "\xc3("), DRAVIK_INVALID_ARGUMENT);
    CHECK_STATUS(dravik_open_log(session, missing), DRAVIK_LOG_FAILED);
    CHECK_HAS(ERROR_OF(session), missing);
    /* A long tag is no fault; the session still works after every refusal. */
    memcpy(huge, "k=", 2);
    CHECK_STATUS(dravik_set_tags(session, huge), DRAVIK_CONFIRMED);
    CHECK_STATUS(dravik_set(session, "0", "1"), DRAVIK_CONFIRMED);
    CHECK(strlen(RECORD_OF(session)) > kHuge);
    CHECK(strcmp(ERROR_OF(session), "") == 0);
    CHECK(count_lines(sim_log, "FRAME set ") == 1);

    /* A closed session's number reaches nothing, and is not handed out again. */
    CHECK_STATUS(dravik_close(session), DRAVIK_CONFIRMED);
    CHECK_STATUS(dravik_set(session, "0", "1"), DRAVIK_BAD_HANDLE);
    CHECK_STATUS(dravik_cancel(session), DRAVIK_BAD_HANDLE);
    CHECK_STATUS(dravik_close(session), DRAVIK_BAD_HANDLE);
    CHECK_STATUS(dravik_port(session, one, 1), -DRAVIK_BAD_HANDLE);
    CHECK(new_session() > none);
    free(huge);
    free(digits);
}

int main(int argc, char** argv) {
    const char* which = argc == 5 ? argv[1] : "";
    if (strcmp(which, "four") == 0) {
        case_four(argv[2], argv[3], argv[4]);
    } else if (strcmp(which, "cancel") == 0) {
        case_cancel(argv[2], argv[3]);
    } else if (strcmp(which, "search") == 0) {
        case_search(argv[2], argv[3]);
    } else if (strcmp(which, "flow") == 0) {
        case_flow(argv[2], argv[3]);
    } else if (strcmp(which, "lost") == 0) {
        case_lost(argv[2], argv[3]);
    } else if (strcmp(which, "bad") == 0) {
        case_bad(argv[2], argv[3], argv[4]);
    } else {
        fprintf(stderr, "usage: %s four|cancel|search|flow|lost|bad PORT SIM_LOG SCRATCH_DIR\n",
                argv[0]);
        return 2;
    }
    printf("%s: %s\n", which, failures == 0 ? "passed" : "FAILED");
    return failures == 0 ? 0 : 1;
}
