#include "files/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool open_closed_standard_streams()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free number is fd itself: every one below it is open.
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened < 0) {
            return false;
        }
        if (opened != fd) {
            int moved = dup2(opened, fd);
            close(opened);
            if (moved != fd) {
                return false;
            }
        }
    }
    return true;
}
