/* A station's job through libdravik: find the meter, set the four channels with a log and the
 * station's tags, and print each channel's record. The exit status is the first channel's that
 * was not confirmed, as dravik-cli's would be. Every text comes out into a buffer of ours.
 *
 *   cc set_four.c $(pkg-config --cflags --libs dravik) -o set_four && ./set_four station.csv
 */
#include <stdio.h>
#include <stdlib.h>

#include "dravik.h"

/* The session's error line on stderr. */
static void print_error(dravik_session session) {
    char line[1024];
    if (dravik_error(session, line, sizeof line) >= 0) fprintf(stderr, "%s\n", line);
}

int main(int argc, char** argv) {
    static const char* const levels[4][2] = {
        {"1310CW", "0.35"}, {"1310Burst", "0.41"}, {"1490CW", "0.28"}, {"1550CW", "2.25"}};
    dravik_session session = 0;
    int32_t status = dravik_new(&session);
    if (status == DRAVIK_CONFIRMED)
        status = dravik_open_log(session, argc > 1 ? argv[1] : "station.csv");
    if (status == DRAVIK_CONFIRMED) status = dravik_set_tags(session, "station=A3;op=li");
    if (status == DRAVIK_CONFIRMED) status = dravik_open(session, NULL);
    if (status != DRAVIK_CONFIRMED) {
        print_error(session);
        dravik_close(session);
        return status;
    }
    for (int k = 0; k < 4; ++k) {
        const int32_t set = dravik_set(session, levels[k][0], levels[k][1]);
        /* The record's length first, then the record: tags make it as long as they are. */
        const int32_t length = dravik_record(session, NULL, 0);
        char* record = length >= 0 ? malloc((size_t)length + 1) : NULL;
        if (record != NULL && dravik_record(session, record, length + 1) == length) puts(record);
        free(record);
        if (set != DRAVIK_CONFIRMED) print_error(session);
        if (status == DRAVIK_CONFIRMED) status = set;
    }
    dravik_close(session);
    return status;
}
