// RGBMatrixOutput: panels laid out from the configuration, the library matrix from its options,
// and each frame painted through the panels' pixel maps.

#include "RGBMatrix.h"

#include "common/Common.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/UrlHelpers.h"
#include "common/WarningHolder.h"
#include "overlays/PixelOverlayManager.h"

#include "led-matrix.h"

#include <cstdlib>

namespace {

const std::string LEAD = "RGBMatrix:";
constexpr double DEFAULT_GAMMA = 2.2;

void warn(const std::string& text) {
    LogErr(LG_CHANNELOUT, "%s\n", text.c_str());
    WarningHolder::AddWarning(text);
}

bool soundDriverLoaded() {
    std::string modules = "\n" + GetFileContents("/proc/modules");
    return contains(modules, "\nsnd_bcm2835 ");
}

} // namespace

RGBMatrixOutput::RGBMatrixOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {
    LogDebug(LG_CHANNELOUT, "RGBMatrixOutput::RGBMatrixOutput(%u, %u)\n", startChannel, channelCount);
}

RGBMatrixOutput::~RGBMatrixOutput() {
    LogDebug(LG_CHANNELOUT, "RGBMatrixOutput::~RGBMatrixOutput()\n");
    delete rgbmatrix;
}

int RGBMatrixOutput::Init(Json::Value config) {
    LogDebug(LG_CHANNELOUT, "RGBMatrixOutput::Init(JSON)\n");
    if (boardIsPi5()) {
        LogErr(LG_CHANNELOUT, "RGBMatrix does work on Raspberry Pi 5\n");
        return false;
    }
    panelWidth = JsonInt(config["panelWidth"]);
    panelHeight = JsonInt(config["panelHeight"]);
    panelWidth = panelWidth ? panelWidth : 32;
    panelHeight = panelHeight ? panelHeight : 16;
    if (!soundDriverReleased() || !layOutPanels(config) || !createLibraryMatrix(config)) {
        return false;
    }
    matrix = std::make_unique<Matrix>(m_startChannel, width, height);
    matrix->AddSubMatricesFromConfig(config["subMatrices"], LEAD, true);
    readGamma(config);
    addOverlayModel(config);
    return ChannelOutput::Init(config);
}

bool RGBMatrixOutput::boardIsPi5() {
    std::string model = GetFileContents("/proc/device-tree/model");
    return startsWith(model, "Raspberry Pi 5") || startsWith(model, "Raspberry Pi Compute Module 5");
}

// The on-board sound driver uses the PWM hardware the panels are clocked with.
bool RGBMatrixOutput::soundDriverReleased() {
    if (!soundDriverLoaded()) {
        return true;
    }
    LogInfo(LG_CHANNELOUT, "snd_bcm2835 is loaded, attempting to unload.");
    (void)!system("rmmod snd_bcm2835");
    (void)!system("modprobe snd_dummy");
    if (!soundDriverLoaded()) {
        return true;
    }
    LogWarn(LG_CHANNELOUT, "snd_bcm2835 is stil loaded. Cannot proceed.");
    std::string response;
    urlPut(LocalWebURL("/api/settings/rebootFlag"), "1", response);
    warn("RGBMatrix cannot run with snd_bcm2835 enabled.   Please reboot.");
    return false;
}

bool RGBMatrixOutput::layOutPanels(Json::Value& config) {
    invertedData = JsonInt(config["invertedData"]);
    colorOrder = JsonString(config["colorOrder"], "RGB");
    colorOrder = colorOrder.empty() ? "RGB" : colorOrder;
    panelMatrix = std::make_unique<PanelMatrix>(panelWidth, panelHeight, invertedData);
    if (!panelMatrix->SizeIsValid()) {
        warn(LEAD + " panel size " + std::to_string(panelWidth) + "x" + std::to_string(panelHeight) +
             " is outside 1 to " + std::to_string(PanelMatrix::MAX_PANEL_SIZE));
        return false;
    }
    if (panelMatrix->AddPanelsFromConfig(config["panels"], ColorOrderFromString(colorOrder), LEAD) == 0) {
        warn(LEAD + " no panels are configured");
        return false;
    }
    parallel = panelMatrix->OutputCount();
    chain = panelMatrix->LongestChain();
    panels = panelMatrix->PanelCount();
    width = panelMatrix->Width();
    height = panelMatrix->Height();
    rows = panelHeight;
    int64_t channels = int64_t(width) * height * 3;
    if (int64_t(m_startChannel) + channels > KIVD_MAX_CHANNELS) {
        warn(LEAD + " the " + std::to_string(width) + "x" + std::to_string(height) + " matrix needs " +
             std::to_string(channels) + " channels from channel " + std::to_string(m_startChannel + 1) +
             ", beyond the channel buffer");
        return false;
    }
    m_channelCount = static_cast<unsigned int>(channels);
    return true;
}

bool RGBMatrixOutput::createLibraryMatrix(const Json::Value& config) {
    rgb_matrix::RGBMatrix::Options options;
    rgb_matrix::RGBMatrix::RuntimeOptions runtime;
    std::string mapping = JsonString(config["wiringPinout"]);
    std::string panelType;
    options.rows = panelHeight;
    options.cols = panelWidth;
    options.chain_length = chain;
    options.parallel = parallel;
    options.brightness = JsonInt(config["brightness"], 100);
    int depth = config.isMember("panelColorDepth") ? JsonInt(config["panelColorDepth"]) : 8;
    options.pwm_bits = depth >= 6 && depth <= 11 ? depth : 11;
    if (!mapping.empty()) {
        options.hardware_mapping = mapping.c_str();
    }
    if (config.isMember("panelInterleave")) {
        int scan = JsonInt(config["panelScan"]);
        options.multiplexing = scan == 0 || scan * 2 == panelHeight ? 0 : JsonInt(config["panelInterleave"]);
    }
    if (config.isMember("panelRowAddressType")) {
        options.row_address_type = JsonInt(config["panelRowAddressType"]);
    }
    int type = JsonInt(config["panelType"]);
    panelType = type == 1 ? "FM6126A" : type == 2 ? "FM6127" : "";
    if (!panelType.empty()) {
        options.panel_type = panelType.c_str();
    }
    if (JsonBool(config["cpuPWM"])) {
        LogDebug(LG_CHANNELOUT, "Disabling use of Hardware PWM for OE pin\n");
        options.disable_hardware_pulsing = true;
    }
    runtime.gpio_slowdown = JsonInt(config["gpioSlowdown"], 1);
    runtime.daemon = 0;
    runtime.drop_privileges = 0;
    runtime.do_gpio_init = true;
    LogDebug(LG_CHANNELOUT,
             "  chain: %d    parallel: %d   rows: %d     cols: %d    brightness: %d   colordepth: %d\n",
             chain, parallel, options.rows, options.cols, options.brightness, options.pwm_bits);

    std::string reasons;
    options.Validate(&reasons);
    rgbmatrix = rgb_matrix::RGBMatrix::CreateFromOptions(options, runtime);
    if (!rgbmatrix) {
        LogErr(LG_CHANNELOUT, "Unable to create RGBMatrix instance\n");
        for (char& c : reasons) {
            c = c == '\n' ? ';' : c;
        }
        warn(LEAD + " Unable to create RGBMatrix instance from options" +
             (reasons.empty() ? "" : ": " + reasons));
        return false;
    }
    canvas = rgbmatrix->CreateFrameCanvas();
    // Start from a blank picture rather than whatever the panels last held.
    rgbmatrix->SwapOnVSync(rgbmatrix->CreateFrameCanvas());
    return true;
}

void RGBMatrixOutput::readGamma(const Json::Value& config) {
    double gamma = JsonDouble(config["gamma"], DEFAULT_GAMMA);
    FillPanelGammaTable(gamma >= 0.01 && gamma <= 50 ? gamma : DEFAULT_GAMMA, gammaCurve);
}

void RGBMatrixOutput::addOverlayModel(const Json::Value& config) {
    std::string name = PanelOverlayModelName(config);
    PixelOverlayManager& overlays = PixelOverlayManager::INSTANCE;
    if (overlays.isAutoCreatePixelOverlayModels() && !overlays.getModel(name)) {
        overlays.addAutoOverlayModel(name, m_startChannel, m_channelCount, 3, "H", invertedData ? "BL" : "TL",
                                     height, 1);
    }
}

int RGBMatrixOutput::Close() {
    LogDebug(LG_CHANNELOUT, "RGBMatrixOutput::Close()\n");
    delete rgbmatrix;
    rgbmatrix = nullptr;
    canvas = nullptr;
    return ChannelOutput::Close();
}

// Panel 0 of a chain is the one nearest the controller, so it is drawn at the far end of the
// canvas row: the library shifts the row out through every panel of the chain.
namespace {
void GatherRow(const unsigned char* __restrict data, const int32_t* __restrict map,
               const uint8_t* __restrict gamma, uint8_t* __restrict row, int count) {
    for (int k = 0; k < count; k++) {
        row[k] = gamma[data[map[k]]];
    }
}

// The simulated panel takes a row in one call; the library takes it pixel by pixel.
void PutRow(rgb_matrix::FrameCanvas* canvas, int left, int y, int count, const uint8_t* rgb) {
#ifdef KIV_RGB_MATRIX_STAND_IN
    canvas->SetRowPixels(left, y, count, rgb);
#else
    for (int x = left; x < left + count; x++, rgb += 3) {
        canvas->SetPixel(x, y, rgb[0], rgb[1], rgb[2]);
    }
#endif
}
} // namespace

void RGBMatrixOutput::PrepData(unsigned char* channelData) {
    LogExcess(LG_CHANNELOUT, "RGBMatrixOutput::PrepData(%p)\n", channelData);
    if (!canvas) {
        return;
    }
    matrix->OverlaySubMatrices(channelData);
    // Each panel row is first gathered through the table into a local row, where the compiler
    // knows no store can change the map, the table or the channel data, so the gather runs as a
    // tight loop; the canvas then takes the whole row. Locals throughout: the canvas stores are
    // bytes, which the compiler must assume may change any member.
    const unsigned char* data = channelData + m_startChannel;
    rgb_matrix::FrameCanvas* out = canvas;
    const uint8_t* gamma = gammaCurve;
    const int w = panelWidth;
    const int h = panelHeight;
    const int outputs = parallel;
    const int chainLength = chain;
    std::vector<uint8_t>& row = rowPixels;
    row.resize(size_t(w) * 3);
    for (int i = 0; i < outputs; i++) {
        for (int index : panelMatrix->OutputPanels(i)) {
            const LEDPanel& panel = panelMatrix->Panel(index);
            const int32_t* map = panel.pixelMap.data();
            const int left = (chainLength - panel.panelNumber - 1) * w;
            const int top = i * h;
            for (int y = top; y < top + h; y++, map += w * 3) {
                GatherRow(data, map, gamma, row.data(), w * 3);
                PutRow(out, left, y, w, row.data());
            }
        }
    }
}

int RGBMatrixOutput::SendData(unsigned char* channelData) {
    LogExcess(LG_CHANNELOUT, "RGBMatrixOutput::RawSendData(%p)\n", channelData);
    if (rgbmatrix) {
        canvas = rgbmatrix->SwapOnVSync(canvas, 1);
    }
    return m_channelCount;
}

void RGBMatrixOutput::OverlayTestData(unsigned char* channelData, int cycleNum, float /*percentOfCycle*/,
                                      int testType, const Json::Value& /*config*/) {
    if (!panelMatrix) {
        return;
    }
    for (int i = 0; i < panelMatrix->OutputCount(); i++) {
        for (int index : panelMatrix->OutputPanels(i)) {
            panelMatrix->Panel(index).drawTestPattern(channelData + m_startChannel, cycleNum, testType);
        }
    }
}

void RGBMatrixOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    addRange(m_startChannel, m_startChannel + m_channelCount - 1);
}

void RGBMatrixOutput::DumpConfig() {
    LogDebug(LG_CHANNELOUT, "RGBMatrixOutput::DumpConfig()\n");
    LogDebug(LG_CHANNELOUT, "    panels : %d\n", panels);
    LogDebug(LG_CHANNELOUT, "    width  : %d\n", width);
    LogDebug(LG_CHANNELOUT, "    height : %d\n", height);
    ChannelOutput::DumpConfig();
}
