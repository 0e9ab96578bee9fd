// SDLOutput against SDL's disk audio driver: what reached the device is read back from its file and
// compared with the media file's own samples; video frames of a known pattern are read from the
// model they were drawn into.

#include "mediaoutput/SDLOut.h"
#include "channeloutput/ChannelOutputThread.h"
#include "common/Common.h"
#include "common/Settings.h"
#include "common/WarningHolder.h"
#include "overlays/OverlayTestSupport.h"
#include "overlays/PixelOverlayManager.h"
#include "support/MediaFiles.h"
#include "support/TestMediaDir.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

using namespace mediatest;

namespace {

constexpr int WIDTH = 8;
constexpr int HEIGHT = 4;

class SDLOut : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("SDL_AUDIODRIVER", "disk", 1);
        media = new TestMediaDir();
        ASSERT_TRUE(MakeTone(media->file("tone.wav"), 440, 0.6));
        ASSERT_TRUE(MakeVideo(media->file("video.mkv"), 1.5, WIDTH, HEIGHT));
        ASSERT_TRUE(MakeVideoWithTone(media->file("both.mkv"), 1.5, WIDTH, HEIGHT));
        std::vector<uint8_t> both = ReadBytes(media->file("both.mkv"));
        WriteBytes(media->file("truncated.mkv"),
                   std::vector<uint8_t>(both.begin(), both.begin() + both.size() / 2));
        media->write("notmedia.wav", "This is a shopping list, not a sound.\n");
        media->write("empty.wav", "");
    }
    static void TearDownTestSuite() {
        sdlManager.shutdown();
        StopChannelOutputThread();
        PixelOverlayManager::INSTANCE.Cleanup();
        delete media;
    }
    void SetUp() override {
        audioFile = media->file("device-" + std::to_string(++runs) + ".raw");
        setenv("SDL_DISKAUDIOFILE", audioFile.c_str(), 1);
        SetSetting("volume", 100);
    }
    // Starts at startMS and calls Process as the main loop would until the file has played.
    static bool PlayToEnd(SDLOutput& output, int startMS = 0) {
        if (!output.Start(startMS)) {
            return false;
        }
        bool ended = WaitFor([&] { return !output.Process(); }, 5000, 10);
        output.Close();
        return ended;
    }
    std::vector<int16_t> DeviceSamples() const { return Samples16(ReadBytes(audioFile)); }
    // One model for the suite: removing a model waits for the output thread to let go of it.
    static std::shared_ptr<PixelOverlayModel> VideoModel() {
        static std::shared_ptr<PixelOverlayModel> model = PixelOverlayManager::INSTANCE.addModel(
            overlaytest::Definition(R"({"Name": ")" + overlaytest::UniqueName("Video") +
                                    R"(", "Type": "Matrix", "StartChannel": 1, "Width": 8, "Height": 4})"));
        return model;
    }

    static inline TestMediaDir* media = nullptr;
    static inline int runs = 0;
    std::string audioFile;
    MediaOutputStatus status;
};

struct ToneCase {
    int volume;
    int startMS;
};

// The device gets every sample from the start position to the end, once, scaled by the volume.
TEST_F(SDLOut, ToneReachesTheDeviceWholeAtTheVolumeFromTheStartPosition) {
    const std::vector<int16_t> source = WavSamples(media->file("tone.wav"));
    ASSERT_EQ(source.size(), 2u * RATE * 6 / 10);
    for (ToneCase c : {ToneCase{100, 0}, ToneCase{50, 0}, ToneCase{100, 250}}) {
        SCOPED_TRACE("volume " + std::to_string(c.volume) + ", start " + std::to_string(c.startMS));
        SetUp();
        SetSetting("volume", c.volume);
        {
            SDLOutput output(media->file("tone.wav"), &status, "--Disabled--");
            ASSERT_TRUE(PlayToEnd(output, c.startMS));
        }
        const float gain = c.volume / 100.0f;
        std::vector<int16_t> expected(source.begin() + 2L * RATE * c.startMS / 1000, source.end());
        std::vector<int16_t> heard = DeviceSamples();
        // Silence (the paused device) comes first; line both up at their first sound.
        auto firstSound = [](const std::vector<int16_t>& s) {
            return std::find_if(s.begin(), s.end(), [](int16_t v) { return v != 0; }) - s.begin();
        };
        long skipExpected = firstSound(expected) & ~1L;
        long at = firstSound(heard) & ~1L;
        ASSERT_LT(at, static_cast<long>(heard.size()));
        ASSERT_GE(heard.size() - at, expected.size() - skipExpected) << "audio was dropped";
        int wrong = 0;
        for (size_t i = skipExpected; i < expected.size(); i++) {
            wrong += std::abs(heard[at + i - skipExpected] - expected[i] * gain) > 1;
        }
        EXPECT_EQ(wrong, 0) << "samples dropped, repeated or not scaled";
        std::vector<int16_t> played(heard.begin() + at, heard.begin() + at + expected.size() - skipExpected);
        EXPECT_NEAR(FrequencyOf(played), 440, 5);
        EXPECT_NEAR(PeakOf(played), PeakOf(source) * gain, 2);
    }
}

// Frames reach the model within one frame of the media clock (audio's, or the wall clock's without
// audio), and the model is switched back off at the end.
TEST_F(SDLOut, VideoFramesArriveInTheModelInStepWithTheMediaClock) {
    for (const char* file : {"video.mkv", "both.mkv"}) {
        SCOPED_TRACE(file);
        std::shared_ptr<PixelOverlayModel> model = VideoModel();
        ASSERT_TRUE(model);
        SDLOutput output(media->file(file), &status, model->getName());
        ASSERT_TRUE(output.Start(0));
        std::set<int> seen;
        int late = 0;
        WaitFor(
            [&] {
                unsigned int now = SDLOutput::CurrentMediaMS();
                SDLOutput::ProcessVideoOverlay(now);
                int r, g, b;
                model->getPixelValue(WIDTH - 1, HEIGHT - 1, r, g, b);
                if (model->getState() == PixelOverlayState(PixelOverlayState::Opaque) && b == 64) {
                    EXPECT_EQ(g, 255 - r);
                    seen.insert(r / 10);
                    late += std::abs(r / 10 - static_cast<int>(now) * VIDEO_FPS / 1000) > 1;
                }
                return !output.Process();
            },
            4000, 15);
        EXPECT_EQ(late, 0);
        EXPECT_GE(seen.size(), 12u) << "frames did not advance";
        output.Close();
        EXPECT_EQ(model->getState(), PixelOverlayState(PixelOverlayState::Off));
    }
}

TEST_F(SDLOut, MediaThatCannotPlayIsRefusedAndTruncatedMediaEnds) {
    std::shared_ptr<PixelOverlayModel> model = VideoModel();
    // The video-only file has no model to go to, so nothing of it could be played.
    for (const char* file : {"missing.wav", "notmedia.wav", "empty.wav", "video.mkv"}) {
        SCOPED_TRACE(file);
        SDLOutput output(media->file(file), &status, "--Disabled--");
        EXPECT_FALSE(output.Start(0));
        EXPECT_FALSE(output.IsPlaying());
    }
    SDLOutput truncated(media->file("truncated.mkv"), &status, model->getName());
    EXPECT_TRUE(PlayToEnd(truncated));
}

TEST_F(SDLOut, WithoutAnAudioDriverPlaybackIsRefusedWithAWarning) {
    sdlManager.shutdown();
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    {
        SDLOutput output(media->file("tone.wav"), &status, "--Disabled--");
        EXPECT_FALSE(output.Start(0));
    }
    bool warned = false;
    for (const KIVWarning& w : WarningHolder::GetWarnings()) {
        warned |= startsWith(w.message, "Could not initialize SDL");
    }
    EXPECT_TRUE(warned);
    setenv("SDL_AUDIODRIVER", "disk", 1);
}

struct DeviceCase {
    int audioFormat;
    int layout;
    int rate;
    int channels;
    bool isFloat;
};

TEST_F(SDLOut, DeviceIsOpenedInTheFormatAndLayoutTheSettingsAsk) {
    ASSERT_TRUE(sdlManager.initSDL());
    for (DeviceCase c : {DeviceCase{0, 0, 44100, 2, false}, DeviceCase{6, 15, 48000, 8, true},
                         DeviceCase{2, -1, 44100, 2, false}, DeviceCase{7, 11, 96000, 6, false}}) {
        SCOPED_TRACE("AudioFormat " + std::to_string(c.audioFormat) + ", AudioLayout " +
                     std::to_string(c.layout));
        SetSetting("AudioFormat", c.audioFormat);
        SetSetting("AudioLayout", c.layout);
        AudioDeviceFormat format;
        std::string error;
        SDL_AudioDeviceID device = OpenAudioDevice(format, error);
        ASSERT_NE(device, 0u) << error;
        SDL_CloseAudioDevice(device);
        EXPECT_EQ(format.sampleRate, c.rate);
        EXPECT_EQ(format.channels, c.channels);
        EXPECT_EQ(format.isFloat, c.isFloat);
    }
    SetSetting("AudioFormat", 0);
    SetSetting("AudioLayout", 0);
}

} // namespace
