// ColorLight5a75Output: the panels laid out, the link checked, the cards asked for their firmware,
// and every frame's messages prepared once; per frame only the row buffer is rewritten.

#include "ColorLight-5a-75.h"

#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/WarningHolder.h"
#include "overlays/PixelOverlayManager.h"
#include "platform/RawPacketSocket.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

using namespace ColorLightFrames;

namespace {

const std::string LEAD = "ColorLight:";
constexpr int SEND_BUDGET_MS = 22;
constexpr long SEND_BACKOFF_NS = 500000;
constexpr int SLOW_FRAMES_BEFORE_WARNING = 3;
constexpr int DISCOVERY_TIMEOUT_MS = 300;
const char* SLOW_SEND_WARNING = "Repeated frames taking more than 20ms to send to ColorLight";

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void SleepHalfMillisecond() {
    timespec left{0, SEND_BACKOFF_NS};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
    }
}

} // namespace

ColorLight5a75Output::ColorLight5a75Output(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {
    LogDebug(LG_CHANNELOUT, "ColorLight5a75Output::ColorLight5a75Output(%u, %u)\n", startChannel,
             channelCount);
}

ColorLight5a75Output::~ColorLight5a75Output() {
    LogDebug(LG_CHANNELOUT, "ColorLight5a75Output::~ColorLight5a75Output()\n");
    if (m_fd >= 0) {
        close(m_fd);
    }
}

void ColorLight5a75Output::warn(const std::string& text, bool error) {
    if (error) {
        LogErr(LG_CHANNELOUT, "%s\n", text.c_str());
    } else {
        LogWarn(LG_CHANNELOUT, "%s\n", text.c_str());
    }
    WarningHolder::AddWarning(text);
}

int ColorLight5a75Output::Init(Json::Value config) {
    LogDebug(LG_CHANNELOUT, "ColorLight5a75Output::Init(JSON)\n");
    if (!layOutPanels(config)) {
        return 0;
    }
    double gamma = JsonDouble(config["gamma"], 1.0);
    FillPanelGammaTable(gamma >= 0.01 && gamma <= 50 ? gamma : 1.0, m_gammaCurve);
    m_ifName = config.isMember("interface") ? JsonString(config["interface"]) : "eth1";
    m_rowSize = m_panelWidth * m_longestChain * 3;
    m_linkDownDisables = getSettingInt("ColorlightLinkDownDisable", 0) == 1;
    m_firmwareVersion = getSettingInt("ColorlightFirmwareVersion", 0);
    if (!checkLink() || !openSocket()) {
        return 0;
    }
    if (m_firmwareVersion == 0) {
        GetReceiverInfo();
        if (m_receivers.empty() && m_linkDownDisables) {
            return 0;
        }
    }
    uint8_t brightness = BrightnessByte(config["brightness"]);
    buildRowMessages(brightness);
    buildDisplayMessages(brightness);
    addOverlayModel(config);
    return ChannelOutput::Init(config);
}

// Older configurations described panels as seen from behind, so their left and right (and up and
// down) are swapped, and their chain positions count from the far end.
bool ColorLight5a75Output::layOutPanels(Json::Value& config) {
    m_panelWidth = JsonInt(config["panelWidth"]);
    m_panelHeight = JsonInt(config["panelHeight"]);
    m_panelWidth = m_panelWidth ? m_panelWidth : 32;
    m_panelHeight = m_panelHeight ? m_panelHeight : 16;
    m_invertedData = JsonInt(config["invertedData"]);
    m_colorOrder = ColorOrderFromString(JsonString(config["colorOrder"], "RGB"));
    m_legacyLayout = !config.isMember("cfgVersion") || JsonInt(config["cfgVersion"]) < 2;
    m_panelMatrix = std::make_unique<PanelMatrix>(m_panelWidth, m_panelHeight, m_invertedData);
    if (!m_panelMatrix->SizeIsValid()) {
        warn(LEAD + " panel size " + std::to_string(m_panelWidth) + "x" + std::to_string(m_panelHeight) +
             " is outside 1 to " + std::to_string(PanelMatrix::MAX_PANEL_SIZE));
        return false;
    }
    if (m_panelMatrix->AddPanelsFromConfig(config["panels"], m_colorOrder, LEAD, m_legacyLayout) == 0) {
        warn(LEAD + " no panels are configured");
        return false;
    }
    m_outputs = m_panelMatrix->OutputCount();
    m_longestChain = m_panelMatrix->LongestChain();
    m_rows = m_outputs * m_panelHeight;
    m_width = m_panelMatrix->Width();
    m_height = m_panelMatrix->Height();
    m_panels = m_panelMatrix->PanelCount();
    int64_t channels = int64_t(m_width) * m_height * 3;
    if (int64_t(m_startChannel) + channels > KIVD_MAX_CHANNELS) {
        warn(LEAD + " the " + std::to_string(m_width) + "x" + std::to_string(m_height) + " matrix needs " +
             std::to_string(channels) + " channels from channel " + std::to_string(m_startChannel + 1) +
             ", beyond the channel buffer");
        return false;
    }
    m_channelCount = unsigned(channels);
    m_outputBuffer.assign(size_t(m_rows) * m_longestChain * m_panelWidth * 3, 0);
    m_matrix = std::make_unique<Matrix>(m_startChannel, m_width, m_height);
    m_matrix->AddSubMatricesFromConfig(config["subMatrices"], LEAD, false);
    return true;
}

// A missing link or a slow one is only a warning unless the user asked for the output to stay off.
bool ColorLight5a75Output::checkLink() {
    if (InterfaceOperState(m_ifName) != "up") {
        LogErr(LG_CHANNELOUT, "Error ColorLight: Configured interface %s does not have link %s\n",
               m_ifName.c_str(), strerror(errno));
        WarningHolder::AddWarning("ColorLight: Configured interface " + m_ifName + " does not have link");
        if (m_linkDownDisables) {
            return false;
        }
    }
    m_ifSpeed = InterfaceSpeedMbps(m_ifName);
    if (m_ifSpeed < 1000) {
        LogErr(LG_CHANNELOUT, "Error ColorLight: Configured interface %s is not 1000Mbps Capable: %s\n",
               m_ifName.c_str(), strerror(errno));
        WarningHolder::AddWarning("ColorLight: Configured interface " + m_ifName +
                                  " is not 1000Mbps Capable");
        if (m_linkDownDisables) {
            return false;
        }
    }
    return true;
}

bool ColorLight5a75Output::openSocket() {
    m_fd = socket(AF_PACKET, SOCK_RAW, 255);
    if (m_fd < 0) {
        LogErr(LG_CHANNELOUT, "Error creating raw socket: %s\n", strerror(errno));
        WarningHolder::AddWarning("ColorLight: Error creating raw socket");
        return false;
    }
    int index = InterfaceIndex(m_fd, m_ifName);
    if (index < 0) {
        LogErr(LG_CHANNELOUT, "Error getting index of %s interface: %s\n", m_ifName.c_str(), strerror(errno));
        WarningHolder::AddWarning("ColorLight: Error getting index of interface " + m_ifName);
        return false;
    }
    m_sockAddress = sockaddr_ll{};
    m_sockAddress.sll_family = AF_PACKET;
    m_sockAddress.sll_protocol = 0;
    m_sockAddress.sll_ifindex = index;
    m_sockAddress.sll_halen = 6;
    SetHostMACs(m_sockAddress.sll_addr); // the first six bytes are the cards' address
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&m_sockAddress), sizeof(sockaddr_ll)) < 0) {
        LogErr(LG_CHANNELOUT, "bind() failed\n");
        WarningHolder::AddWarning("ColorLight: Could not bind to interface " + m_ifName);
        return false;
    }
    return true;
}

void ColorLight5a75Output::GetReceiverInfo() {
    int receiveFd = socket(AF_PACKET, SOCK_RAW, htons(DISCOVERY_ETHERTYPE));
    if (receiveFd < 0) {
        LogErr(LG_CHANNELOUT, "Unable to open receive socket\n");
        return;
    }
    if (!SetInterfacePromiscuous(receiveFd, m_ifName)) {
        LogWarn(LG_CHANNELOUT, "Unable to put %s into promiscuous mode: %s\n", m_ifName.c_str(),
                strerror(errno));
    }
    timeval timeout{0, DISCOVERY_TIMEOUT_MS * 1000};
    int reuse = 1;
    const char* failure = nullptr;
    if (setsockopt(receiveFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) < 0) {
        failure = "Unable to set socket receive timeout\n";
    } else if (setsockopt(receiveFd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) < 0) {
        failure = "Unable to set receive socket options\n";
    } else if (!BindSocketToDevice(receiveFd, m_ifName)) {
        failure = "Unable to bind receive socket\n";
    }
    if (failure) {
        LogErr(LG_CHANNELOUT, "%s", failure);
        close(receiveFd);
        return;
    }
    LogInfo(LG_CHANNELOUT, "Searching for ColorLight receivers\n");
    for (int index = 0; index < MAX_RECEIVERS && receiveAnswers(receiveFd, index); index++) {
    }
    if (m_receivers.empty()) {
        WarningHolder::AddWarning("ColorLight: No receiver cards were detected on interface " + m_ifName);
        LogWarn(LG_CHANNELOUT, "WARNING: No ColorLight receiver cards were discovered\n");
    } else {
        LogInfo(LG_CHANNELOUT, "Found %d ColorLight receiver(s)\n", int(m_receivers.size()));
    }
    close(receiveFd);
}

// Asks the card at `index` and reads answers until the wire stays quiet for the time-out. The whole
// wait is bounded too, so a stream of frames on the wire cannot hold start-up forever.
bool ColorLight5a75Output::receiveAnswers(int receiveFd, int index) {
    uint8_t request[DISCOVERY_REQUEST_BYTES] = {};
    FillDiscoveryRequest(request, index);
    if (send(m_fd, request, sizeof(request), MSG_DONTWAIT) < 0) {
        LogWarn(LG_CHANNELOUT, "Unable to send ColorLight discovery request: %s\n", strerror(errno));
    }
    bool answered = false;
    int64_t deadline = NowMs() + DISCOVERY_TIMEOUT_MS;
    uint8_t frame[DISCOVERY_RECEIVE_BYTES];
    while (NowMs() < deadline) {
        ssize_t length = recv(receiveFd, frame, sizeof(frame), 0);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        Receiver receiver;
        if (length < 0) {
            break;
        }
        if (!ParseDiscoveryResponse(frame, size_t(length), receiver)) {
            continue;
        }
        answered = true;
        if (WillLog(KIVLOG_DEBUG, LG_CHANNELOUT)) {
            LogDebug(LG_CHANNELOUT, "Response received from receiver id %d\n", receiver.id);
            HexDump("DiscoverResponse", frame, 256, LG_CHANNELOUT);
        }
        LogInfo(LG_CHANNELOUT, "Found Receiver #%d:\n", receiver.id);
        LogInfo(LG_CHANNELOUT, "- Firmware Version    : v%d.%d\n", receiver.firmwareMajor,
                receiver.firmwareMinor);
        LogInfo(LG_CHANNELOUT, "- Cabinet Size (WxH)  : %dx%d\n", receiver.cabinetWidth,
                receiver.cabinetHeight);
        LogInfo(LG_CHANNELOUT, "- Uptime              : %ums\n", unsigned(receiver.uptimeMs));
        LogInfo(LG_CHANNELOUT, "- Packets             : %u\n", unsigned(receiver.packets));
        m_firmwareVersion = std::max(m_firmwareVersion, int(receiver.firmwareMajor));
        if (int(m_receivers.size()) < index + 1) {
            m_receivers.resize(index + 1);
        }
        m_receivers[index] = receiver;
    }
    return answered;
}

// Every message gathers a fixed header and a slice of the row buffer; newer firmware wants the
// brightness frame twice.
void ColorLight5a75Output::buildRowMessages(uint8_t brightness) {
    FillBrightnessFrame(m_brightnessFrame.data(), brightness);
    const int rowBytesPerChunk = PIXELS_PER_CHUNK * 3;
    const int chunks = (m_rowSize + rowBytesPerChunk - 1) / rowBytesPerChunk;
    const int brightnessMessages = m_firmwareVersion > 12 ? 2 : 1;
    const int total = m_rows * chunks + brightnessMessages;
    m_rowHeaders.assign(size_t(m_rows) * chunks * ROW_HEADER_BYTES, 0);
    m_rowMessages.messages.assign(total, mmsghdr{});
    m_rowMessages.pieces.assign(size_t(total) * 2, iovec{});
    iovec* piece = m_rowMessages.pieces.data();
    for (int m = 0; m < brightnessMessages; m++, piece += 2) {
        piece[0] = {m_brightnessFrame.data(), size_t(BRIGHTNESS_FIRST_PIECE)};
        piece[1] = {m_brightnessFrame.data() + BRIGHTNESS_FIRST_PIECE,
                    size_t(BRIGHTNESS_BYTES - BRIGHTNESS_FIRST_PIECE)};
    }
    const int rowPixels = m_rowSize / 3;
    uint8_t* header = m_rowHeaders.data();
    for (int row = 0; row < m_rows; row++) {
        for (int chunk = 0; chunk < chunks; chunk++, piece += 2, header += ROW_HEADER_BYTES) {
            int first = chunk * PIXELS_PER_CHUNK;
            int count = std::min(PIXELS_PER_CHUNK, rowPixels - first);
            FillRowHeader(header, row, first, count);
            piece[0] = {header, size_t(ROW_HEADER_BYTES)};
            piece[1] = {m_outputBuffer.data() + size_t(row) * m_rowSize + first * 3, size_t(count) * 3};
        }
    }
    for (int m = 0; m < total; m++) {
        m_rowMessages.messages[m].msg_hdr.msg_iov = &m_rowMessages.pieces[size_t(m) * 2];
        m_rowMessages.messages[m].msg_hdr.msg_iovlen = 2;
    }
}

void ColorLight5a75Output::buildDisplayMessages(uint8_t brightness) {
    FillDisplayFrame(m_displayFrame.data(), brightness);
    const int total = m_firmwareVersion > 12 ? 2 : 1;
    m_displayMessages.pieces.assign(1, iovec{m_displayFrame.data(), m_displayFrame.size()});
    m_displayMessages.messages.assign(total, mmsghdr{});
    for (mmsghdr& message : m_displayMessages.messages) {
        message.msg_hdr.msg_iov = m_displayMessages.pieces.data();
        message.msg_hdr.msg_iovlen = 1;
    }
}

void ColorLight5a75Output::addOverlayModel(const Json::Value& config) {
    PixelOverlayManager& overlays = PixelOverlayManager::INSTANCE;
    if (!overlays.isAutoCreatePixelOverlayModels()) {
        return;
    }
    const std::string base = PanelOverlayModelName(config);
    std::string name = base;
    for (int n = 1; overlays.getModel(name); n++) {
        name = base + "-" + std::to_string(n);
    }
    overlays.addAutoOverlayModel(name, m_startChannel, m_channelCount, 3, "H", m_invertedData ? "BL" : "TL",
                                 m_height, 1);
}

int ColorLight5a75Output::Close() {
    LogDebug(LG_CHANNELOUT, "ColorLight5a75Output::Close()\n");
    return ChannelOutput::Close();
}

void ColorLight5a75Output::PrepData(unsigned char* channelData) {
    LogExcess(LG_CHANNELOUT, "ColorLight5a75Output::PrepData(%p)\n", channelData);
    if (m_fd < 0 || !m_matrix) {
        return;
    }
    m_matrix->OverlaySubMatrices(channelData);
    FillRowBuffer(channelData);
    SendMessages(m_rowMessages);
}

// A chain's first panel is the one nearest the card, which shifts each row out from its far end;
// older layouts counted positions from that far end already.
void ColorLight5a75Output::FillRowBuffer(const unsigned char* channelData) {
    if (!m_panelMatrix) {
        return;
    }
    const unsigned char* data = channelData + m_startChannel;
    const uint8_t* gamma = m_gammaCurve;
    const int pixelBytes = m_panelWidth * 3;
    const size_t rowBytes = size_t(m_rowSize);
    for (int output = 0; output < m_outputs; output++) {
        for (int index : m_panelMatrix->OutputPanels(output)) {
            const LEDPanel& panel = m_panelMatrix->Panel(index);
            const int chain = m_legacyLayout ? panel.panelNumber : m_longestChain - 1 - panel.panelNumber;
            const int32_t* map = panel.pixelMap.data();
            uint8_t* out =
                m_outputBuffer.data() + size_t(output) * m_panelHeight * rowBytes + chain * pixelBytes;
            for (int y = 0; y < m_panelHeight; y++, out += rowBytes, map += pixelBytes) {
                for (int i = 0; i < pixelBytes; i++) {
                    out[i] = gamma[data[map[i]]];
                }
            }
        }
    }
}

int ColorLight5a75Output::SendData(unsigned char* channelData) {
    LogExcess(LG_CHANNELOUT, "ColorLight5a75Output::SendData(%p)\n", channelData);
    if (m_fd >= 0) {
        SendMessages(m_displayMessages);
    }
    return m_channelCount;
}

int ColorLight5a75Output::SendMessagesHelper(mmsghdr* first, int count) {
    return sendmmsg(m_fd, first, unsigned(count), MSG_DONTWAIT);
}

// The socket is non-blocking so a full queue never stalls the frame thread: a short send is retried
// every half millisecond for at most a frame's worth of time.
int ColorLight5a75Output::SendMessages(MessageList& list) {
    const int total = int(list.messages.size());
    if (total == 0) {
        return 0;
    }
    const int64_t start = NowMs();
    errno = 0;
    int result = SendMessagesHelper(list.messages.data(), total);
    int sent = std::max(result, 0);
    int retries = 0;
    while (sent < total) {
        errno = 0;
        result = SendMessagesHelper(&list.messages[sent], total - sent);
        int error = errno;
        sent += std::max(result, 0);
        if (sent >= total) {
            break;
        }
        int elapsed = int(NowMs() - start);
        if (elapsed >= SEND_BUDGET_MS) {
            LogWarn(LG_CHANNELOUT,
                    "sendmmsg() failed for ColorLight output (Socket: %d   output count: %d/%d   time: %dms) "
                    "with "
                    "error: %d   %s, errorcount: %d\n",
                    m_fd, sent, total, elapsed, error, strerror(error), retries);
            if (++m_slowFrameCount > SLOW_FRAMES_BEFORE_WARNING) {
                LogWarn(LG_CHANNELOUT, "%s\n", SLOW_SEND_WARNING);
                WarningHolder::AddWarningTimeout(SLOW_SEND_WARNING, 30);
            }
            return result;
        }
        SleepHalfMillisecond();
        retries++;
    }
    m_slowFrameCount = 0;
    return result;
}

void ColorLight5a75Output::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    addRange(m_startChannel, m_startChannel + m_channelCount - 1);
}

void ColorLight5a75Output::OverlayTestData(unsigned char* channelData, int cycleNum, float /*percentOfCycle*/,
                                           int testType, const Json::Value& /*config*/) {
    if (!m_panelMatrix) {
        return;
    }
    for (int output = 0; output < m_outputs; output++) {
        for (int index : m_panelMatrix->OutputPanels(output)) {
            m_panelMatrix->Panel(index).drawTestPattern(channelData + m_startChannel, cycleNum, testType);
        }
    }
}

void ColorLight5a75Output::DumpConfig() {
    LogDebug(LG_CHANNELOUT, "ColorLight5a75Output::DumpConfig()\n");
    LogDebug(LG_CHANNELOUT, "    Width          : %d\n", m_width);
    LogDebug(LG_CHANNELOUT, "    Height         : %d\n", m_height);
    LogDebug(LG_CHANNELOUT, "    Rows           : %d\n", m_rows);
    LogDebug(LG_CHANNELOUT, "    Row Size       : %d\n", m_rowSize);
    LogDebug(LG_CHANNELOUT, "    m_fd           : %d\n", m_fd);
    LogDebug(LG_CHANNELOUT, "    Outputs        : %d\n", m_outputs);
    LogDebug(LG_CHANNELOUT, "    Longest Chain  : %d\n", m_longestChain);
    LogDebug(LG_CHANNELOUT, "    Inverted Data  : %d\n", m_invertedData);
    LogDebug(LG_CHANNELOUT, "    Interface      : %s\n", m_ifName.c_str());
    ChannelOutput::DumpConfig();
}
