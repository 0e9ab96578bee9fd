#pragma once
// Serial ports in raw mode, at any rate the UART can make: standard rates through the usual table,
// others (250,000 baud for DMX512) as a custom rate through termios2. The caller owns the
// descriptor and closes it with SerialClose.

// Opens device (a path such as "/dev/ttyAMA0") non-blocking at baud with mode: a parity letter
// (N, E or O) and the data and stop bits in that order, as "N82" or "8N1". output false opens the
// port for reading only. Returns the descriptor, or -1 (with errno set) when it cannot be opened
// or configured.
int SerialOpen(const char* device, int baud, const char* mode, bool output = true);
// Discards what is still queued and closes.
int SerialClose(int fd);
