#include "standard_descriptors_linux.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

void KeepStandardDescriptorsOpen() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // Every lower number is open by now, so the lowest free one, which open() takes, is fd.
        // Neither is close-on-exec: a standard descriptor is inherited as such.
        if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) < 0) {
            open("/", O_PATH | O_DIRECTORY);
        }
    }
}
