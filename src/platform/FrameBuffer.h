#pragma once
// A multi-page framebuffer that outputs paint into and then show, page by page. createFrameBuffer
// picks the backend from the device name: a Linux fbdev device ("/dev/fbN", a virtual resolution
// of N pages, panning to show one), a DRM connector ("DPI-1", a dumb buffer a page, flipped to
// show one; DRMFrameBuffer.h), or, when the named device does not exist, the simulated framebuffer
// of SimulatedFrameBuffer.h that other processes can read.
//
// Pages are painted by one thread (the output's) and shown by the same thread; nothing is locked.
// The caller owns the returned object; the mapping lives until it is destroyed.

#include <jsoncpp/json/json.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class FrameBuffer {
public:
    // Opens the framebuffer that config describes: "Device" (name, "fb1"), "Width" and "Height"
    // (0: the device's own mode), "BitsPerPixel" (24), "Pages" (count). Null on failure.
    static FrameBuffer* createFrameBuffer(const Json::Value& config);

    explicit FrameBuffer(const Json::Value& config);
    // Virtual operations, in this order; the sixth (SyncDisplay) shows the page being prepared.
    virtual ~FrameBuffer();
    virtual bool InitializeFrameBuffer() = 0;
    virtual void DestroyFrameBuffer() {}
    virtual std::string BackendName() const = 0;
    // Called once a page has been painted completely.
    virtual void PagePrepared() {}
    // With pageChanged 1 the page being prepared (Page()) becomes the one displayed.
    virtual void SyncDisplay(bool pageChanged) = 0;

    const std::string& Device() const { return device; }
    int Width() const { return width; }
    int Height() const { return height; }
    int BitsPerPixel() const { return bitsPerPixel; }
    int BytesPerPixel() const { return bitsPerPixel / 8; }
    // Bytes from one line's start to the next; at least Width() * BytesPerPixel().
    int LineLength() const { return lineLength; }
    int RowPadding() const { return lineLength - width * BytesPerPixel(); }
    int Pages() const { return pages; }
    int PageSize() const { return pageSize; }
    // The page now being prepared, and the one last shown (-1 before the first).
    int Page() const { return page; }
    int ShownPage() const { return shownPage; }

    // Start of page p (0 to Pages() - 1), or null for any other index.
    uint8_t* BufferPage(int p) const;
    uint8_t* CurrentPage() const { return BufferPage(page); }
    void ClearAllPages();
    // Moves preparation to the next page. Showing is SyncDisplay's; wait is accepted for callers
    // that want to wait for the flip, which the backends here do in SyncDisplay already.
    void NextPage(bool wait);

protected:
    // Sets geometry once a backend knows it; the line length is the backend's.
    void setGeometry(int w, int h, int lineBytes);
    // Where each page starts: one after the other from first, or each in a buffer of its own.
    void setContiguousPages(uint8_t* first);
    void setPageStarts(std::vector<uint8_t*> starts) { pageStarts = std::move(starts); }

    std::string device;
    int requestedWidth = 0;
    int requestedHeight = 0;
    int requestedPages = 1;
    int width = 0;
    int height = 0;
    int bitsPerPixel = 24;
    int lineLength = 0;
    int pages = 1;
    int pageSize = 0;
    int page = 0;
    int shownPage = -1;
    std::vector<uint8_t*> pageStarts; // one a page once the backend has mapped them, else empty
};
