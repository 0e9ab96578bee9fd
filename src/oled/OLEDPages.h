#pragma once
// The status program's page framework: one display driver shared by every page, one current page
// that receives the button actions ("Up", "Down", "Test/Down", "Enter", "Back"), and four kinds
// of page: a titled page, a scrolling list, a menu with a selection bar and a callback, and a
// prompt with a row of option buttons.
//
// Ownership: the driver belongs to OLEDPage (replaced only by InitializeDisplay). Pages belong to
// their creator unless their deleteWhenHidden flag is set, in which case SetCurrentPage deletes
// them once they stop being current. Return pages are not owned. Single-threaded.

#include "DisplayDriver.h"

#include <functional>
#include <string>
#include <vector>

class OLEDPage {
public:
    // What the display is: see SetOLEDType.
    enum { NONE = 0, SMALL = 1, NORMAL = 2, TITLE_BAND = 3, CHARACTER = 4 };

    // A page destroyed while current leaves no page current.
    virtual ~OLEDPage();
    virtual void displaying() {}
    virtual void hiding() {}
    virtual void display() {}
    // Periodic work; true when something was done.
    virtual bool doIteration(bool& redisplay) {
        (void)redisplay;
        return false;
    }
    virtual bool doAction(const std::string& action) = 0;

    bool deleteWhenHidden = false;

    // Types 1 to 10 graphic panels, 11 to 20 character displays, 0 none; false when no display
    // works (all drawing is then skipped).
    static bool InitializeDisplay(int type);
    // 0 none, 1 graphic 128x32, 2 graphic 128x64 or 128x128, 3 128x64 with a title band,
    // 4 character display.
    static void SetOLEDType(int type) { oledType = type; }
    static int GetOLEDType() { return oledType; }
    static bool IsFlipped() { return oledFlipped; }
    static void SetForcedOff(bool off) { oledForcedOff = off; }
    static bool IsForcedOff() { return oledForcedOff; }
    static void SetHas4DirectionControls(bool has) { has4DirectionControls = has; }
    static bool Has4DirectionControls() { return has4DirectionControls; }
    static int GetI2CBus() { return DISPLAY_I2CBUS; }
    static void SetCurrentPage(OLEDPage* page);
    static OLEDPage* GetCurrentPage() { return currentPage; }

    static void clearDisplay();
    static void flushDisplay();
    static void displayOff();
    static void fillTriangle(int16_t x0, int16_t y0, int16_t x1, int16_t y1, int16_t x2, int16_t y2,
                             bool color = true);
    static void drawLine(int16_t x0, int16_t y0, int16_t x1, int16_t y1, bool color = true);
    static void drawBitmap(int16_t x, int16_t y, const uint8_t* bitmap, int16_t w, int16_t h,
                           bool color = true);
    static void drawRect(int x, int y, int w, int h, bool color = true);
    static void fillRect(int x, int y, int w, int h, bool color = true);
    static void printString(int x, int y, const std::string& text, bool color = true);
    static void printStringCentered(int y, const std::string& text, bool color = true);
    static int GetLEDDisplayWidth();
    static int GetLEDDisplayHeight();
    static int getMinimumRefresh();

    // Clears, prints text ("KIV Booting..." when empty) at the top and the boot image below it.
    static void displayBootingNotice(const std::string& text = "");
    // Reads the boot image (media directory + "/tmp/cape-image.xbm", else /tmp/cape-image.xbm);
    // a missing or malformed file leaves it empty.
    static void readCapeImage();
    static const std::vector<uint8_t>& CapeImage() { return _capeImage; }
    static int CapeImageWidth() { return _capeImageWidth; }
    static int CapeImageHeight() { return _capeImageHeight; }

protected:
    static DisplayDriver* displayDriver;

private:
    static int oledType;
    static bool oledFlipped;
    static bool oledForcedOff;
    static bool has4DirectionControls;
    static OLEDPage* currentPage;
    static int DISPLAY_I2CBUS;
    static std::vector<uint8_t> _capeImage;
    static int _capeImageWidth;
    static int _capeImageHeight;
};

// A page with a title: a framed bar, a band in a larger font, or a row of "=" on a character
// display, depending on the display.
class TitledOLEDPage : public OLEDPage {
public:
    explicit TitledOLEDPage(const std::string& title);
    // Draws the title; returns the first free row below it (0 while the display is forced off).
    virtual int displayTitle();

protected:
    // Rows between lines of text, and the column text starts at.
    int linePitch() const;
    static int textX();

    std::string title;
    int contentLines; // lines of text below the title
};

// A titled list of lines that scrolls with "Up" and "Down".
class ListOLEDPage : public TitledOLEDPage {
public:
    ListOLEDPage(const std::string& title, const std::vector<std::string>& items, OLEDPage* returnPage);

    void displaying() override;
    void display() override;
    bool doAction(const std::string& action) override;
    virtual void displayScrollArrows(int y);

    void setItems(const std::vector<std::string>& newItems) { items = newItems; }

protected:
    bool moreBelow() const { return topIndex + contentLines < (int)items.size(); }
    // Draws one item at row y.
    virtual void displayItem(int index, int y);

    std::vector<std::string> items;
    int topIndex = 0;
    OLEDPage* returnPage;
};

// A list with a selected line; "Enter" hands the selected item's text to itemSelected.
class MenuOLEDPage : public ListOLEDPage {
public:
    using Callback = std::function<void(const std::string&)>;
    MenuOLEDPage(const std::string& title, const std::vector<std::string>& items, OLEDPage* returnPage);
    MenuOLEDPage(const std::string& title, const std::vector<std::string>& items, const Callback& callback,
                 OLEDPage* returnPage);

    void displaying() override;
    void display() override;
    bool doAction(const std::string& action) override;
    // Calls the callback, if any.
    virtual void itemSelected(const std::string& item);

    int selectedIndex() const { return selected; }
    int topVisibleIndex() const { return topIndex; }

protected:
    void displayItem(int index, int y) override; // the selected one on an inverted bar

    int selected = 0;
    Callback callback;
};

// A question of up to two lines with a row of option buttons.
class PromptOLEDPage : public TitledOLEDPage {
public:
    using Callback = std::function<void(const std::string&)>;
    PromptOLEDPage(const std::string& title, const std::string& line1, const std::string& line2,
                   const std::vector<std::string>& options, const Callback& callback = nullptr);

    void displaying() override;
    void display() override;
    bool doAction(const std::string& action) override;
    // Calls the callback, if any.
    virtual void ItemSelected(const std::string& option);

    int selectedOption() const { return selected; }

protected:
    std::string line1, line2;
    std::vector<std::string> options;
    int selected = 0;
    Callback callback;
};
