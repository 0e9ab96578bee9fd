#pragma once
// A bridge running in the test process as in the daemon: a channel buffer, the bridge loaded
// through its files and the file monitor, and an event loop the test turns, all inside a private
// network namespace so the bridge's ports are the test's own.

#include "BridgeState.h"
#include "common/EPollManager.h"
#include "common/FileMonitor.h"
#include "common/Settings.h"
#include "common/WarningHolder.h"
#include "e131bridge.h"
#include "e131bridge/WirePackets.h"
#include "player/Sequence.h"
#include "support/NetNamespace.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

class BridgeFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(EnterPrivateNetworkNamespace());
        static bool monitorRegistered = false;
        if (!monitorRegistered) {
            std::map<int, std::function<bool(int)>> callbacks;
            FileMonitor::INSTANCE.Initialize(callbacks);
            for (auto& [fd, callback] : callbacks) {
                EPollManager::INSTANCE.addFileDescriptor(fd, callback);
            }
            monitorRegistered = true;
        }
    }
    void SetUp() override {
        sequence = new Sequence();
        ResetSettingsForTesting();
        WarningHolder::RemoveAllWarnings();
        BridgeState::state.Reset();
    }
    void TearDown() override {
        if (started) {
            Bridge_Shutdown();
        }
        BridgeState::state.Reset();
        delete sequence;
        sequence = nullptr;
    }

    // Writes ci-universes.json (when given) and starts the bridge.
    void Start(const std::string& universes) {
        if (!universes.empty()) {
            media.write("config/ci-universes.json", universes);
        }
        std::map<int, std::function<bool(int)>> unused;
        Bridge_Initialize(unused);
        started = true;
    }

    // Turns the event loop until done() holds; false on time-out. forced tells whether any turn
    // was asked to output the frame now.
    static bool PumpUntil(const std::function<bool()>& done, bool* forced = nullptr, int timeoutMS = 2000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMS);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            int result = EPollManager::INSTANCE.waitForEvents(10);
            if (forced && result == EPollManager::FORCE_OUTPUT) {
                *forced = true;
            }
        }
        return true;
    }
    // Turns the loop until nothing is ready any more.
    static void Drain() {
        while (EPollManager::INSTANCE.waitForEvents(20) != EPollManager::TIMEOUT) {
        }
    }

    static uint8_t Channel(int zeroBased) { return sequence->Data()[zeroBased]; }
    static wire::Bytes Channels(int first0, int count) {
        return wire::Bytes(sequence->Data() + first0, sequence->Data() + first0 + count);
    }
    static const UniverseEntry* Entry(int universe) {
        for (const auto& e : BridgeState::state.inputUniverses) {
            if (e.universe == universe && e.type != UniverseType::DMXSerial) {
                return &e;
            }
        }
        return nullptr;
    }
    // True when a UDP socket of this namespace is bound to the port.
    static bool PortInUse(int port) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        bool used = bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 && errno == EADDRINUSE;
        close(fd);
        return used;
    }
    static bool HasWarning(const std::string& text) {
        for (const auto& w : WarningHolder::GetWarnings()) {
            if (w.message == text) {
                return true;
            }
        }
        return false;
    }

    TestMediaDir media;
    bool started = false;
};
