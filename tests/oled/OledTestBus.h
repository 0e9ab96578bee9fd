#pragma once
// The I2C traffic of one test: every write recorded as it reaches the bus (the emulated panel
// still receives it), with an optional write number that fails as a bus error would, and the
// panel's memory file private to the test.

#include "platform/I2CBus.h"
#include "support/OledPanelFile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

class OledTestBus : public ::testing::Test {
protected:
    void SetUp() override {
        i2c_set_write_recorder([this](int, const uint8_t* bytes, size_t count) {
            int number = writes.size() + failures;
            if (number == failAtWrite) {
                failures++;
                return false;
            }
            writes.emplace_back(bytes, bytes + count);
            return true;
        });
    }
    void TearDown() override { i2c_set_write_recorder(nullptr); }

    // The command bytes of the recorded two-byte command writes (control byte 0x00), in order.
    std::vector<uint8_t> commands(size_t from = 0) const {
        std::vector<uint8_t> result;
        for (size_t i = from; i < writes.size(); i++) {
            if (writes[i].size() == 2 && writes[i][0] == 0x00) {
                result.push_back(writes[i][1]);
            }
        }
        return result;
    }

    OledPanelFile panel{"test"};
    std::vector<std::vector<uint8_t>> writes;
    int failAtWrite = -1; // the write (counted from 0) that fails
    int failures = 0;
};
