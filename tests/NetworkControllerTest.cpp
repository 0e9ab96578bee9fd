// Detection straight on page text the API never passes on (it stops reading at a megabyte): huge
// and hostile pages end in a record or null without crashing and without a long stall.

#include "NetworkController.h"

#include "support/NetNamespace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace {

struct HugePage {
    const char* name;
    std::string page;
    int typeId; // 0: no record
};

const size_t TEN_MB = 10 * 1024 * 1024;
// Long enough that a matcher recursing once per digit would run out of stack many times over.
const size_t TWO_MB = 2 * 1024 * 1024;

class NetworkControllerHugePages : public ::testing::TestWithParam<HugePage> {
protected:
    // Detectors that match ask the address for more; in a namespace of its own nothing answers.
    static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
};

TEST_P(NetworkControllerHugePages, EndInARecordOrNullQuickly) {
    const HugePage& c = GetParam();
    auto start = std::chrono::steady_clock::now();
    std::unique_ptr<NetworkController> found(NetworkController::DetectControllerViaHTML("127.0.0.9", c.page));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(c.typeId, found ? found->typeId : 0);
    EXPECT_LT(seconds, 60.0); // generous: the sanitizer build is many times slower
}

INSTANTIATE_TEST_SUITE_P(
    Pages, NetworkControllerHugePages,
    ::testing::Values(HugePage{"Filler", std::string(TEN_MB, 'x'), 0},
                      HugePage{"EndlessModelNumber", "AlphaPix " + std::string(TWO_MB, '7'), 254},
                      HugePage{"EndlessSanDevicesModel", "Controller Model E" + std::string(TWO_MB, '1'),
                               255},
                      HugePage{"EndlessFirmware",
                               "DIYLEDExpress E1.31 Bridge Configuration Page Firmware Rev: " +
                                   std::string(TWO_MB, '2') + ".1",
                               252}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
