// Port speed through the kernel's termios2 interface.
//
// glibc's cfsetspeed knows only the classic Bnnn rates, so 14400, 28800, 56000,
// 128000 and 256000 cannot be set with it. termios2 with BOTHER takes any rate. Its
// header <asm/termbits.h> redefines struct termios and cannot share a translation
// unit with <termios.h>, hence this separate interface over a plain descriptor.
#pragma once

// Sets input and output speed to baudRate, leaving every other setting as it is.
// False when the driver refuses the request.
bool SetCOMSpeed(int fd, int baudRate);

// The output speed the driver reports now, -1 when it cannot be read.
int GetCOMSpeed(int fd);
