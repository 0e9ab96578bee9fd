#pragma once
// The VideoCore firmware mailbox of a Raspberry Pi ("/dev/vcio"): property requests sent with one
// ioctl on the open device. Only a Pi has the device; callers skip their checks when it is absent,
// so there is no simulated backend. The request layout and the reply parsing are plain functions
// on buffers so they can be checked without the device.

#include <array>
#include <cstdint>
#include <string>

namespace FirmwareMailbox {

constexpr const char* DEVICE_PATH = "/dev/vcio";
constexpr unsigned long PROPERTY_IOCTL = 0xC0046400;
constexpr uint32_t GENERAL_COMMAND_TAG = 0x00030080;
constexpr size_t REQUEST_BYTES = 1052;
constexpr size_t VALUE_BUFFER_BYTES = 1024;
constexpr size_t TEXT_OFFSET = 24; // the command going out, the reply coming back

using Request = std::array<uint32_t, REQUEST_BYTES / 4>;

// A general-command property request carrying the text (cut to fit, always zero-terminated).
Request BuildGeneralCommand(const std::string& command);
// The reply text a firmware answer leaves at TEXT_OFFSET, up to its terminating zero.
std::string ReplyText(const Request& request);
// Sends the command on the open device; false when the ioctl fails (reply left empty).
bool SendGeneralCommand(int fd, const std::string& command, std::string& reply);

// Reads a "get_throttled" reply: true with the flags when it is "throttled=0x" and hex digits.
bool ParseThrottled(const std::string& reply, unsigned long& flags);

} // namespace FirmwareMailbox
