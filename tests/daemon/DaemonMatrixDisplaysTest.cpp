// The real kivd in bridge mode with framebuffer matrices and a virtual display: E1.31 data is read
// back from the pages the simulated framebuffers show, in 16 and 32 bits per pixel, upside down or
// not, scaled, and as discs of a light layout; the models' picture route shows the same.

#include "e131bridge/WirePackets.h"
#include "support/DaemonProcess.h"
#include "support/HttpClient.h"
#include "support/NetNamespace.h"
#include "support/ShownFrameBufferPicture.h"
#include "support/TestMediaDir.h"
#include "support/WaitFor.h"

#include <Magick++.h>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/mman.h>
#include <unistd.h>

using fbtest::Bytes;

namespace {

const std::string API = "http://127.0.0.1:32322";

std::string Device(const std::string& base) {
    return base + "-" + std::to_string(getpid());
}

std::string UrlName(std::string name) {
    for (size_t at; (at = name.find(' ')) != std::string::npos;) {
        name.replace(at, 1, "%20");
    }
    return name;
}

// The model's picture as the API's PNG route gives it, as RGB bytes.
Bytes PngPicture(const std::string& model) {
    HttpResult png = HttpGet(API + "/overlays/model/" + UrlName(model) + "/image");
    if (png.contentType != "image/png") {
        return {};
    }
    Magick::InitializeMagick(nullptr);
    Magick::Image image(Magick::Blob(png.body.data(), png.body.size()));
    Bytes pixels(image.columns() * image.rows() * 3);
    image.write(0, 0, image.columns(), image.rows(), "RGB", Magick::CharPixel, pixels.data());
    return pixels;
}

std::string Universes(int count) {
    std::string list;
    for (int u = 1; u <= count; u++) {
        list += (u > 1 ? ", " : "") + std::string(R"({"active": 1, "id": )") + std::to_string(u) +
                R"(, "startChannel": )" + std::to_string(1 + (u - 1) * 510) + R"(, "channelCount": 510, "type": 0})";
    }
    return R"({"channelInputs": [{"type": "universes", "enabled": 1, "timeout": 60000, "universes": [)" + list +
           "]}]}";
}

class DaemonMatrixDisplays : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
    void TearDown() override {
        daemon.signal(SIGTERM);
        EXPECT_EQ(0, daemon.waitForExit(5000));
        for (const std::string& device : devices) {
            unlink(("/dev/shm/kiv-fb-" + device).c_str());
        }
    }
    void Start(const std::string& outputs, const std::string& models, int universes) {
        media.write("settings", "kivMode = \"bridge\"\n");
        media.write("config/co-other.json", R"({"channelOutputs": [)" + outputs + "]}");
        media.write("config/overlay-models.json", R"({"models": [)" + models + "]}");
        media.write("config/ci-universes.json", Universes(universes));
        ASSERT_TRUE(daemon.start({"-f", "--log-level", "debug:ChannelOut"}));
        ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop")) << daemon.output();
        ASSERT_TRUE(WaitForHttp(API + "/models"));
    }
    // Streams the data as a live show would until every device shows what it should.
    bool StreamUntilShown(const Bytes& data, const std::function<bool()>& shown) {
        wire::UdpSender e131("127.0.0.1", 5568);
        int sequence = 0;
        return WaitFor(
            [&] {
                for (size_t first = 0, u = 1; first < data.size(); first += 510, u++) {
                    Bytes part(data.begin() + first, data.begin() + std::min(data.size(), first + 510));
                    e131.send(wire::E131Data(u, sequence & 0xFF, part));
                }
                sequence++;
                return shown();
            },
            8000, 20);
    }
    std::string Warnings() { return media.read("tmp/warnings.json"); }

    TestMediaDir media;
    DaemonProcess daemon{media.path()};
    std::vector<std::string> devices;
};

// A 6 x 4 matrix in each case; channels 72 a matrix, from channel 1 on.
struct MatrixCase {
    int bits;
    int invert;
    int pixelSize;
    bool fromDevice; // made by the output from "device", else named in the models file
};
constexpr MatrixCase MATRICES[] = {{32, 0, 1, true}, {32, 1, 2, false}, {16, 0, 1, false}, {16, 1, 3, false}};
constexpr int W = 6, H = 4, CHANNELS = W * H * 3;

TEST_F(DaemonMatrixDisplays, FrameBufferMatricesShowTheChannelDataOnTheirPages) {
    std::string outputs, models;
    std::vector<std::string> names;
    for (size_t i = 0; i < std::size(MATRICES); i++) {
        const MatrixCase& c = MATRICES[i];
        devices.push_back(Device("fbm" + std::to_string(i)));
        std::string common = R"({"type": "FBMatrix", "enabled": 1, "startChannel": )" +
                             std::to_string(1 + i * CHANNELS) + R"(, "channelCount": )" + std::to_string(CHANNELS) +
                             R"(, "invert": )" + std::to_string(c.invert) + R"(, "description": "Matrix )" +
                             std::to_string(i) + "\", ";
        if (c.fromDevice) {
            names.push_back("FB - " + devices[i]);
            outputs += common + R"("device": "/dev/)" + devices[i] + R"(", "width": 6, "height": 4})";
        } else {
            names.push_back("Matrix" + devices[i]);
            outputs += common + R"("modelName": ")" + names[i] + "\"}";
            models += std::string(models.empty() ? "" : ", ") + R"({"Name": ")" + names[i] +
                      R"(", "Type": "FB", "Width": )" + std::to_string(W * c.pixelSize) + R"(, "Height": )" +
                      std::to_string(H * c.pixelSize) + R"(, "PixelSize": )" + std::to_string(c.pixelSize) +
                      R"(, "Device": ")" + devices[i] + R"(", "BitsPerPixel": )" + std::to_string(c.bits) + "}";
        }
        outputs += i + 1 < std::size(MATRICES) ? ", " : "";
    }
    Start(outputs, models, 1);

    Bytes data(CHANNELS * std::size(MATRICES));
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = uint8_t(i * 37 + 11);
    }
    std::vector<Bytes> pictures; // what each model should hold: channel rows, upside down with invert
    for (size_t i = 0; i < std::size(MATRICES); i++) {
        Bytes picture(CHANNELS);
        for (int row = 0; row < H; row++) {
            int target = MATRICES[i].invert ? H - 1 - row : row;
            std::copy_n(data.begin() + i * CHANNELS + row * W * 3, W * 3, picture.begin() + target * W * 3);
        }
        pictures.push_back(picture);
    }
    auto allShown = [&] {
        for (size_t i = 0; i < std::size(MATRICES); i++) {
            const MatrixCase& c = MATRICES[i];
            fbtest::ShownPicture shown = fbtest::ReadShownPicture(devices[i]);
            if (shown.bits != c.bits || shown.rgb != fbtest::ExpectedScreen(pictures[i], W, H, c.pixelSize, c.bits)) {
                return false;
            }
        }
        return true;
    };
    ASSERT_TRUE(StreamUntilShown(data, allShown)) << daemon.output();
    for (size_t i = 0; i < std::size(MATRICES); i++) {
        fbtest::ShownPicture shown = fbtest::ReadShownPicture(devices[i]);
        EXPECT_EQ(shown.width, W * MATRICES[i].pixelSize) << i;
        EXPECT_GT(shown.shownCount, 0u) << i;
        EXPECT_EQ(PngPicture(names[i]), pictures[i]) << names[i];
    }
    // The output's automatic "Channel" model covers its channels.
    Json::Value automatic;
    LoadJsonFromString(HttpGet(API + "/overlays/model/Matrix%202").body, automatic);
    EXPECT_EQ(automatic["StartChannel"].asInt(), 1 + 2 * CHANNELS) << automatic;
}

} // namespace
