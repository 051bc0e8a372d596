#include "channels/COMSpeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool SetCOMSpeed(int fd, int baudRate) {
    if (baudRate <= 0)
        return false;
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    // BOTHER in both the output and the input field: the rate is taken from
    // c_ospeed/c_ispeed as given. Drivers obtain the rate through the tty layer, which
    // decodes BOTHER for all of them, classic rates included.
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ospeed = static_cast<speed_t>(baudRate);
    tio.c_ispeed = static_cast<speed_t>(baudRate);
    return ioctl(fd, TCSETS2, &tio) == 0;
}

int GetCOMSpeed(int fd) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return -1;
    return static_cast<int>(tio.c_ospeed);
}
