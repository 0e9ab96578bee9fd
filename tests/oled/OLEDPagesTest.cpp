// The page framework: display types, the four page kinds drawn at their coordinates on the
// emulated panel (read back from its file), a character display decoded from its expander's
// writes, and the boot image, including broken ones.
#include "oled/OLEDPages.h"
#include "OledTestBus.h"
#include "oled/XbmImage.h"
#include "support/TestMediaDir.h"

#include <map>

namespace {

std::vector<std::string> numbered(int count) {
    std::vector<std::string> items;
    for (int i = 0; i < count; i++) {
        items.push_back("Item " + std::to_string(i));
    }
    return items;
}

// What a 16x2 or 20x4 character display shows, decoded from the PCF8574 writes: each write
// latches a nibble (P4-P7) with E (P2) high then low, RS (P0) picks data over command. The first
// four nibbles are the reset into 4-bit mode; afterwards nibbles pair into bytes.
std::vector<std::string> characterScreen(const std::vector<std::vector<uint8_t>>& writes, int columns,
                                         int rows) {
    const uint8_t rowStart[4] = {0x00, 0x40, 0x14, 0x54};
    std::map<int, char> ddram;
    int address = 0, nibbles = 0, high = -1;
    for (const auto& w : writes) {
        if (w.size() != 2 || !(w[0] & 0x04) || (w[1] & 0x04)) {
            continue;
        }
        if (++nibbles <= 4) {
            continue;
        }
        if (high < 0) {
            high = w[1] >> 4;
            continue;
        }
        uint8_t value = (uint8_t)(high << 4 | (w[1] >> 4));
        high = -1;
        if (w[1] & 0x01) {
            ddram[address++] = (char)value;
        } else if (value & 0x80) {
            address = value & 0x7F;
        }
    }
    std::vector<std::string> screen(rows, std::string(columns, ' '));
    for (int r = 0; r < rows; r++) {
        for (int c = 0; c < columns; c++) {
            auto it = ddram.find(rowStart[r] + c);
            if (it != ddram.end()) {
                screen[r][c] = it->second;
            }
        }
    }
    return screen;
}

// A titled page is abstract: this one only draws its title.
struct TitleOnlyPage : TitledOLEDPage {
    using TitledOLEDPage::TitledOLEDPage;
    bool doAction(const std::string&) override { return false; }
};

class OLEDPages : public OledTestBus {
protected:
    void TearDown() override {
        OLEDPage::SetCurrentPage(nullptr);
        OLEDPage::InitializeDisplay(0);
        OLEDPage::SetOLEDType(OLEDPage::NORMAL);
        OledTestBus::TearDown();
    }
    OledPanelSnapshot shown() { return panel.read(); }
    // A filled right-pointing-down or up arrow has its middle lit.
    static bool downArrowAt(const OledPanelSnapshot& s, int c) {
        return s.lit(120, c + 2) && s.lit(118, c + 1);
    }
    static bool upArrowAt(const OledPanelSnapshot& s, int y) {
        return s.lit(120, y + 6) && s.lit(118, y + 7);
    }
};

TEST_F(OLEDPages, DisplayTypesSetThePageKindAndOutOfRangeTypesChangeNothing) {
    struct Case {
        int type;
        int oledType;
        bool flipped;
        int width, height;
    } cases[] = {{1, 2, false, 128, 64},  {2, 2, true, 128, 64},  {3, 1, false, 128, 32},
                 {4, 1, true, 128, 32},   {7, 3, false, 128, 64}, {8, 3, true, 128, 64},
                 {9, 2, false, 128, 128}, {11, 4, false, 96, 16}, {12, 4, false, 120, 32}};
    for (const Case& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type));
        ASSERT_TRUE(OLEDPage::InitializeDisplay(c.type));
        EXPECT_EQ(c.oledType, OLEDPage::GetOLEDType());
        EXPECT_EQ(c.flipped, OLEDPage::IsFlipped());
        EXPECT_EQ(c.width, OLEDPage::GetLEDDisplayWidth());
        EXPECT_EQ(c.height, OLEDPage::GetLEDDisplayHeight());
    }
    for (int bad : {21, 1000, -1}) {
        EXPECT_FALSE(OLEDPage::InitializeDisplay(bad));
        EXPECT_EQ(4, OLEDPage::GetOLEDType());
    }
    EXPECT_FALSE(OLEDPage::InitializeDisplay(0));
    EXPECT_EQ(0, OLEDPage::GetOLEDType());
    EXPECT_EQ(128, OLEDPage::GetLEDDisplayWidth());
    EXPECT_EQ(32, OLEDPage::GetLEDDisplayHeight());
    OLEDPage::printString(0, 0, "no display"); // a no-op, not a crash
}

TEST_F(OLEDPages, AMenuDrawsItsFramedTitleInvertedSelectionAndScrollArrows) {
    ASSERT_TRUE(OLEDPage::InitializeDisplay(1));
    MenuOLEDPage menu("Menu", numbered(8), nullptr);
    OLEDPage::SetCurrentPage(&menu);
    OledPanelSnapshot s = shown();
    // Title bar (0, 0, 128, 8) lit apart from its dark text; frame to row 63.
    EXPECT_GT(s.countLit(0, 0, 128, 8), 128 * 8 - 200);
    EXPECT_LT(s.countLit(0, 0, 128, 8), 128 * 8);
    EXPECT_TRUE(s.lit(0, 63) && s.lit(127, 63) && s.lit(127, 30));
    // Selection bar (4, 12, 110, 8) with the item dark on it; the next item starts at row 22.
    EXPECT_TRUE(s.lit(4, 12) && s.lit(113, 19));
    EXPECT_FALSE(s.lit(114, 15));
    EXPECT_GT(s.countLit(6, 22, 30, 8), 10);
    EXPECT_TRUE(downArrowAt(s, 53));
    EXPECT_FALSE(upArrowAt(s, 12));

    // Up from the first of 8 items with 5 lines selects item 7 with item 3 at the top.
    menu.doAction("Up");
    EXPECT_EQ(7, menu.selectedIndex());
    EXPECT_EQ(3, menu.topVisibleIndex());
    s = shown();
    EXPECT_TRUE(upArrowAt(s, 12));
    EXPECT_FALSE(downArrowAt(s, 53));
    EXPECT_TRUE(s.lit(4, 52) && s.lit(113, 59)); // the last line, 4 pitches of 10 below row 12

    menu.doAction("Down");
    EXPECT_EQ(0, menu.selectedIndex());
    EXPECT_EQ(0, menu.topVisibleIndex());
    for (int i = 0; i < 5; i++) {
        menu.doAction("Test/Down");
    }
    EXPECT_EQ(5, menu.selectedIndex());
    EXPECT_EQ(1, menu.topVisibleIndex());
}

TEST_F(OLEDPages, AShortListShowsNoArrowsAndIgnoresScrolling) {
    ASSERT_TRUE(OLEDPage::InitializeDisplay(1));
    ListOLEDPage list("List", numbered(3), nullptr);
    OLEDPage::SetCurrentPage(&list);
    for (const char* action : {"Down", "Test/Down", "Nonsense"}) {
        EXPECT_TRUE(list.doAction(action));
    }
    OledPanelSnapshot s = shown();
    EXPECT_EQ(0, s.countLit(114, 9, 13, 54));
    EXPECT_GT(s.countLit(6, 12, 40, 8), 10); // "Item 0" still first
}

TEST_F(OLEDPages, EnterAndBackGoToTheReturnPageWhichMayBeDeletedOnTheWay) {
    ASSERT_TRUE(OLEDPage::InitializeDisplay(1));
    std::string chosen;
    MenuOLEDPage home(
        "Home", numbered(2), [&](const std::string& item) { chosen = item; }, nullptr);
    auto* list = new ListOLEDPage("Temp", numbered(2), &home);
    list->deleteWhenHidden = true;
    OLEDPage::SetCurrentPage(list);
    list->doAction("Back"); // hides and deletes it (a sanitizer build sees a double use)
    EXPECT_EQ(&home, OLEDPage::GetCurrentPage());
    home.doAction("Down");
    home.doAction("Enter");
    EXPECT_EQ("Item 1", chosen);
    ListOLEDPage orphan("Orphan", {}, nullptr);
    OLEDPage::SetCurrentPage(&orphan);
    orphan.doAction("Back");
    EXPECT_EQ(&orphan, OLEDPage::GetCurrentPage());
    orphan.doAction("Enter");
    EXPECT_EQ(nullptr, OLEDPage::GetCurrentPage());
}

TEST_F(OLEDPages, APromptDrawsItsLinesAndARowOfButtonsWithTheSelectedOneFilled) {
    ASSERT_TRUE(OLEDPage::InitializeDisplay(1));
    std::string answer = "none";
    PromptOLEDPage prompt("Restart", "Restart now?", "Sure?", {"No", "Yes"},
                          [&](const std::string& option) { answer = option; });
    OLEDPage::SetCurrentPage(&prompt);
    OledPanelSnapshot s = shown();
    // 5 lines: the lines at rows 22 and 32, the buttons at row 42, 61 pixels wide from x = 4.
    EXPECT_GT(s.countLit(20, 22, 90, 8), 20);
    EXPECT_GT(s.countLit(40, 32, 50, 8), 10);
    EXPECT_TRUE(s.lit(4, 42) && s.lit(64, 49));
    EXPECT_FALSE(s.lit(65, 42) || s.lit(125, 49));
    EXPECT_GT(s.countLit(66, 42, 58, 8), 5); // "Yes" lit on a dark button
    EXPECT_FALSE(prompt.doAction("Down"));
    s = shown();
    EXPECT_TRUE(s.lit(65, 42) && s.lit(125, 49));
    EXPECT_FALSE(s.lit(4, 42));
    prompt.doAction("Down");
    prompt.doAction("Up");
    EXPECT_EQ(1, prompt.selectedOption());
    prompt.doAction("Enter");
    EXPECT_EQ("Yes", answer);

    PromptOLEDPage empty("Empty", "", "", {});
    OLEDPage::SetCurrentPage(&empty);
    EXPECT_FALSE(empty.doAction("Enter"));
}

TEST_F(OLEDPages, TitlesFollowTheDisplayKind) {
    // A title band in the larger font, 16 rows; a flipped panel keeps the framed bar.
    ASSERT_TRUE(OLEDPage::InitializeDisplay(7));
    TitleOnlyPage band("Status");
    OLEDPage::clearDisplay();
    EXPECT_EQ(16, band.displayTitle());
    OLEDPage::flushDisplay();
    OledPanelSnapshot s = shown();
    EXPECT_GT(s.countLit(0, 0, 128, 16), 20);
    EXPECT_GT(s.countLit(0, 9, 128, 7), 0); // taller than the built-in font
    EXPECT_FALSE(s.lit(0, 0));

    ASSERT_TRUE(OLEDPage::InitializeDisplay(3));
    TitleOnlyPage small("Small");
    EXPECT_EQ(8, small.displayTitle()); // 3 lines: a frame 32 rows high

    // 16 columns, a 9-character title: 7 spare, one space each side, then "=" 2 + 2 + 1.
    writes.clear();
    ASSERT_TRUE(OLEDPage::InitializeDisplay(11));
    TitleOnlyPage character("ABCDEFGHI");
    OLEDPage::clearDisplay();
    EXPECT_EQ(8, character.displayTitle());
    OLEDPage::flushDisplay();
    EXPECT_EQ("== ABCDEFGHI ===", characterScreen(writes, 16, 2)[0]);
}

TEST_F(OLEDPages, ACharacterDisplayShowsMenusWithAMarkedSelection) {
    ASSERT_TRUE(OLEDPage::InitializeDisplay(12));
    MenuOLEDPage menu("Menu", {"Status", "Network", "Outputs \xc3\xa9"}, nullptr);
    OLEDPage::SetCurrentPage(&menu);
    menu.doAction("Down");
    menu.doAction("Down");
    std::vector<std::string> screen = characterScreen(writes, 20, 4);
    EXPECT_EQ("======= Menu =======", screen[0]);
    EXPECT_EQ("Status              ", screen[1]);
    EXPECT_EQ("Network             ", screen[2]);
    EXPECT_EQ(">Outputs ??         ", screen[3]);
}

TEST_F(OLEDPages, TheBootingNoticeShowsItsTextAndTheImageFromTheMediaDirectory) {
    TestMediaDir media;
    // 10 x 2: XBM's bit 0 is the leftmost pixel and 1 is dark.
    media.write("tmp/cape-image.xbm",
                "#define cape_width 10\n#define cape_height 2\n"
                "static unsigned char cape_bits[] = {\n  0xfe, 0xff,\n  0x00, 0x00 };\n");
    ASSERT_TRUE(OLEDPage::InitializeDisplay(1));
    OLEDPage::displayBootingNotice();
    OledPanelSnapshot s = shown();
    EXPECT_GT(s.countLit(0, 0, 80, 8), 20); // "KIV Booting..."
    EXPECT_EQ("#.........\n"
              "##########\n",
              s.picture(0, 20, 10, 2));
    EXPECT_EQ(0, s.countLit(10, 20, 118, 44));
}

TEST_F(OLEDPages, BrokenBootImagesAreLeftOutWhole) {
    const std::string good = "#define i_width 8\n#define i_height 2\nstatic char i_bits[] = {0x01, 0x80};\n";
    XbmImage image;
    ASSERT_TRUE(ParseXbmImage(good, image));
    EXPECT_EQ((std::vector<uint8_t>{0x7F, 0xFE}), image.bits);
    const char* broken[] = {
        "",                                                                            // empty
        "#define i_width 8\n#define i_height 2\nstatic char i_bits[] = {0x01",         // truncated
        "static char i_bits[] = {0x01, 0x80};",                                        // no size lines
        "#define i_width 8\n#define i_height 3\nstatic char i_bits[] = {0x01, 0x80};", // size and bytes
                                                                                       // differ
        "#define i_width 8\n#define i_height 2\nstatic char i_bits[] = {0x01, 0xZZ};", // not hexadecimal
        "#define i_width 8\n#define i_height 2\nstatic char i_bits[] = {0x01, 0x1234};",
        "#define i_width -8\n#define i_height -2\nstatic char i_bits[] = {};",
        "#define i_width 99999999\n#define i_height 1\nstatic char i_bits[] = {0x00};",
    };
    for (const char* text : broken) {
        SCOPED_TRACE(text);
        XbmImage bad;
        EXPECT_FALSE(ParseXbmImage(text, bad));
        EXPECT_TRUE(bad.bits.empty());
        EXPECT_EQ(0, bad.width);
    }
    TestMediaDir media;
    media.write("tmp/cape-image.xbm", broken[3]);
    ASSERT_TRUE(OLEDPage::InitializeDisplay(1));
    OLEDPage::displayBootingNotice("Starting");
    EXPECT_TRUE(OLEDPage::CapeImage().empty());
    EXPECT_EQ(0, shown().countLit(0, 10, 128, 54));
}

} // namespace
