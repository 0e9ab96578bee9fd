#pragma once
// The pin that stands for one the board does not have: configuring it does nothing, it reads 0,
// writes are ignored and it has no events. One shared immutable instance.

#include "PinCapabilities.h"

class NoPinCapabilities : public PinCapabilities {
public:
    static const NoPinCapabilities INSTANCE;

    NoPinCapabilities() : PinCapabilities("-none-", -1) {}
    int configPin(const std::string&, bool, const std::string&) const override { return 0; }
    bool getValue() const override { return false; }
    void setValue(bool) const override {}
    int requestEventFile() const override { return -1; }
    int readEventValue() const override { return -1; }
    void releaseEventFile() const override {}
    bool isReal() const override { return false; }

    // The pin itself, or the missing pin for null: lets callers treat an absent pin uniformly.
    static const PinCapabilities& orNone(const PinCapabilities* pin) { return pin ? *pin : INSTANCE; }
};
