#pragma once
// The pin layer of the board. Stand-in for now: a provider is kept and initialised, but no pin is
// described or driven yet.
//
// The provider is owned by whoever passes it to InitGPIO (main creates and deletes it); the pointer
// GetProvider returns is only valid until then. Set on the main thread at start-up.

#include <string>

class PinCapabilitiesProvider {
public:
    virtual ~PinCapabilitiesProvider();
    virtual void Init() {}
};

// The provider for Raspberry Pi class boards (the header's GPIO lines).
class PiGPIOPinProvider : public PinCapabilitiesProvider {
public:
    void Init() override;
};

class PinCapabilities {
public:
    // Keeps the provider (not owned) and initialises it for the named process.
    static void InitGPIO(const std::string& process, PinCapabilitiesProvider* provider);
    static PinCapabilitiesProvider* GetProvider();
};
