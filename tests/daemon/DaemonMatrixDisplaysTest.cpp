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
                R"(, "startChannel": )" + std::to_string(1 + (u - 1) * 510) +
                R"(, "channelCount": 510, "type": 0})";
    }
    return R"({"channelInputs": [{"type": "universes", "enabled": 1, "timeout": 60000, "universes": [)" +
           list + "]}]}";
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
    bool StreamUntilShown(const Bytes& data, const std::function<bool()>& shown, int timeoutMS = 8000) {
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
            timeoutMS, 20);
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
                             std::to_string(1 + i * CHANNELS) + R"(, "channelCount": )" +
                             std::to_string(CHANNELS) + R"(, "invert": )" + std::to_string(c.invert) +
                             R"(, "description": "Matrix )" + std::to_string(i) + "\", ";
        if (c.fromDevice) {
            names.push_back("FB - " + devices[i]);
            outputs += common + R"("device": "/dev/)" + devices[i] + R"(", "width": 6, "height": 4})";
        } else {
            names.push_back("Matrix" + devices[i]);
            outputs += common + R"("modelName": ")" + names[i] + "\"}";
            models += std::string(models.empty() ? "" : ", ") + R"({"Name": ")" + names[i] +
                      R"(", "Type": "FB", "Width": )" + std::to_string(W * c.pixelSize) + R"(, "Height": )" +
                      std::to_string(H * c.pixelSize) + R"(, "PixelSize": )" + std::to_string(c.pixelSize) +
                      R"(, "Device": ")" + devices[i] + R"(", "BitsPerPixel": )" + std::to_string(c.bits) +
                      "}";
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
            if (shown.bits != c.bits ||
                shown.rgb != fbtest::ExpectedScreen(pictures[i], W, H, c.pixelSize, c.bits)) {
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

// One light of a test layout, in model pixels, and the disc pictures the test expects of them.
struct TestLight {
    int x, y;
    int start; // 0-based channel
    int channels;
    int type;
    uint8_t fixed[3];
};

void ExpectedColour(const TestLight& l, const uint8_t* s, uint8_t* rgb) {
    const uint8_t table[12][3] = {
        {s[0], s[1], s[2]}, {s[0], s[2], s[1]}, {s[1], s[0], s[2]}, {s[2], s[0], s[1]},
        {s[1], s[2], s[0]}, {s[2], s[1], s[0]}, {0, 0, 0},          {s[0], 0, 0},
        {s[0], s[0], s[0]}, {0, 0, s[0]},       {0, s[0], 0},       {l.fixed[0], l.fixed[1], l.fixed[2]}};
    bool white = l.channels == 4 && s[3];
    for (int k = 0; k < 3; k++) {
        rgb[k] = white ? s[3] : table[l.type][k];
    }
}

// Discs of radius r: every (dx, dy) in [-r, r - 1] with dx^2 + dy^2 <= r^2, clipped to the picture.
Bytes DrawDiscs(const std::vector<TestLight>& lights, const Bytes& data, int width, int height, int r) {
    Bytes picture(size_t(width) * height * 3);
    for (const TestLight& l : lights) {
        uint8_t rgb[3];
        ExpectedColour(l, &data[l.start], rgb);
        for (int dy = -r; dy < r; dy++) {
            for (int dx = -r; dx < r; dx++) {
                int x = l.x + dx, y = l.y + dy;
                if (dx * dx + dy * dy <= r * r && x >= 0 && y >= 0 && x < width && y < height) {
                    std::copy_n(rgb, 3, &picture[(size_t(y) * width + x) * 3]);
                }
            }
        }
    }
    return picture;
}

std::string LayoutLine(const TestLight& l, int scale, bool crlf) {
    std::string line = std::to_string(l.x * scale) + "," + std::to_string(l.y * scale) + "," +
                       std::to_string(l.start + 1) + "," + std::to_string(l.channels) + "," +
                       std::to_string(l.type);
    if (l.type == 11) {
        line += "," + std::to_string(l.fixed[0]) + "," + std::to_string(l.fixed[1]) + "," +
                std::to_string(l.fixed[2]);
    }
    return line + (crlf ? "\r\n" : "\n");
}

std::string VirtualDisplayOutput(const std::string& device, int width, int height, int pixelSize, int count) {
    return R"({"type": "VirtualDisplay", "enabled": 1, "startChannel": 1, "channelCount": )" +
           std::to_string(count) + R"(, "device": ")" + device + R"(", "width": )" + std::to_string(width) +
           R"(, "height": )" + std::to_string(height) + R"(, "PixelSize": )" + std::to_string(pixelSize) +
           "}";
}

// 320 lights on a 100 x 80 model (400 x 320 screen, pixel size 4), every colour type, 3 and 4
// channels with and without white, lights on the left and top edges cut off.
TEST_F(DaemonMatrixDisplays, VirtualDisplayDrawsEveryLightAsADisc) {
    const int types[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11};
    std::vector<TestLight> lights;
    int channel = 0;
    for (int n = 0; n < 320; n++) {
        int type = types[n % std::size(types)];
        int channels = type <= 5 ? 3 + n % 2 : 1;
        lights.push_back({(n % 20) * 5,
                          (n / 20) * 5,
                          channel,
                          channels,
                          type,
                          {uint8_t(n * 7), uint8_t(n * 13), uint8_t(n * 29)}});
        channel += channels;
    }
    std::string layout = "# test layout\n\nsize,1000,800\n";
    for (size_t n = 0; n < lights.size(); n++) {
        layout += LayoutLine(lights[n], 10, n % 2);
    }
    media.write("config/virtualdisplay.csv", layout);
    devices.push_back(Device("vdisp"));
    Start(VirtualDisplayOutput(devices[0], 400, 320, 4, channel), "", 2);

    Bytes data(channel);
    for (int i = 0; i < channel; i++) {
        data[i] = uint8_t(i * 53 + 7);
    }
    for (const TestLight& l : lights) {
        if (l.channels == 4 && l.start % 3 == 0) {
            data[l.start + 3] = 0; // no white: the colour bytes show
        }
    }
    Bytes picture = DrawDiscs(lights, data, 100, 80, 2);
    Bytes screen = fbtest::ExpectedScreen(picture, 100, 80, 4, 32);
    ASSERT_TRUE(StreamUntilShown(data, [&] { return fbtest::ReadShownPicture(devices[0]).rgb == screen; }))
        << daemon.output();
    EXPECT_EQ(PngPicture("FB - " + devices[0]), picture);
}

// Bad lines are skipped with warnings naming them, bad model keys are refused naming the key, and
// the lights that remain are drawn; a layout that disappears fails the output, not the daemon.
TEST_F(DaemonMatrixDisplays, BadLayoutsAndModelsAreWarnedAndSkipped) {
    media.write("config/virtualdisplay.csv", "size,1000,800\n"
                                             "0,0,1,3,0\n"
                                             "10,10,1,3\n"
                                             "abc,10,1,3,0\n"
                                             "-10,10,1,3,0\n"
                                             "99999999999,10,1,3,0\n"
                                             "20,20,8388608,3,0\n"
                                             "30,30,1,3,6\n"
                                             "40,40,1,3,12\n"
                                             "50,50,4,3,11,1,2\n"
                                             "50,50,4,3,5\r\n");
    devices = {Device("vdbad"), Device("fbbad")};
    std::string matrix = R"({"type": "FBMatrix", "enabled": 1, "startChannel": 1, "channelCount": 48, )";
    Start(VirtualDisplayOutput(devices[0], 40, 32, 0, 6) + ", " + matrix + R"("modelName": "Huge"}, )" +
              matrix + R"("device": "/dev/../evil", "width": 4, "height": 4}, )" + matrix +
              R"("device": "a/b", "width": 4, "height": 4}, )" + matrix + R"("modelName": "Negative"})",
          R"({"Name": "Huge", "Type": "FB", "Width": 8, "Height": 8, "PixelSize": 9, "Device": "fbhuge"},
             {"Name": "Negative", "Type": "FB", "Width": 64, "Height": 32, "PixelSize": -3, "Device": ")" +
              devices[1] + "\"}",
          1);
    std::string log = daemon.output();
    for (const char* text : {"line 3: expected", "line 4: field 1 'abc'", "line 5: position -10,10",
                             "line 6: position 99999999999,10", "line 8: colour type 6",
                             "line 9: colour type 12", "line 10: expected 8 fields", "1 lights skipped",
                             "\"PixelSize\" 9 is larger", "\"Device\" '../evil'", "\"Device\" 'a/b'",
                             "\"PixelSize\" -3 is below 1", "\"PixelSize\" 0 is below 1"}) {
        EXPECT_NE(log.find(text), std::string::npos) << text << "\n" << log;
    }
    EXPECT_NE(Warnings().find("lines skipped, the first at line 3"), std::string::npos) << Warnings();
    EXPECT_FALSE(FileExists("/dev/shm/kiv-fb-fbhuge"));

    // The two good lights (the last with a CRLF end) on a 40 x 32 model, radius 1.
    Bytes data = {10, 20, 30, 40, 50, 60};
    std::vector<TestLight> good = {{0, 0, 0, 3, 0, {}}, {2, 2, 3, 3, 5, {}}};
    Bytes screen = fbtest::ExpectedScreen(DrawDiscs(good, data, 40, 32, 1), 40, 32, 1, 32);
    EXPECT_TRUE(StreamUntilShown(data, [&] { return fbtest::ReadShownPicture(devices[0]).rgb == screen; }));

    // The model a matrix holds is replaced by a smaller one on the same device: the old one no
    // longer paints into the shrunken file.
    media.write("config/overlay-models.json", R"({"models": [{"Name": "Negative", "Type": "FB", "Width": 2,
        "Height": 2, "Device": ")" + devices[1] + "\"}]}");
    EXPECT_TRUE(WaitFor([&] { return fbtest::ReadShownPicture(devices[1]).width == 2; }));
    StreamUntilShown(
        data, [] { return false; }, 300);
    EXPECT_TRUE(daemon.running());

    unlink(media.file("config/virtualdisplay.csv").c_str());
    size_t before = daemon.output().size();
    media.write("config/co-other.json",
                R"({"channelOutputs": [)" + VirtualDisplayOutput(devices[0], 40, 32, 0, 6) + "]}");
    EXPECT_TRUE(daemon.waitForOutputAfter(before, "cannot read the layout")) << daemon.output();
    EXPECT_EQ(HttpGet(API + "/models").status, 200);
    EXPECT_TRUE(daemon.running());
}

} // namespace
