#include "OLEDPages.h"

#include "I2C1602_2004_DisplayDriver.h"
#include "SSD1306DisplayDriver.h"
#include "XbmImage.h"

#include "common/Common.h"
#include "common/Log.h"

#include <sys/stat.h>

#include <algorithm>

DisplayDriver* OLEDPage::displayDriver = nullptr;
int OLEDPage::oledType = OLEDPage::NORMAL;
bool OLEDPage::oledFlipped = false;
bool OLEDPage::oledForcedOff = false;
bool OLEDPage::has4DirectionControls = false;
OLEDPage* OLEDPage::currentPage = nullptr;
int OLEDPage::DISPLAY_I2CBUS = 1;
std::vector<uint8_t> OLEDPage::_capeImage;
int OLEDPage::_capeImageWidth = 0;
int OLEDPage::_capeImageHeight = 0;

namespace {

constexpr off_t MAX_IMAGE_FILE = 2 * 1024 * 1024;

int pageTypeOf(int type) {
    if (type == 3 || type == 4) {
        return OLEDPage::SMALL;
    }
    if (type == 7 || type == 8) {
        return OLEDPage::TITLE_BAND;
    }
    return OLEDPage::NORMAL;
}

} // namespace

OLEDPage::~OLEDPage() {
    if (currentPage == this) {
        currentPage = nullptr;
    }
}

bool OLEDPage::InitializeDisplay(int type) {
    if (type == 0) {
        delete displayDriver;
        displayDriver = nullptr;
        oledType = NONE;
        return false;
    }
    if (type < 0 || type > 20) {
        LogWarn(LG_GENERAL, "Display type %d is not known; no display is used\n", type);
        return false;
    }
    delete displayDriver;
    displayDriver = nullptr;
    if (type <= 10) {
        displayDriver = new SSD1306DisplayDriver(type);
    } else {
        displayDriver = new I2C1602_2004_DisplayDriver(type);
    }
    if (!displayDriver->initialize(DISPLAY_I2CBUS)) {
        delete displayDriver;
        displayDriver = nullptr;
        oledType = NONE;
        return false;
    }
    if (type <= 10) {
        oledType = pageTypeOf(type);
        oledFlipped = type % 2 == 0;
    } else {
        oledType = CHARACTER;
        oledFlipped = false;
    }
    return true;
}

void OLEDPage::SetCurrentPage(OLEDPage* page) {
    OLEDPage* old = currentPage;
    if (old) {
        old->hiding();
        if (old->deleteWhenHidden && old != page) {
            delete old;
        }
    }
    currentPage = page;
    if (page) {
        page->displaying();
    }
}

void OLEDPage::clearDisplay() {
    if (displayDriver) {
        displayDriver->clearDisplay();
    }
}

void OLEDPage::flushDisplay() {
    if (displayDriver) {
        displayDriver->flushDisplay();
    }
}

void OLEDPage::displayOff() {
    if (displayDriver) {
        displayDriver->displayOff();
    }
}

void OLEDPage::fillTriangle(int16_t x0, int16_t y0, int16_t x1, int16_t y1, int16_t x2, int16_t y2,
                            bool color) {
    if (displayDriver) {
        displayDriver->fillTriangle(x0, y0, x1, y1, x2, y2, color);
    }
}

void OLEDPage::drawLine(int16_t x0, int16_t y0, int16_t x1, int16_t y1, bool color) {
    if (displayDriver) {
        displayDriver->drawLine(x0, y0, x1, y1, color);
    }
}

void OLEDPage::drawBitmap(int16_t x, int16_t y, const uint8_t* bitmap, int16_t w, int16_t h, bool color) {
    if (displayDriver) {
        displayDriver->drawBitmap(x, y, bitmap, w, h, color);
    }
}

void OLEDPage::drawRect(int x, int y, int w, int h, bool color) {
    if (displayDriver) {
        displayDriver->drawRect(x, y, w, h, color);
    }
}

void OLEDPage::fillRect(int x, int y, int w, int h, bool color) {
    if (displayDriver) {
        displayDriver->fillRect(x, y, w, h, color);
    }
}

void OLEDPage::printString(int x, int y, const std::string& text, bool color) {
    if (displayDriver && !oledForcedOff) {
        displayDriver->printString(x, y, text, color);
    }
}

void OLEDPage::printStringCentered(int y, const std::string& text, bool color) {
    if (displayDriver && !oledForcedOff) {
        displayDriver->printStringCentered(y, text, color);
    }
}

int OLEDPage::GetLEDDisplayWidth() {
    return displayDriver ? displayDriver->getWidth() : 128;
}

int OLEDPage::GetLEDDisplayHeight() {
    return displayDriver ? displayDriver->getHeight() : 32;
}

int OLEDPage::getMinimumRefresh() {
    return displayDriver ? displayDriver->getMinimumRefresh() : 1000;
}

void OLEDPage::displayBootingNotice(const std::string& text) {
    if (!displayDriver) {
        return;
    }
    readCapeImage();
    clearDisplay();
    printString(0, 0, text.empty() ? "KIV Booting..." : text);
    if (!_capeImage.empty()) {
        drawBitmap(0, 20, _capeImage.data(), _capeImageWidth, _capeImageHeight);
    }
    flushDisplay();
}

// The media directory's copy wins over the one in /tmp; an image that does not read cleanly is
// dropped whole rather than drawn in part.
void OLEDPage::readCapeImage() {
    std::string path = getKIVMediaDir("/tmp/cape-image.xbm");
    if (!FileExists(path)) {
        path = "/tmp/cape-image.xbm";
        if (!FileExists(path)) {
            return;
        }
    }
    _capeImage.clear();
    _capeImageWidth = _capeImageHeight = 0;
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || info.st_size > MAX_IMAGE_FILE) {
        LogWarn(LG_GENERAL, "Boot image %s is unreadable or too large; it is not shown\n", path.c_str());
        return;
    }
    XbmImage image;
    if (!ParseXbmImage(GetFileContents(path), image)) {
        LogWarn(LG_GENERAL, "Boot image %s is not a valid XBM image; it is not shown\n", path.c_str());
        return;
    }
    _capeImage = std::move(image.bits);
    _capeImageWidth = image.width;
    _capeImageHeight = image.height;
}

TitledOLEDPage::TitledOLEDPage(const std::string& t) : title(t) {
    int height = GetLEDDisplayHeight();
    contentLines = height == 128 ? 11 : 5;
    if (GetOLEDType() == SMALL) {
        contentLines = 3;
    } else if (GetOLEDType() == CHARACTER) {
        contentLines = std::max(height / 8 - 1, 1);
    } else if (GetOLEDType() == TITLE_BAND && IsFlipped()) {
        contentLines = 4;
    }
}

int TitledOLEDPage::linePitch() const {
    return contentLines < 4 ? 8 : contentLines == 4 ? 9 : 10;
}

int TitledOLEDPage::textX() {
    return GetOLEDType() == CHARACTER ? 0 : 6;
}

int TitledOLEDPage::displayTitle() {
    if (IsForcedOff()) {
        return 0;
    }
    if (GetOLEDType() == TITLE_BAND && !IsFlipped()) {
        if (displayDriver && displayDriver->setFont("Roboto_Medium_14")) {
            printStringCentered(0, title);
            displayDriver->setFont("");
        } else {
            printStringCentered(4, title);
        }
        return 16;
    }
    if (GetOLEDType() == CHARACTER) {
        std::string text = title;
        int spare = GetLEDDisplayWidth() / 6 - (int)title.size();
        if (spare > 4) {
            text = " " + text + " ";
            spare -= 2;
        }
        std::string rule(std::max(spare / 2, 0), '=');
        text = rule + text + rule;
        if (spare > 0 && spare % 2) {
            text += "=";
        }
        printString(0, 0, text);
        return 8;
    }
    static const int FRAME_HEIGHTS[] = {15, 23, 31, 47, 63, 63, 63, 63, 63, 63, 127};
    int frame = contentLines >= 1 && contentLines <= 11 ? FRAME_HEIGHTS[contentLines - 1] : 63;
    fillRect(0, 0, 128, 8);
    drawRect(0, 0, 128, frame + 1);
    printStringCentered(0, title, false);
    return frame > 50 ? 12 : frame > 32 ? 11 : 8;
}

ListOLEDPage::ListOLEDPage(const std::string& t, const std::vector<std::string>& i, OLEDPage* r)
    : TitledOLEDPage(t), items(i), returnPage(r) {}

void ListOLEDPage::displaying() {
    topIndex = 0;
    display();
}

void ListOLEDPage::display() {
    if (IsForcedOff()) {
        return;
    }
    clearDisplay();
    int y = displayTitle();
    displayScrollArrows(y);
    int end = std::min(topIndex + contentLines, (int)items.size());
    for (int i = topIndex; i < end; i++, y += linePitch()) {
        displayItem(i, y);
    }
    flushDisplay();
}

void ListOLEDPage::displayItem(int index, int y) {
    printString(textX(), y, items[index]);
}

void ListOLEDPage::displayScrollArrows(int y) {
    if ((int)items.size() <= contentLines) {
        return;
    }
    if (topIndex > 0) {
        fillTriangle(116, y + 8, 125, y + 8, 120, y);
    }
    if (moreBelow()) {
        int c = contentLines == 11 ? 117 : contentLines == 5 ? 53 : contentLines == 4 ? 37 : 21;
        fillTriangle(116, c, 125, c, 120, c + 8);
    }
}

// Enter and Back may delete this page (through SetCurrentPage), so they return at once.
bool ListOLEDPage::doAction(const std::string& action) {
    if (action == "Up") {
        if (topIndex > 0) {
            topIndex--;
        }
    } else if (action == "Down") {
        if (moreBelow()) {
            topIndex++;
        }
    } else if (action == "Test/Down") {
        topIndex++;
        if ((int)items.size() - topIndex < contentLines) {
            topIndex = 0;
        }
    } else if (action == "Enter") {
        SetCurrentPage(returnPage);
        return true;
    } else if (action == "Back") {
        if (returnPage) {
            SetCurrentPage(returnPage);
        }
        return true;
    } else {
        return true;
    }
    display();
    return true;
}

MenuOLEDPage::MenuOLEDPage(const std::string& t, const std::vector<std::string>& i, OLEDPage* r)
    : ListOLEDPage(t, i, r) {}

MenuOLEDPage::MenuOLEDPage(const std::string& t, const std::vector<std::string>& i, const Callback& cb,
                           OLEDPage* r)
    : ListOLEDPage(t, i, r), callback(cb) {}

void MenuOLEDPage::displaying() {
    selected = 0;
    topIndex = 0;
    display();
}

void MenuOLEDPage::display() {
    ListOLEDPage::display();
}

void MenuOLEDPage::displayItem(int index, int y) {
    if (index != selected) {
        ListOLEDPage::displayItem(index, y);
        return;
    }
    fillRect(4, y, (int)items.size() > contentLines ? 110 : 120, 8);
    printString(textX(), y, items[index], false);
}

bool MenuOLEDPage::doAction(const std::string& action) {
    int count = items.size();
    if (count == 0) {
        return ListOLEDPage::doAction(action == "Enter" ? "Back" : action);
    }
    if (action == "Down" || action == "Test/Down") {
        selected++;
        if (selected >= count) {
            selected = 0;
            topIndex = 0;
        }
        while (selected >= topIndex + contentLines) {
            topIndex++;
        }
    } else if (action == "Up") {
        if (selected > 0) {
            selected--;
            topIndex = std::min(topIndex, selected);
        } else {
            selected = count - 1;
            topIndex = std::max(count - contentLines, 0);
        }
    } else if (action == "Enter") {
        itemSelected(items[selected]); // may replace or delete this page
        return true;
    } else {
        return ListOLEDPage::doAction(action);
    }
    display();
    return true;
}

void MenuOLEDPage::itemSelected(const std::string& item) {
    if (callback) {
        callback(item);
    }
}

PromptOLEDPage::PromptOLEDPage(const std::string& t, const std::string& l1, const std::string& l2,
                               const std::vector<std::string>& o, const Callback& cb)
    : TitledOLEDPage(t), line1(l1), line2(l2), options(o), callback(cb) {}

void PromptOLEDPage::displaying() {
    selected = 0;
    display();
}

void PromptOLEDPage::display() {
    clearDisplay();
    int y = displayTitle();
    int pitch = contentLines <= 3 ? 8 : contentLines == 4 ? 9 : 10;
    if (contentLines > 4) {
        y += 10;
    }
    if (contentLines != 1) {
        printStringCentered(y, line1);
        y += pitch;
        if (contentLines >= 3) {
            printStringCentered(y, line2);
            y += pitch;
        }
    }
    int count = options.size();
    int w = count ? 122 / count : 0;
    for (int i = 0; i < count; i++) {
        if (i == selected) {
            fillRect(i * w + 4, y, w, 8);
        }
        printString(w / 2 + w * i - 3 * (int)options[i].size() + 4, y, options[i], i != selected);
    }
    flushDisplay();
}

bool PromptOLEDPage::doAction(const std::string& action) {
    int count = options.size();
    if (count == 0) {
        return false;
    }
    if (action == "Down" || action == "Test/Down") {
        selected = (selected + 1) % count;
    } else if (action == "Up") {
        selected = (selected + count - 1) % count;
    } else if (action == "Enter") {
        ItemSelected(options[selected]); // may replace or delete this page
        return false;
    } else {
        return false;
    }
    display();
    return false;
}

void PromptOLEDPage::ItemSelected(const std::string& option) {
    if (callback) {
        callback(option);
    }
}
