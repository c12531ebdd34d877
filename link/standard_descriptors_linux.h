#pragma once

// A program started with stdin, stdout or stderr closed would hand that number to the first
// file it opens: a serial port opened as descriptor 1 takes every status line down the meter's
// line. Call this first thing in main, before anything is opened (Linux only: a Windows handle
// never takes a standard handle's place).

// Opens each of descriptors 0, 1 and 2 that is closed on /dev/null (or, should /dev/null be
// missing, on the root directory as a path only, on which every read and write fails).
void KeepStandardDescriptorsOpen();
