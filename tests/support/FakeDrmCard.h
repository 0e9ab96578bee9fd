#pragma once
// A DRM card kept in memory, standing in for the kernel's mode-setting device on machines
// without /dev/dri (no vkms or vgem), so DRMFrameBuffer's set-up, flips and teardown can be
// checked. FakeDrmCard holds what a card holds and outlives the FakeDrmDevice (the DrmDevice
// the framebuffer owns) that works on it:
//   - connectors as the test describes them; CRTCs and what each shows (framebuffer, mode);
//   - dumb buffers: memory of pitch * height bytes, the pitch rounded up to 64 bytes as drivers
//     do, which the test reads back through the framebuffer id a CRTC shows;
//   - framebuffers (id -> dumb buffer handle) and the mappings still open;
//   - one pending page flip at a time (a second is refused with EBUSY); waiting completes it,
//     unless flipsComplete is false, when the wait times out.
// Any operation can be made to fail with an errno value after a number of calls that succeed.

#include "platform/DrmDevice.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <vector>

struct FakeDrmCard {
    enum Op { ReadConnectors, ReadCrtc, CreateDumb, MapDumb, AddFb, SetCrtc, PageFlip, OpCount };
    struct Failure {
        int error = 0;
        int callsBefore = 0; // calls that still succeed first
    };

    std::vector<DrmConnector> connectors;
    std::map<uint32_t, DrmCrtcState> crtcs;
    std::map<uint32_t, std::vector<uint8_t>> dumbs; // handle -> memory
    std::map<uint32_t, uint32_t> fbs;               // framebuffer id -> dumb handle (0: not ours)
    std::set<uint8_t*> mapped;
    std::vector<uint32_t> flips; // framebuffers asked for, in order
    uint32_t pendingFlip = 0;    // crtc waiting for its flip, 0 when none
    uint32_t pendingFb = 0;
    bool flipsComplete = true;
    Failure failures[OpCount];
    uint32_t nextId = 100;

    // errno value for this call of op, 0 when it succeeds.
    int Fails(Op op) {
        Failure& f = failures[op];
        if (!f.error) {
            return 0;
        }
        return f.callsBefore-- > 0 ? 0 : f.error;
    }
    // The bytes a CRTC scans out now, empty when it shows nothing of ours.
    const std::vector<uint8_t>* Shown(uint32_t crtc) const {
        auto c = crtcs.find(crtc);
        auto fb = c == crtcs.end() ? fbs.end() : fbs.find(c->second.fbId);
        return fb == fbs.end() || !fb->second ? nullptr : &dumbs.at(fb->second);
    }
};

class FakeDrmDevice : public DrmDevice {
public:
    explicit FakeDrmDevice(FakeDrmCard& c) : card(c) {}
    std::string Path() const override { return "/dev/dri/card9"; }

    int Connectors(std::vector<DrmConnector>& out) override {
        if (int e = card.Fails(FakeDrmCard::ReadConnectors)) {
            return e;
        }
        out = card.connectors;
        return 0;
    }
    int GetCrtc(uint32_t id, DrmCrtcState& out) override {
        if (int e = card.Fails(FakeDrmCard::ReadCrtc)) {
            return e;
        }
        out = card.crtcs[id];
        return 0;
    }
    int CreateDumb(uint32_t w, uint32_t h, uint32_t bpp, DrmDumbBuffer& out) override {
        if (int e = card.Fails(FakeDrmCard::CreateDumb)) {
            return e;
        }
        out.handle = card.nextId++;
        out.pitch = (w * bpp / 8 + 63) / 64 * 64;
        out.size = uint64_t(out.pitch) * h;
        card.dumbs[out.handle].assign(out.size, 0xAA); // not cleared, as a real buffer need not be
        return 0;
    }
    uint8_t* MapDumb(const DrmDumbBuffer& b) override {
        if (int e = card.Fails(FakeDrmCard::MapDumb)) {
            errno = e;
            return nullptr;
        }
        uint8_t* memory = card.dumbs.at(b.handle).data();
        card.mapped.insert(memory);
        return memory;
    }
    void UnmapDumb(uint8_t* mapping, size_t) override { card.mapped.erase(mapping); }
    void DestroyDumb(uint32_t handle) override { card.dumbs.erase(handle); }
    int AddFrameBuffer(uint32_t, uint32_t, uint32_t, uint32_t, const DrmDumbBuffer& b,
                       uint32_t& fbId) override {
        if (int e = card.Fails(FakeDrmCard::AddFb)) {
            return e;
        }
        fbId = card.nextId++;
        card.fbs[fbId] = b.handle;
        return 0;
    }
    void RemoveFrameBuffer(uint32_t fbId) override { card.fbs.erase(fbId); }
    int SetCrtc(uint32_t crtc, uint32_t fbId, uint32_t x, uint32_t y, uint32_t,
                const drmModeModeInfo* mode) override {
        if (int e = card.Fails(FakeDrmCard::SetCrtc)) {
            return e;
        }
        if (fbId && (!card.fbs.count(fbId) || !mode)) {
            return EINVAL;
        }
        card.crtcs[crtc] = DrmCrtcState{fbId, x, y, mode ? std::optional(*mode) : std::nullopt};
        return 0;
    }
    int PageFlip(uint32_t crtc, uint32_t fbId) override {
        if (int e = card.Fails(FakeDrmCard::PageFlip)) {
            return e;
        }
        if (card.pendingFlip) {
            return EBUSY;
        }
        card.flips.push_back(fbId);
        card.pendingFlip = crtc;
        card.pendingFb = fbId;
        return 0;
    }
    int WaitForFlip(int) override {
        if (!card.pendingFlip) {
            return 0;
        }
        if (!card.flipsComplete) {
            return ETIMEDOUT;
        }
        card.crtcs[card.pendingFlip].fbId = card.pendingFb;
        card.pendingFlip = 0;
        return 0;
    }

private:
    FakeDrmCard& card;
};
