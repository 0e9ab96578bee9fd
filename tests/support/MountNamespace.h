#pragma once
// Puts the calling test process into a private mount namespace, so it can change what system
// paths hold without the machine or any other process seeing it: a private, empty /dev/shm, and
// a device-tree model file that makes the process believe it runs on a board. Call before any
// thread is started. Each returns false (with the reason on stderr) when it cannot.

#include <string>

bool EnterPrivateMountNamespace();
// A fresh tmpfs on /dev/shm, seen only by this process and its children.
bool UsePrivateDevShm();
// A tmpfs over /sys/firmware holding devicetree/base/model, with model as its text.
bool PretendToBeABoard(const std::string& model);
// A tmpfs over /sys/class holding drm/card<card>-<connector>/modes, as the kernel lists a
// connector of a DRM card.
bool PretendToHaveDrmConnector(int card, const std::string& connector);
