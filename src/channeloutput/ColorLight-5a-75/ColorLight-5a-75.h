#pragma once
// LED panels hung on ColorLight 5A-75 receiver cards, driven over a dedicated Ethernet interface
// with the cards' raw protocol (ColorLightFrames.h). PanelMatrix maps every panel pixel to its
// channels and Matrix lays sub-matrices over the channel data; each frame the pixels go through a
// gamma table into one row buffer, and prepared messages (a fixed header and a slice of that
// buffer each) are handed to the kernel in one batched send: brightness and rows in PrepData, the
// frame that makes the cards show them in SendData. Init may ask the cards on the wire for their
// firmware first.
//
// Owns its socket, row buffer, frame headers, layout and sub-matrices. Everything runs on the
// channel-output thread (Init at output start-up); nothing is locked.

#include "ColorLightFrames.h"
#include "channeloutput/ChannelOutput.h"
#include "channeloutput/ColorOrder.h"
#include "channeloutput/Matrix.h"
#include "channeloutput/PanelMatrix.h"

#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ColorLight5a75Output : public ChannelOutput {
public:
    ColorLight5a75Output(unsigned int startChannel, unsigned int channelCount);
    ~ColorLight5a75Output() override;

    std::string GetOutputType() const override { return "ColorLight Panels"; }
    int Init(Json::Value config) override;
    int Close() override;
    void PrepData(unsigned char* channelData) override;
    int SendData(unsigned char* channelData) override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;
    void OverlayTestData(unsigned char* channelData, int cycleNum, float percentOfCycle, int testType,
                         const Json::Value& config) override;
    bool SupportsTesting() const override { return true; }
    void DumpConfig() override;

    // A batch of prepared messages, and the iovecs they point at.
    struct MessageList {
        std::vector<mmsghdr> messages;
        std::vector<iovec> pieces;
    };
    int SendMessages(MessageList& list);
    // The two halves of PrepData after the sub-matrices: the gamma-mapped row buffer, and the
    // prepared brightness and row messages that send it.
    void FillRowBuffer(const unsigned char* channelData);
    MessageList& RowMessages() { return m_rowMessages; }
    int SendMessagesHelper(mmsghdr* first, int count);
    void SetHostMACs(uint8_t* buffer) { ColorLightFrames::SetHostMACs(buffer); }
    void GetReceiverInfo();

    int FirmwareVersion() const { return m_firmwareVersion; }
    const std::vector<ColorLightFrames::Receiver>& Receivers() const { return m_receivers; }

private:
    bool layOutPanels(Json::Value& config);
    bool checkLink();
    bool openSocket();
    bool discoverReceivers(int requestFd, int receiveFd);
    bool receiveAnswers(int receiveFd, int index);
    void buildRowMessages(uint8_t brightness);
    void buildDisplayMessages(uint8_t brightness);
    void addOverlayModel(const Json::Value& config);
    void warn(const std::string& text, bool error = true);

    int m_width = 0;
    int m_height = 0;
    std::string m_ifName = "eth1";
    int m_ifSpeed = 0;
    KIVColorOrder m_colorOrder = kColorOrderRGB;
    int m_fd = -1;
    int m_rowSize = 0;
    int m_slowFrameCount = 0;
    int m_panelWidth = 32;
    int m_panelHeight = 16;
    int m_panels = 0;
    int m_rows = 0;
    int m_outputs = 0;
    int m_longestChain = 0;
    int m_invertedData = 0;
    std::vector<uint8_t> m_outputBuffer; // the row buffer
    std::unique_ptr<Matrix> m_matrix;
    std::unique_ptr<PanelMatrix> m_panelMatrix;
    uint8_t m_gammaCurve[256];
    bool m_legacyLayout = true;
    bool m_linkDownDisables = false;
    int m_firmwareVersion = 0;
    std::vector<ColorLightFrames::Receiver> m_receivers;
    MessageList m_displayMessages;
    MessageList m_rowMessages;
    // The frames the messages point into; sized once in Init and never moved afterwards.
    std::array<uint8_t, ColorLightFrames::BRIGHTNESS_BYTES> m_brightnessFrame{};
    std::array<uint8_t, ColorLightFrames::DISPLAY_BYTES> m_displayFrame{};
    std::vector<uint8_t> m_rowHeaders;
    ifreq m_ifRequest{};
    sockaddr_ll m_sockAddress{};
};
