#pragma once
// The local command socket: a Unix datagram socket at media directory + "/tmp/kivd.sock". Each
// datagram is "NAME,arg,arg..." and runs NAME through the command manager; a sender with a bound
// address gets the result text back as a datagram. Main thread only (module state in the .cpp).

// Creates the socket (replacing a stale one); its descriptor, or -1 on failure (logged).
int Command_Initialize();
// Runs every pending datagram.
void CommandProc();
// Closes and removes the socket.
void CloseCommand();
