// The graphic display driver and its library: the bytes each controller family is sent, checked
// against a recorder of the I2C layer, and what the drawing and text functions leave in the
// emulated panel's memory, read back from its file.
#include "OledTestBus.h"
#include "oled/SSD1306DisplayDriver.h"
#include "oled/SSD1306_OLED.h"

#include <climits>
#include <cmath>
#include <functional>
#include <memory>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

// Command sequences as the controllers' datasheets want them for these panels.
const Bytes SSD1306_64 = {0xAE, 0xA8, 63,   0xD5, 0x80, 0xD3, 0x00, 0x40, 0x8D, 0x14, 0x20,
                          0x00, 0xA1, 0xC8, 0xDA, 0x12, 0xD9, 0xF1, 0xDB, 0x40, 0xA4, 0xA6};
const Bytes SSD1306_32 = {0xAE, 0xA8, 31,   0xD5, 0x80, 0xD3, 0x00, 0x40, 0x8D, 0x14, 0x20,
                          0x00, 0xA1, 0xC8, 0xDA, 0x02, 0xD9, 0xF1, 0xDB, 0x40, 0xA4, 0xA6};
const Bytes SH1106_64 = {0xAE, 0xA8, 63,   0x02, 0x10, 0xD3, 0x00, 0x40, 0xB0, 0xA1, 0xA6, 0xAD,
                         0x8B, 0x30, 0xC8, 0xD5, 0x80, 0xD9, 0x1F, 0xDA, 0x12, 0xDB, 0x40};
const Bytes SSD1327_128 = {0xAE, 0x15, 0x00, 0x7F, 0x75, 0x00, 0x7F, 0x81, 0x80, 0xA0, 0x51, 0xA1,
                           0x00, 0xA2, 0x00, 0xA4, 0xA8, 0x7F, 0xB1, 0xF1, 0xB3, 0x00, 0xAB, 0x01,
                           0xB6, 0x0F, 0xBE, 0x0F, 0xBC, 0x08, 0xD5, 0x62, 0xFD, 0x12, 0xB9};

// One line a write: "c XX" for a command, "d N" for a data write of N bytes (control byte included).
std::string shapeOf(const std::vector<Bytes>& writes, size_t from = 0) {
    std::string text;
    for (size_t i = from; i < writes.size(); i++) {
        char line[32];
        if (writes[i].size() == 2 && writes[i][0] == 0x00) {
            snprintf(line, sizeof(line), "c %02X\n", writes[i][1]);
        } else {
            snprintf(line, sizeof(line), "d %zu\n", writes[i].size());
        }
        text += line;
    }
    return text;
}

std::string cmds(const Bytes& bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        char line[8];
        snprintf(line, sizeof(line), "c %02X\n", b);
        text += line;
    }
    return text;
}

std::string dataWrites(int count, int size) {
    std::string text;
    for (int i = 0; i < count; i++) {
        text += "d " + std::to_string(size) + "\n";
    }
    return text;
}

std::string sh1106Pages() {
    std::string text = cmds({0x00, 0x10, 0x40});
    for (int page = 0; page < 8; page++) {
        text += cmds({(uint8_t)(0xB0 + page), 0x02, 0x10}) + dataWrites(8, 17);
    }
    return text;
}

class SSD1306 : public OledTestBus {
protected:
    // A driver of the type, initialised; its writes are forgotten unless keepWrites.
    void open(int type, bool keepWrites = false) {
        driver = std::make_unique<SSD1306DisplayDriver>(type);
        int bus = -1;
        ASSERT_TRUE(driver->initialize(bus));
        EXPECT_EQ(1, bus);
        if (!keepWrites) {
            writes.clear();
        }
        driver->setFont("");
    }
    // Clears, draws, sends the buffer and reads the panel back.
    OledPanelSnapshot drawn(const std::function<void()>& draw) {
        driver->clearDisplay();
        draw();
        driver->flushDisplay();
        return panel.read();
    }

    std::unique_ptr<SSD1306DisplayDriver> driver;
};

TEST_F(SSD1306, EachFamilyIsInitialisedWithItsSequenceContrastScrollOffAndDisplayOn) {
    struct Case {
        int type;
        Bytes sequence;
        uint8_t contrast;
    } cases[] = {
        {1, SSD1306_64, 0xCF}, {2, SSD1306_64, 0xCF}, {3, SSD1306_32, 0x8F},  {4, SSD1306_32, 0x8F},
        {5, SH1106_64, 0x80},  {7, SSD1306_64, 0xCF}, {9, SSD1327_128, 0x80}, {10, SSD1327_128, 0x80},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type));
        writes.clear();
        open(c.type, true);
        EXPECT_EQ(cmds(concat({c.sequence, {0x81, c.contrast, 0x2E, 0xAF}})), shapeOf(writes));
        OledPanelSnapshot s = panel.read();
        EXPECT_EQ(1u, s.displayOn);
        EXPECT_EQ(0u, s.inverted);
    }
}

TEST_F(SSD1306, EachFamilyTransfersItsBufferInItsOwnWrites) {
    const std::string window = cmds({0x21, 0x00, 0x7F, 0x22, 0x00, 0x07});
    struct Case {
        int type;
        std::string shape;
    } cases[] = {
        {1, window + dataWrites(8, 129)},
        {3, window + dataWrites(4, 129)},
        {5, window + sh1106Pages()},
        // 8192 bytes are a whole number of 128-byte writes: the last one is full too.
        {9, cmds({0x15, 0x00, 0x7F, 0x75, 0x00, 0x7F}) + dataWrites(64, 129)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type));
        open(c.type);
        driver->flushDisplay();
        EXPECT_EQ(c.shape, shapeOf(writes));
    }
}

TEST_F(SSD1306, AFailedWriteEndsTheSequenceAndTheInitialisationFails) {
    struct Case {
        int type;
        int failAt;
    } cases[] = {{1, 0}, {1, 13}, {5, 22}, {9, 36}};
    for (const Case& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type) + " failing write " + std::to_string(c.failAt));
        writes.clear();
        failures = 0;
        failAtWrite = c.failAt;
        SSD1306DisplayDriver failing(c.type);
        int bus = -1;
        EXPECT_FALSE(failing.initialize(bus));
        EXPECT_EQ((size_t)c.failAt, writes.size());
    }
    failAtWrite = -1;
    open(1);
    failures = 0;
    failAtWrite = 2;
    EXPECT_EQ(1, Display());
    EXPECT_EQ(2u, writes.size());
}

TEST_F(SSD1306, TypeZeroOpensTheDeviceWithoutInitialisingIt) {
    SSD1306DisplayDriver plain(0);
    int bus = -1;
    EXPECT_TRUE(plain.initialize(bus));
    EXPECT_EQ(1, bus);
    EXPECT_TRUE(writes.empty());
}

TEST_F(SSD1306, InversionAndScrollingSendTheirCommands) {
    open(1);
    EXPECT_EQ(0, invertDisplay(true));
    EXPECT_EQ(1u, panel.read().inverted);
    EXPECT_EQ(0, invertDisplay(false));
    EXPECT_EQ(0u, panel.read().inverted);
    writes.clear();
    startscrollright(1, 6);
    startscrolldiagleft(0, 7);
    stopscroll();
    EXPECT_EQ(cmds({0x26, 0x00, 1, 0x00, 6, 0x00, 0xFF, 0x2F, 0xA3, 0x00, 64, 0x2A, 0x00, 0, 0x00, 7, 0x01,
                    0x2F, 0x2E}),
              shapeOf(writes));
}

// The same corner pixels land where each family's panel shows them, flipped types turned round.
TEST_F(SSD1306, PixelsReachTheGlassOfEveryFamilyAndRotationTwoTurnsThemRound) {
    struct Case {
        int type;
        int panelX0; // memory column of the glass's column 0
        int width, height;
        bool flipped;
    } cases[] = {{1, 0, 128, 64, false}, {2, 0, 128, 64, true},   {3, 0, 128, 32, false},
                 {5, 2, 128, 64, false}, {9, 0, 128, 128, false}, {10, 0, 128, 128, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type));
        open(c.type);
        OledPanelSnapshot s = drawn([&] {
            drawPixel(0, 0, OLED_WHITE);
            drawPixel(3, 1, OLED_WHITE);
            drawPixel(c.width - 1, c.height - 1, OLED_WHITE);
        });
        ASSERT_TRUE(s.valid);
        auto at = [&](int x, int y) {
            return c.flipped ? s.lit(c.panelX0 + c.width - 1 - x, c.height - 1 - y) : s.lit(c.panelX0 + x, y);
        };
        EXPECT_TRUE(at(0, 0));
        EXPECT_TRUE(at(3, 1));
        EXPECT_TRUE(at(c.width - 1, c.height - 1));
        EXPECT_EQ(3, s.countLit(0, 0, s.width, s.height));
    }
}

TEST_F(SSD1306, ShapesAreRasterisedWhereTheyWereAsked) {
    open(1);
    OledPanelSnapshot s = drawn([] { drawLine(0, 0, 127, 63, OLED_WHITE); });
    EXPECT_EQ(128, s.countLit(0, 0, 128, 64));
    EXPECT_TRUE(s.lit(0, 0) && s.lit(127, 63) && s.lit(64, 32));

    s = drawn([] { drawRect(10, 10, 20, 10, OLED_WHITE); });
    EXPECT_EQ(2 * 20 + 2 * 8, s.countLit(0, 0, 128, 64));
    EXPECT_TRUE(s.lit(10, 10) && s.lit(29, 19));
    EXPECT_FALSE(s.lit(11, 11));

    s = drawn([] { fillRect(10, 10, 20, 10, OLED_WHITE); });
    EXPECT_EQ(200, s.countLit(10, 10, 20, 10));
    EXPECT_EQ(200, s.countLit(0, 0, 128, 64));

    s = drawn([] { drawCircle(64, 32, 10, OLED_WHITE); });
    EXPECT_TRUE(s.lit(64, 22) && s.lit(64, 42) && s.lit(54, 32) && s.lit(74, 32));
    EXPECT_FALSE(s.lit(64, 32));
    EXPECT_EQ(0, s.countLit(0, 0, 54, 64) + s.countLit(75, 0, 53, 64));

    s = drawn([] { fillCircle(64, 32, 10, OLED_WHITE); });
    int area = s.countLit(0, 0, 128, 64);
    EXPECT_NEAR(M_PI * 10.5 * 10.5, area, 25) << s.picture(50, 18, 30, 30);
    EXPECT_TRUE(s.lit(64, 32) && s.lit(64, 22) && s.lit(74, 32));
    EXPECT_FALSE(s.lit(75, 32) || s.lit(72, 24));

    s = drawn([] { fillTriangle(0, 0, 20, 0, 0, 20, OLED_WHITE); });
    EXPECT_NEAR(21 * 22 / 2, s.countLit(0, 0, 128, 64), 21) << s.picture(0, 0, 24, 22);
    EXPECT_TRUE(s.lit(0, 0) && s.lit(20, 0) && s.lit(0, 20) && s.lit(5, 5));
    EXPECT_FALSE(s.lit(15, 15));

    s = drawn([] { drawTriangle(0, 0, 20, 0, 0, 20, OLED_WHITE); });
    EXPECT_FALSE(s.lit(5, 5));
    EXPECT_TRUE(s.lit(10, 10) || s.lit(10, 11) || s.lit(11, 10));

    s = drawn([] { fillRoundRect(10, 10, 30, 20, 5, OLED_WHITE); });
    EXPECT_FALSE(s.lit(10, 10));
    EXPECT_TRUE(s.lit(25, 10) && s.lit(10, 20) && s.lit(25, 20));

    // Rows of 10 bits padded to two bytes, most significant bit first.
    const uint8_t bitmap[] = {0xFF, 0xC0, 0x80, 0x40};
    s = drawn([&] { drawBitmap(50, 40, bitmap, 10, 2, OLED_WHITE); });
    EXPECT_EQ(10, s.countLit(50, 40, 10, 1));
    EXPECT_EQ("#........#\n", s.picture(50, 41, 10, 1));
    EXPECT_EQ(12, s.countLit(0, 0, 128, 64));

    s = drawn([] {
        fillRect(0, 0, 8, 8, OLED_WHITE);
        fillRect(4, 0, 8, 8, OLED_INVERSE);
    });
    EXPECT_EQ(8 * 8, s.countLit(0, 0, 128, 64));
    EXPECT_FALSE(s.lit(5, 3));
}

TEST_F(SSD1306, BuiltInTextShowsTheFixedFontAndInvertedTextIsDarkOnLight) {
    open(1);
    OledPanelSnapshot s = drawn([&] { driver->printString(0, 0, "A"); });
    EXPECT_EQ(".##..\n"
              "#..#.\n"
              "#..#.\n"
              "####.\n"
              "#..#.\n"
              "#..#.\n"
              ".....\n"
              ".....\n",
              s.picture(0, 0, 5, 8));
    EXPECT_EQ(0, s.countLit(5, 0, 123, 64));

    s = drawn([&] {
        driver->fillRect(0, 8, 12, 8);
        driver->printString(0, 8, "A", false);
    });
    EXPECT_EQ("#..##\n"
              ".##.#\n",
              s.picture(0, 8, 5, 2));
    EXPECT_EQ(12 * 8 - 14, s.countLit(0, 8, 12, 8)) << s.picture(0, 8, 12, 8);

    s = drawn([&] { driver->printString(0, 0, "AA"); });
    EXPECT_EQ(s.picture(0, 0, 5, 8), s.picture(6, 0, 5, 8));
}

TEST_F(SSD1306, TheProportionalFontIsSelectedOnlyByItsExactNameAndDrawsBelowTheCursorLine) {
    open(1);
    auto widthOf = [&](const char* text) { return getTextWidth(text); };
    EXPECT_EQ(5 * 4, widthOf("IIII"));
    EXPECT_TRUE(driver->setFont("Roboto_Medium_14"));
    int proportional = widthOf("IIII");
    EXPECT_NE(20, proportional);
    EXPECT_FALSE(driver->setFont("Roboto_Medium_14x"));
    EXPECT_FALSE(driver->setFont("Roboto"));
    EXPECT_EQ(proportional, widthOf("IIII"));

    OledPanelSnapshot s = drawn([&] { driver->printString(10, 20, "I"); });
    int lit = s.countLit(0, 0, 128, 64);
    EXPECT_GE(lit, 10);
    EXPECT_EQ(lit, s.countLit(10, 20, 6, 15)) << s.picture(8, 18, 10, 18); // within the 15-row line
    EXPECT_GE(s.countLit(10, 21, 6, 11), 10);

    EXPECT_TRUE(driver->setFont(""));
    EXPECT_EQ(20, widthOf("IIII"));
}

TEST_F(SSD1306, CentredTextIsCentredOnColumn64AndAnEmptyStringLeavesTheCursorThere) {
    open(1);
    driver->printStringCentered(0, "");
    EXPECT_EQ(64, getCursorX());
    OledPanelSnapshot s = drawn([&] { driver->printStringCentered(0, "AAAA"); });
    // 20 pixels wide: starts at 54.
    EXPECT_EQ(0, s.countLit(0, 0, 54, 8));
    EXPECT_GT(s.countLit(54, 0, 1, 8), 0);
    EXPECT_EQ(20, getTextWidth("AA\nAAAA\r"));
    EXPECT_EQ(5, getTextWidth("\xc3\xa9")); // a two-byte sequence is one glyph wide
}

TEST_F(SSD1306, NumbersPrintAsTheirDigitsWouldInEveryBaseAndForm) {
    open(1);
    struct Case {
        std::function<int()> print;
        const char* text;
    } cases[] = {
        {[] { return printNumber_UL(255, 16); }, "FF"},
        {[] { return printNumber_UL(35, 36); }, "Z"},
        {[] { return printNumber_UC(5, 1); }, "5"},
        {[] { return printNumber_UL(65, 0); }, "A"},
        {[] { return printNumber_I(-42, 10); }, "-42"},
        {[] { return printNumber_L(LONG_MIN, 10); }, "-9223372036854775808"},
        {[] { return printNumber_UI(5, 2); }, "101"},
        {[] { return printFloat(2, 3.14159); }, "3.14"},
        {[] { return printFloat(0, 2.5); }, "3"},
        {[] { return printFloat(1, -0.04); }, "-0.0"},
        {[] { return printFloat(2, NAN); }, "nan"},
        {[] { return printFloat(2, INFINITY); }, "inf"},
        {[] { return printFloat(2, 5e9); }, "ovf"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int count = 0;
        OledPanelSnapshot printed = drawn([&] {
            setCursor(0, 0);
            count = c.print();
        });
        OledPanelSnapshot expected = drawn([&] {
            setCursor(0, 0);
            print_str(c.text);
        });
        EXPECT_EQ(expected.memory, printed.memory);
        EXPECT_EQ((int)strlen(c.text), count);
    }
}

// Bad input: bytes above 127, text and shapes far past every edge; the buffer is never left
// (a sanitizer build checks that) and nothing wraps back onto the display.
TEST_F(SSD1306, TextAndShapesPastEveryEdgeStayClippedOnEveryFamily) {
    for (int type : {1, 3, 5, 9}) {
        SCOPED_TRACE("type " + std::to_string(type));
        open(type);
        OledPanelSnapshot s = drawn([&] {
            driver->printString(-1000, 0, "\xff\xb0\xc3\xa9 high bytes");
            driver->printString(0, 32760, std::string(200, 'W'));
            driver->printString(0, -7, "");
            driver->fillRect(-30000, -30000, 30000, 30000);
            driver->drawRect(INT_MIN, INT_MIN, INT_MAX, INT_MAX);
            driver->fillTriangle(-32768, -32768, 32767, -32768, -32768, -1);
            driver->drawLine(-32768, 32767, 32767, 32767);
            setTextSize(255);
            setTextWrap(false);
            setCursor(0, 0);
            print_str(std::string(400, 'M').c_str());
            setTextSize(1);
            setTextWrap(true);
            drawCircle(0, 0, 32767, OLED_WHITE);
        });
        EXPECT_TRUE(s.valid);
        OledPanelSnapshot blank = drawn([&] {
            setTextWrap(false);
            driver->printString(32700, 0, std::string(12000, 'X'));
            driver->printString(-32768, 10, std::string(3000, 'X'));
            setTextWrap(true);
        });
        EXPECT_EQ(0, blank.countLit(0, 0, blank.width, blank.height));
    }
}

} // namespace
