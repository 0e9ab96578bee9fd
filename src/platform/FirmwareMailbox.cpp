#include "FirmwareMailbox.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace FirmwareMailbox {

// Words: total size, request code 0, tag, value buffer size, request/response size 0, a 0 word,
// then the value buffer holding the text from byte 24, and the 0 end tag in the last word.
Request BuildGeneralCommand(const std::string& command) {
    Request request{};
    request[0] = REQUEST_BYTES;
    request[2] = GENERAL_COMMAND_TAG;
    request[3] = VALUE_BUFFER_BYTES;
    size_t room = REQUEST_BYTES - 4 - TEXT_OFFSET - 1;
    std::memcpy(reinterpret_cast<char*>(request.data()) + TEXT_OFFSET, command.data(),
                std::min(command.size(), room));
    return request;
}

// The firmware terminates its text, but a reply must never be read past the buffer.
std::string ReplyText(const Request& request) {
    const char* text = reinterpret_cast<const char*>(request.data()) + TEXT_OFFSET;
    return std::string(text, strnlen(text, REQUEST_BYTES - 4 - TEXT_OFFSET));
}

bool SendGeneralCommand(int fd, const std::string& command, std::string& reply) {
    reply.clear();
    Request request = BuildGeneralCommand(command);
    if (ioctl(fd, PROPERTY_IOCTL, request.data()) < 0) {
        return false;
    }
    reply = ReplyText(request);
    return true;
}

bool ParseThrottled(const std::string& reply, unsigned long& flags) {
    static const std::string prefix = "throttled=0x";
    if (reply.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    const char* digits = reply.c_str() + prefix.size();
    if (!std::isxdigit(static_cast<unsigned char>(*digits))) {
        return false;
    }
    char* end = nullptr;
    flags = std::strtoul(digits, &end, 16);
    return *end == '\0' || std::isspace(static_cast<unsigned char>(*end));
}

} // namespace FirmwareMailbox
