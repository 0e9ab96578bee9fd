#include "GPIODPinCapabilities.h"

#include "common/Log.h"

#include <gpiod.h>

#include <cerrno>
#include <cstring>

GPIODPinCapabilities::GPIODPinCapabilities(const std::string& pinName, int gpio, gpiod_chip* c)
    : PinCapabilities(pinName, gpio), chip(c) {
    line = chip ? gpiod_chip_get_line(chip, gpio) : nullptr;
}

GPIODPinCapabilities::~GPIODPinCapabilities() {
    std::lock_guard<std::mutex> lk(lock);
    release();
}

void GPIODPinCapabilities::release() const {
    if (line && requested != Request::None) {
        gpiod_line_release(line);
    }
    requested = Request::None;
}

bool GPIODPinCapabilities::request(Request kind) const {
    if (line == nullptr) {
        return false;
    }
    if (requested == kind) {
        return true;
    }
    release();
    int rc = -1;
    if (kind == Request::Output) {
        rc = gpiod_line_request_output(line, consumer.c_str(), lastWritten);
    } else if (kind == Request::Input) {
        rc = gpiod_line_request_input_flags(line, consumer.c_str(), biasFlags);
    } else if (kind == Request::Events) {
        rc = gpiod_line_request_both_edges_events_flags(line, consumer.c_str(), biasFlags);
    }
    if (rc != 0) {
        LogWarn(LG_GPIO, "Cannot request GPIO %d (%s): %s\n", kernelGpio, name.c_str(), strerror(errno));
        return false;
    }
    requested = kind;
    return true;
}

// Hardware functions other than GPIO (DPI, UART, ...) are set up by the board's device tree;
// the line only has to be free for them.
int GPIODPinCapabilities::configPin(const std::string& mode, bool directionOut,
                                    const std::string& description) const {
    std::lock_guard<std::mutex> lk(lock);
    consumer = description.empty() ? "kivd" : description;
    if (mode != "gpio" && mode != "gpio_pu" && mode != "gpio_pd") {
        release();
        LogDebug(LG_GPIO, "GPIO %d (%s) left to its %s function\n", kernelGpio, name.c_str(), mode.c_str());
        return 0;
    }
    biasFlags = mode == "gpio_pu"   ? GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_UP
                : mode == "gpio_pd" ? GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_DOWN
                                    : 0;
    release();
    return request(directionOut ? Request::Output : Request::Input) ? 0 : -1;
}

bool GPIODPinCapabilities::getValue() const {
    std::lock_guard<std::mutex> lk(lock);
    if (requested == Request::None && !request(Request::Input)) {
        return false;
    }
    return gpiod_line_get_value(line) == 1;
}

void GPIODPinCapabilities::setValue(bool value) const {
    std::lock_guard<std::mutex> lk(lock);
    lastWritten = value ? 1 : 0;
    if (requested == Request::Output) {
        gpiod_line_set_value(line, lastWritten);
    } else {
        LogExcess(LG_GPIO, "GPIO %d (%s) is not an output; level %d not driven\n", kernelGpio, name.c_str(),
                  lastWritten);
    }
}

int GPIODPinCapabilities::requestEventFile() const {
    std::lock_guard<std::mutex> lk(lock);
    if (!request(Request::Events)) {
        return -1;
    }
    return gpiod_line_event_get_fd(line);
}

int GPIODPinCapabilities::readEventValue() const {
    std::lock_guard<std::mutex> lk(lock);
    if (requested != Request::Events) {
        return -1;
    }
    gpiod_line_event event{};
    if (gpiod_line_event_read(line, &event) != 0) {
        return -1;
    }
    return event.event_type == GPIOD_LINE_EVENT_RISING_EDGE ? 1 : 0;
}

void GPIODPinCapabilities::releaseEventFile() const {
    std::lock_guard<std::mutex> lk(lock);
    if (requested == Request::Events) {
        request(Request::Input);
    }
}
