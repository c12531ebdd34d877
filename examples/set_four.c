/* A station's job through libdravik: find the meter, set the four channels with a log and the
 * station's tags, and print each channel's record. The exit status is the first channel's that
 * was not confirmed, as dravik-cli's would be.
 *
 *   cc set_four.c $(pkg-config --cflags --libs dravik) -o set_four && ./set_four station.csv
 */
#include <stdio.h>

#include "dravik.h"

int main(int argc, char** argv) {
    static const char* const levels[4][2] = {
        {"1310CW", "0.35"}, {"1310Burst", "0.41"}, {"1490CW", "0.28"}, {"1550CW", "2.25"}};
    dravik_meter* meter = NULL;
    int status = dravik_open(NULL, &meter);
    if (status == DRAVIK_CONFIRMED) {
        status = dravik_open_log(meter, argc > 1 ? argv[1] : "station.csv", "station=A3;op=li");
    }
    if (status != DRAVIK_CONFIRMED) {
        fprintf(stderr, "%s\n", dravik_last_error(meter));
        dravik_close(meter);
        return status;
    }
    for (int k = 0; k < 4; ++k) {
        const char* record = NULL;
        const int set = dravik_set(meter, levels[k][0], levels[k][1], &record);
        puts(record);
        if (set != DRAVIK_CONFIRMED) fprintf(stderr, "%s\n", dravik_last_error(meter));
        if (status == DRAVIK_CONFIRMED) status = set;
    }
    dravik_close(meter);
    return status;
}
