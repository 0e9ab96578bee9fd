#pragma once
// Puts the calling test process into a private network namespace with loopback up, so its
// daemons and sockets use ports 32322, 5568, 6454 and 4048 without meeting anyone else's.
// Call before any thread is started. Returns false (with the reason on stderr) when it cannot.

#include <string>

bool EnterPrivateNetworkNamespace();
// Runs a shell command (for "ip link add ..." and similar); true when it exited 0.
bool RunCommand(const std::string& command);
// Puts the calling test process into a private mount namespace with an empty tmpfs on /tmp, for
// daemons that write fixed paths there; a build tree under /tmp is bound back into it. Call before
// creating any TestMediaDir (they live in /tmp).
bool EnterPrivateTmp();
// Puts the calling test process into a private mount namespace with a fresh sysfs on /sys, so
// /sys/class/net shows the interfaces of its network namespace. Call after entering that namespace.
bool MountPrivateSysfs();
// Waits until the interface's operstate (as this process's sysfs shows it) is "up": the kernel
// raises a veth end's carrier a moment after its peer comes up, and drops frames sent before.
bool WaitForLinkUp(const std::string& name, int timeoutMS = 5000);
