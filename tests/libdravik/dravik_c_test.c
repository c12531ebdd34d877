/* dravik.h as a station's C program uses it, compiled as C99, against the simulated meter: on
 * Linux on its pty (run-c-test.sh), under Wine on the COM port the harness maps.
 *
 *   dravik_c_test CASE PORT SIM_LOG SCRATCH_DIR
 *
 * PORT is the meter's port, SIM_LOG the file meter-sim logs its frames to, SCRATCH_DIR a
 * directory for the log. The driver starts meter-sim for each case with the options c-test.sh
 * lists: four (an answering meter, also found by discovery), cancel (one that answers no set
 * frame), lost (one unplugged at the first set frame), bad (an answering one, sent nothing but
 * one valid channel).
 * Prints each failed check; exits 1 after any. */
#if !defined(_WIN32)
#define _DEFAULT_SOURCE
#endif

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

static const char* const kLevels[4][2] = {
    {"1310CW", "0.35"}, {"1310burst", "-1.5"}, {"2", "0.5"}, {"3", "2.25"}};

/* The four channels on an open handle: each confirmed, its record on this port with TAGS. */
static void set_four(dravik_meter* meter, const char* port, const char* tags_json) {
    char part[512];
    int k;
    for (k = 0; k < 4; ++k) {
        const char* json = NULL;
        CHECK_STATUS(dravik_set(meter, kLevels[k][0], kLevels[k][1], &json), DRAVIK_CONFIRMED);
        if (!CHECK(json != NULL)) continue;
        snprintf(part, sizeof part, "\"port\":\"%s\",\"channel\":%d,", port, k);
        CHECK_HAS(json, part);
        CHECK_HAS(json, "\"answered\":true,\"sent\":true,\"late\":false,\"reply\":\"06\"");
        snprintf(part, sizeof part, "\"tags\":%s}", tags_json);
        CHECK_HAS(json, part);
        CHECK(strcmp(dravik_last_error(meter), "") == 0);
    }
}

/* Four channels found by discovery with a log, then four on the port named. */
static void case_four(const char* port, const char* sim_log, const char* dir) {
    char log[1024], line[1024], part[512];
    const char* json = NULL;
    const char* found = NULL;
    dravik_meter* meter = NULL;
    FILE* f;
    int row = 0;

    CHECK(strcmp(dravik_version(), DRAVIK_PROJECT_VERSION) == 0);
    CHECK_STATUS(dravik_ports(&json), DRAVIK_CONFIRMED);
    snprintf(part, sizeof part, "{\"port\":\"%s\",\"description\":", port);
    CHECK_HAS(json, part);
    CHECK_STATUS(dravik_find(0, &json), DRAVIK_CONFIRMED);
    snprintf(part, sizeof part, "{\"port\":\"%s\",\"found\":true,\"reason\":\"\"}\n", port);
    CHECK_HAS(json, part);

    snprintf(log, sizeof log, "%s/station.csv", dir);
    CHECK_STATUS(dravik_open(NULL, &meter), DRAVIK_CONFIRMED);
    CHECK_STATUS(dravik_port(meter, &found), DRAVIK_CONFIRMED);
    CHECK(found != NULL && strcmp(found, port) == 0);
    CHECK_STATUS(dravik_open_log(meter, log, "meter=SN4711;op=li"), DRAVIK_CONFIRMED);
    set_four(meter, port, "{\"meter\":\"SN4711\",\"op\":\"li\"}");
    CHECK_STATUS(dravik_close(meter), DRAVIK_CONFIRMED);

    CHECK_STATUS(dravik_open(port, &meter), DRAVIK_CONFIRMED);
    set_four(meter, port, "{}");
    CHECK_STATUS(dravik_close(meter), DRAVIK_CONFIRMED);
    CHECK(count_lines(sim_log, "FRAME set ") == 8);

    /* The header, then a row before each frame and one with its outcome. */
    f = fopen(log, "r");
    if (!CHECK(f != NULL)) return;
    while (fgets(line, sizeof line, f) != NULL) {
        if (row == 0) {
            CHECK(strcmp(line,
                         "time,port,channel,label,text,db,factor,frame,answered,event,sent,"
                         "late,reply,tags\n") == 0);
        } else {
            snprintf(part, sizeof part, ",%s,%d,", port, (row - 1) / 2);
            CHECK_HAS(line, part);
            CHECK_HAS(line, row % 2 == 1 ? ",false,sending,pending,false,,meter=SN4711;op=li\n"
                                         : ",true,done,true,false,06,meter=SN4711;op=li\n");
        }
        ++row;
    }
    fclose(f);
    CHECK(row == 9);
}

struct canceller {
    dravik_meter* meter;
    const char* sim_log;
    double at;
};

/* Cancels once the meter has the frame, that is while the set waits for its answer. */
static void* cancel_when_sent(void* arg) {
    struct canceller* c = arg;
    const double limit = now_ms() + 10000;
    while (count_lines(c->sim_log, "FRAME set ") < 1 && now_ms() < limit) {
        const struct timespec step = {0, 5000000};
        nanosleep(&step, NULL);
    }
    c->at = now_ms();
    CHECK_STATUS(dravik_cancel(c->meter), DRAVIK_CONFIRMED);
    /* This thread's own error line, which the main thread does not see. */
    CHECK_STATUS(dravik_cancel(NULL), DRAVIK_BAD_HANDLE);
    CHECK(*dravik_last_error(NULL) != 0);
    return NULL;
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
 * the channel recorded as sent and not answered; the next is not sent; the line is as found. */
static void case_cancel(const char* port, const char* sim_log) {
    struct canceller c;
    pthread_t thread;
    const char* json = NULL;
    double returned;
#if !defined(_WIN32)
    const int tty = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct line_state before, after;
    CHECK(tty >= 0);
    before = line_of(tty);
#endif
    c.meter = NULL;
    c.sim_log = sim_log;
    c.at = 0;
    CHECK_STATUS(dravik_open(port, &c.meter), DRAVIK_CONFIRMED);
    if (!CHECK(pthread_create(&thread, NULL, cancel_when_sent, &c) == 0)) return;
    CHECK_STATUS(dravik_set(c.meter, "1490CW", "0.5", &json), DRAVIK_CANCELLED);
    returned = now_ms();
    pthread_join(thread, NULL);
    printf("cancel to return: %.1f ms\n", returned - c.at);
    CHECK(returned - c.at < 200);
    CHECK(strcmp(dravik_last_error(NULL), "") == 0);
    CHECK_HAS(json, "\"answered\":false,\"sent\":true,");
    CHECK(strcmp(dravik_last_error(c.meter), "") != 0);

    CHECK_STATUS(dravik_set(c.meter, "1550CW", "1", &json), DRAVIK_CANCELLED);
    CHECK_HAS(json, "\"answered\":false,\"sent\":false,");
    CHECK_STATUS(dravik_close(c.meter), DRAVIK_CONFIRMED);
    CHECK(count_lines(sim_log, "FRAME set ") == 1);
#if !defined(_WIN32)
    after = line_of(tty);
    CHECK(memcmp(&before.tio, &after.tio, sizeof before.tio) == 0);
    CHECK(before.exclusive == after.exclusive);
    close(tty);
#endif
}

/* The meter vanishes while the first channel waits: 4, and every later channel 4 at once,
 * not sent. */
static void case_lost(const char* port, const char* sim_log) {
    dravik_meter* meter = NULL;
    const char* json = NULL;
    double started;
    CHECK_STATUS(dravik_open(port, &meter), DRAVIK_CONFIRMED);
    CHECK_STATUS(dravik_set(meter, "0", "1", &json), DRAVIK_PORT_UNAVAILABLE);
    CHECK_HAS(dravik_last_error(meter), port);
    started = now_ms();
    CHECK_STATUS(dravik_set(meter, "1", "1", &json), DRAVIK_PORT_UNAVAILABLE);
    CHECK(now_ms() - started < 1000);
    CHECK_HAS(json, "\"answered\":false,\"sent\":false,");
    CHECK_STATUS(dravik_close(meter), DRAVIK_CONFIRMED);
    CHECK(count_lines(sim_log, "FRAME set ") == 1);
}

/* Careless and hostile input: each gets its status and a line why, nothing is sent, and the
 * handle goes on working. */
static void case_bad(const char* port, const char* sim_log, const char* dir) {
    enum { kHuge = 100 * 1024 };
    char* huge = malloc(kHuge + 1);
    char* digits = malloc(kHuge + 1);
    char missing[1024];
    dravik_meter* meter = NULL;
    dravik_meter* none = NULL;
    const char* json = NULL;
    const char* text = NULL;
    struct {
        const char* channel;
        const char* db;
    } levels[] = {{"1625CW", "1"}, {"4", "1"},   {"", "1"},      {"\xff", "1"},
                  {"0", "\xc3"},   {"0", "abc"}, {"0", "1e999"}, {"0", ""},
                  {NULL, "1"},     {"0", NULL},  {NULL, NULL},   {NULL, NULL}};
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

    /* Without a handle. */
    CHECK_STATUS(dravik_ports(NULL), DRAVIK_INVALID_ARGUMENT);
    CHECK_STATUS(dravik_find(1, NULL), DRAVIK_INVALID_ARGUMENT);
    CHECK_STATUS(dravik_open(port, NULL), DRAVIK_INVALID_ARGUMENT);
    CHECK_STATUS(dravik_open("\xe4\xb8", &none), DRAVIK_INVALID_ARGUMENT);
    CHECK(none == NULL && is_utf8(dravik_last_error(NULL)) && *dravik_last_error(NULL) != 0);
    CHECK_STATUS(dravik_open(huge, &none), DRAVIK_PORT_UNAVAILABLE);
    CHECK(none == NULL && *dravik_last_error(NULL) != 0);
    CHECK_STATUS(dravik_port(NULL, &text), DRAVIK_BAD_HANDLE);
    CHECK_STATUS(dravik_open_log(NULL, NULL, NULL), DRAVIK_BAD_HANDLE);
    CHECK_STATUS(dravik_set(NULL, "0", "1", &json), DRAVIK_BAD_HANDLE);
    CHECK_STATUS(dravik_cancel(NULL), DRAVIK_BAD_HANDLE);
    CHECK_STATUS(dravik_close(NULL), DRAVIK_BAD_HANDLE);
    CHECK(*dravik_last_error(NULL) != 0);

    CHECK_STATUS(dravik_open(port, &meter), DRAVIK_CONFIRMED);
    CHECK(strcmp(dravik_last_error(NULL), "") == 0);
    CHECK_STATUS(dravik_port(meter, NULL), DRAVIK_INVALID_ARGUMENT);
    CHECK_STATUS(dravik_set(meter, "0", "1", NULL), DRAVIK_INVALID_ARGUMENT);
    for (i = 0; i < sizeof levels / sizeof levels[0]; ++i) {
        json = NULL;
        CHECK_STATUS(dravik_set(meter, levels[i].channel, levels[i].db, &json),
                     DRAVIK_INVALID_ARGUMENT);
        CHECK(json != NULL && *json == '\0');
        CHECK(*dravik_last_error(meter) != 0 && is_utf8(dravik_last_error(meter)));
    }
    for (i = 0; tags[i] != NULL; ++i) {
        CHECK_STATUS(dravik_open_log(meter, NULL, tags[i]), DRAVIK_INVALID_ARGUMENT);
        CHECK(*dravik_last_error(meter) != 0 && is_utf8(dravik_last_error(meter)));
    }
    CHECK_STATUS(dravik_open_log(meter, "\xc3(", NULL), DRAVIK_INVALID_ARGUMENT);
    CHECK_STATUS(dravik_open_log(meter, missing, NULL), DRAVIK_LOG_FAILED);
    CHECK_HAS(dravik_last_error(meter), missing);
    /* A long tag is no fault; the handle still works after every refusal. */
    memcpy(huge, "k=", 2);
    CHECK_STATUS(dravik_open_log(meter, NULL, huge), DRAVIK_CONFIRMED);
    CHECK_STATUS(dravik_set(meter, "0", "1", &json), DRAVIK_CONFIRMED);
    CHECK(strlen(json) > kHuge);
    CHECK(strcmp(dravik_last_error(meter), "") == 0);
    CHECK(count_lines(sim_log, "FRAME set ") == 1);

    /* A closed handle is detected (the calls on a handle share the one look-up). */
    CHECK_STATUS(dravik_close(meter), DRAVIK_CONFIRMED);
    CHECK_STATUS(dravik_set(meter, "0", "1", &json), DRAVIK_BAD_HANDLE);
    CHECK_STATUS(dravik_cancel(meter), DRAVIK_BAD_HANDLE);
    CHECK_STATUS(dravik_close(meter), DRAVIK_BAD_HANDLE);
    CHECK(*dravik_last_error(meter) != 0);
    free(huge);
    free(digits);
}

int main(int argc, char** argv) {
    const char* which = argc == 5 ? argv[1] : "";
    if (strcmp(which, "four") == 0) {
        case_four(argv[2], argv[3], argv[4]);
    } else if (strcmp(which, "cancel") == 0) {
        case_cancel(argv[2], argv[3]);
    } else if (strcmp(which, "lost") == 0) {
        case_lost(argv[2], argv[3]);
    } else if (strcmp(which, "bad") == 0) {
        case_bad(argv[2], argv[3], argv[4]);
    } else {
        fprintf(stderr, "usage: %s four|cancel|lost|bad PORT SIM_LOG SCRATCH_DIR\n", argv[0]);
        return 2;
    }
    printf("%s: %s\n", which, failures == 0 ? "passed" : "FAILED");
    return failures == 0 ? 0 : 1;
}
