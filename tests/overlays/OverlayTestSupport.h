#pragma once
// Helpers for overlay model tests: unique model names, definitions from JSON text, and a reader of
// the models' shared blocks written from their layout (data: channel bytes; overlay buffer:
// uint32 width, height, flags, then RGB pixels), so tests see what another process would see.

#include "common/Common.h"
#include "overlays/PixelOverlayModel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace overlaytest {

using Bytes = std::vector<unsigned char>;

// A name no other test process uses at the same time.
inline std::string UniqueName(const std::string& base) {
    return base + "-" + std::to_string(getpid());
}

inline Json::Value Definition(const std::string& json) {
    Json::Value value;
    EXPECT_TRUE(LoadJsonFromString(json, value)) << json;
    return value;
}

inline std::unique_ptr<PixelOverlayModel> Model(const std::string& json) {
    return std::make_unique<PixelOverlayModel>(Definition(json));
}

// Maps a model's shared block as another process would; empty when it does not exist.
class SharedBlock {
public:
    explicit SharedBlock(const std::string& name) {
        int fd = shm_open(name.c_str(), O_RDWR, 0);
        struct stat info {};
        if (fd < 0 || fstat(fd, &info) != 0 || info.st_size == 0) {
            if (fd >= 0) {
                close(fd);
            }
            return;
        }
        size = info.st_size;
        void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        data = mapped == MAP_FAILED ? nullptr : static_cast<unsigned char*>(mapped);
    }
    ~SharedBlock() {
        if (data) {
            munmap(data, size);
        }
    }
    bool exists() const { return data != nullptr; }
    uint32_t word(size_t offset) const {
        uint32_t value;
        memcpy(&value, data + offset, 4);
        return value;
    }
    void setWord(size_t offset, uint32_t value) { memcpy(data + offset, &value, 4); }
    Bytes bytes(size_t offset, size_t count) const { return Bytes(data + offset, data + offset + count); }

    unsigned char* data = nullptr;
    size_t size = 0;
};

inline SharedBlock DataBlock(const std::string& model) {
    return SharedBlock("/KIV-Model-Data-" + model);
}
inline SharedBlock OverlayBlock(const std::string& model) {
    return SharedBlock("/KIV-Model-Overlay-Buffer-" + model);
}
constexpr size_t OVERLAY_PIXELS_AT = 12;

} // namespace overlaytest
