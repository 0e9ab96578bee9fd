// Output-monitor port configurations: a JSON list of port objects, each added (its position is
// the port number; "enabled" from the first input byte's bits), then read back as the port status
// the API serves, and removed again.
//
// Run: PortConfigFuzz -max_total_time=300 fuzz/corpus/PortConfigFuzz

#include "FuzzSupport.h"

#include "OutputMonitor.h"
#include "common/Common.h"
#include "platform/PiGPIOPinProvider.h"
#include "platform/PinCapabilities.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzSetUp("PortConfigFuzz");
    static PiGPIOPinProvider pins(PiGPIOPinProvider::Backend::Simulated);
    PinCapabilities::InitGPIO("fuzz", &pins);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    Json::Value ports;
    if (!LoadJsonFromString(std::string(reinterpret_cast<const char*>(data + 1), size - 1), ports)) {
        return 0;
    }
    if (!ports.isArray()) {
        Json::Value list(Json::arrayValue);
        list.append(ports);
        ports = list;
    }
    for (Json::ArrayIndex i = 0; i < ports.size() && i < 64; i++) {
        OutputMonitor::INSTANCE.AddPortConfiguration((int)i, ports[i], (data[0] >> (i % 8)) & 1);
    }
    Json::Value status;
    OutputMonitor::INSTANCE.GetCurrentPortStatusJson(status);
    OutputMonitor::INSTANCE.GetPortCurrentValues();
    for (Json::ArrayIndex i = 0; i < ports.size() && i < 64; i++) {
        OutputMonitor::INSTANCE.RemovePortConfiguration((int)i, ports[i]);
    }
    OutputMonitor::INSTANCE.Cleanup();
    FuzzForgetWarnings();
    return 0;
}
