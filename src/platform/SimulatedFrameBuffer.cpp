// The simulated framebuffer: a shared-memory file laid out as its header describes.

#include "SimulatedFrameBuffer.h"

#include "common/Common.h"
#include "common/Log.h"
#include "common/Settings.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {

constexpr int DEFAULT_WIDTH = 1084;
constexpr int DEFAULT_HEIGHT = 162;
constexpr int LINE_ALIGNMENT = 16;

// "WIDTHxHEIGHT"; false unless both are positive numbers.
bool parseGeometry(const std::string& text, int& w, int& h) {
    std::vector<std::string> parts = split(toLower(text), 'x');
    long pw = 0;
    long ph = 0;
    if (parts.size() != 2 || !ParseInt(trim(parts[0]), pw) || !ParseInt(trim(parts[1]), ph) || pw <= 0 ||
        ph <= 0 || pw > 16384 || ph > 16384) {
        return false;
    }
    w = static_cast<int>(pw);
    h = static_cast<int>(ph);
    return true;
}

} // namespace

SimulatedFrameBuffer::SimulatedFrameBuffer(const Json::Value& config) : FrameBuffer(config) {}

SimulatedFrameBuffer::~SimulatedFrameBuffer() {
    DestroyFrameBuffer();
}

std::string SimulatedFrameBuffer::FilePath(const std::string& device) {
    return "/dev/shm/kiv-fb-" + device;
}

void SimulatedFrameBuffer::chooseGeometry() {
    int w = requestedWidth;
    int h = requestedHeight;
    if (w == 0 || h == 0) {
        std::string setting = getSetting("SimulatedFrameBuffer", "1084x162");
        if (!parseGeometry(setting, w, h)) {
            LogWarn(LG_CHANNELOUT, "SimulatedFrameBuffer setting \"%s\" is not WIDTHxHEIGHT, using %dx%d\n",
                    setting.c_str(), DEFAULT_WIDTH, DEFAULT_HEIGHT);
            w = DEFAULT_WIDTH;
            h = DEFAULT_HEIGHT;
        }
    }
    int line = (w * BytesPerPixel() + LINE_ALIGNMENT - 1) / LINE_ALIGNMENT * LINE_ALIGNMENT;
    setGeometry(w, h, line);
}

bool SimulatedFrameBuffer::InitializeFrameBuffer() {
    chooseGeometry();
    std::string path = FilePath(device);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0664);
    if (fd < 0) {
        LogErr(LG_CHANNELOUT, "Could not create simulated framebuffer %s: %s\n", path.c_str(),
               strerror(errno));
        return false;
    }
    mappingSize = HEADER_SIZE + static_cast<size_t>(pageSize) * pages;
    // Truncating to zero first clears whatever an earlier run of another size left behind.
    bool sized = ftruncate(fd, 0) == 0 && ftruncate(fd, static_cast<off_t>(mappingSize)) == 0;
    void* map = sized ? mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    ::close(fd);
    if (map == MAP_FAILED) {
        LogErr(LG_CHANNELOUT, "Could not map simulated framebuffer %s: %s\n", path.c_str(), strerror(errno));
        mappingSize = 0;
        return false;
    }
    mapping = static_cast<uint8_t*>(map);
    setContiguousPages(mapping + HEADER_SIZE);
    writeHeader();
    LogInfo(LG_CHANNELOUT, "Simulated framebuffer %s: %dx%d, %d pages\n", path.c_str(), width, height, pages);
    return true;
}

void SimulatedFrameBuffer::DestroyFrameBuffer() {
    if (mapping) {
        munmap(mapping, mappingSize);
    }
    mapping = nullptr;
    pageStarts.clear();
    mappingSize = 0;
}

void SimulatedFrameBuffer::putWord(int offset, uint32_t value) {
    uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    std::memcpy(mapping + offset, bytes, sizeof(bytes));
}

void SimulatedFrameBuffer::writeHeader() {
    std::memset(mapping, 0, HEADER_SIZE);
    std::memcpy(mapping, MAGIC, 8);
    putWord(8, width);
    putWord(12, height);
    putWord(16, bitsPerPixel);
    putWord(20, lineLength);
    putWord(24, pages);
    putWord(28, 0);
    putWord(32, 0);
}

void SimulatedFrameBuffer::SyncDisplay(bool pageChanged) {
    if (!pageChanged || !mapping) {
        return;
    }
    shownPage = page;
    putWord(28, page);
    shownCount++;
    // Little-endian hosts only here (x86 and the Pi); the count is the reader's signal.
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(mapping + 32))
        .store(shownCount, std::memory_order_release);
}
