// Shapes on the frame buffer: the usual integer raster algorithms, all drawing through drawPixel,
// which drops points outside the display. Coordinates are widened to int inside so that shapes
// reaching past the 16-bit range clip instead of wrapping around onto the display.

#include "SSD1306_OLED.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace {

void verticalLine(int x, int y, int h, uint16_t color) {
    if (x < 0 || x >= getDisplayWidth() || h <= 0) {
        return;
    }
    int top = std::max(y, 0), bottom = std::min(y + h, (int)getDisplayHeight());
    for (int yy = top; yy < bottom; yy++) {
        drawPixel(x, yy, color);
    }
}

void horizontalLine(int x, int y, int w, uint16_t color) {
    if (y < 0 || y >= getDisplayHeight() || w <= 0) {
        return;
    }
    int left = std::max(x, 0), right = std::min(x + w, (int)getDisplayWidth());
    for (int xx = left; xx < right; xx++) {
        drawPixel(xx, y, color);
    }
}

void pixel(int x, int y, uint16_t color) {
    if (x >= INT16_MIN && x <= INT16_MAX && y >= INT16_MIN && y <= INT16_MAX) {
        drawPixel(x, y, color);
    }
}

// Bresenham's line between points ordered by x, with the steep case drawn with the axes swapped.
void line(int x0, int y0, int x1, int y1, uint16_t color) {
    bool steep = std::abs(y1 - y0) > std::abs(x1 - x0);
    if (steep) {
        std::swap(x0, y0);
        std::swap(x1, y1);
    }
    if (x0 > x1) {
        std::swap(x0, x1);
        std::swap(y0, y1);
    }
    int dx = x1 - x0, dy = std::abs(y1 - y0);
    int err = dx / 2;
    int ystep = y0 < y1 ? 1 : -1;
    for (; x0 <= x1; x0++) {
        if (steep) {
            pixel(y0, x0, color);
        } else {
            pixel(x0, y0, color);
        }
        err -= dy;
        if (err < 0) {
            y0 += ystep;
            err += dx;
        }
    }
}

// The midpoint algorithm's walk along one eighth of a circle: each step moves x by one and y
// inward when the error says so.
struct MidpointCircle {
    explicit MidpointCircle(int r) : f(1 - r), ddF_y(-2 * r), y(r) {}
    bool step() {
        if (x >= y) {
            return false;
        }
        if (f >= 0) {
            y--;
            ddF_y += 2;
            f += ddF_y;
        }
        x++;
        ddF_x += 2;
        f += ddF_x;
        return true;
    }
    int f, ddF_x = 1, ddF_y, x = 0, y;
};

void circleHelper(int x0, int y0, int r, uint8_t corners, uint16_t color) {
    MidpointCircle c(r);
    while (c.step()) {
        int x = c.x, y = c.y;
        if (corners & 0x4) {
            pixel(x0 + x, y0 + y, color);
            pixel(x0 + y, y0 + x, color);
        }
        if (corners & 0x2) {
            pixel(x0 + x, y0 - y, color);
            pixel(x0 + y, y0 - x, color);
        }
        if (corners & 0x8) {
            pixel(x0 - y, y0 + x, color);
            pixel(x0 - x, y0 + y, color);
        }
        if (corners & 0x1) {
            pixel(x0 - y, y0 - x, color);
            pixel(x0 - x, y0 - y, color);
        }
    }
}

void fillHelper(int x0, int y0, int r, uint8_t corners, int delta, uint16_t color) {
    MidpointCircle c(r);
    int px = 0, py = r;
    delta++; // the spans below include their last row
    while (c.step()) {
        int x = c.x, y = c.y;
        // Skipping the spans already drawn keeps inverted fills from cancelling themselves.
        if (x < (y + 1)) {
            if (corners & 1) {
                verticalLine(x0 + x, y0 - y, 2 * y + delta, color);
            }
            if (corners & 2) {
                verticalLine(x0 - x, y0 - y, 2 * y + delta, color);
            }
        }
        if (y != py) {
            if (corners & 1) {
                verticalLine(x0 + py, y0 - px, 2 * px + delta, color);
            }
            if (corners & 2) {
                verticalLine(x0 - py, y0 - px, 2 * px + delta, color);
            }
            py = y;
        }
        px = x;
    }
}

} // namespace

void writeLine(int16_t x0, int16_t y0, int16_t x1, int16_t y1, uint16_t color) {
    line(x0, y0, x1, y1, color);
}

void drawLine(int16_t x0, int16_t y0, int16_t x1, int16_t y1, uint16_t color) {
    writeLine(x0, y0, x1, y1, color);
}

void drawRect(int16_t x, int16_t y, int16_t w, int16_t h, uint16_t color) {
    if (w <= 0 || h <= 0) {
        return;
    }
    horizontalLine(x, y, w, color);
    horizontalLine(x, y + h - 1, w, color);
    verticalLine(x, y + 1, h - 2, color);
    verticalLine(x + w - 1, y + 1, h - 2, color);
}

void fillRect(int16_t x, int16_t y, int16_t w, int16_t h, uint16_t color) {
    int right = std::min(x + w, (int)getDisplayWidth());
    for (int xx = std::max((int)x, 0); xx < right; xx++) {
        verticalLine(xx, y, h, color);
    }
}

void drawCircle(int16_t x0, int16_t y0, int16_t r, uint16_t color) {
    if (r < 0) {
        return;
    }
    pixel(x0, y0 + r, color);
    pixel(x0, y0 - r, color);
    pixel(x0 + r, y0, color);
    pixel(x0 - r, y0, color);
    circleHelper(x0, y0, r, 0xF, color);
}

void drawCircleHelper(int16_t x0, int16_t y0, int16_t r, uint8_t cornername, uint16_t color) {
    circleHelper(x0, y0, r, cornername, color);
}

void fillCircle(int16_t x0, int16_t y0, int16_t r, uint16_t color) {
    if (r < 0) {
        return;
    }
    verticalLine(x0, y0 - r, 2 * r + 1, color);
    fillHelper(x0, y0, r, 3, 0, color);
}

void fillCircleHelper(int16_t x0, int16_t y0, int16_t r, uint8_t corners, int16_t delta, uint16_t color) {
    fillHelper(x0, y0, r, corners, delta, color);
}

void drawTriangle(int16_t x0, int16_t y0, int16_t x1, int16_t y1, int16_t x2, int16_t y2, uint16_t color) {
    drawLine(x0, y0, x1, y1, color);
    drawLine(x1, y1, x2, y2, color);
    drawLine(x2, y2, x0, y0, color);
}

// Corners sorted by y; each row between gets one span from the long edge (0 to 2) to the short
// edge in use (0 to 1 above the middle corner, 1 to 2 below it).
void fillTriangle(int16_t x0, int16_t y0, int16_t x1, int16_t y1, int16_t x2, int16_t y2, uint16_t color) {
    int ax = x0, ay = y0, bx = x1, by = y1, cx = x2, cy = y2;
    if (ay > by) {
        std::swap(ay, by);
        std::swap(ax, bx);
    }
    if (by > cy) {
        std::swap(cy, by);
        std::swap(cx, bx);
    }
    if (ay > by) {
        std::swap(ay, by);
        std::swap(ax, bx);
    }
    if (ay == cy) { // all on one row
        int left = std::min({ax, bx, cx}), right = std::max({ax, bx, cx});
        horizontalLine(left, ay, right - left + 1, color);
        return;
    }
    long dx01 = bx - ax, dy01 = by - ay, dx02 = cx - ax, dy02 = cy - ay, dx12 = cx - bx, dy12 = cy - by;
    long sa = 0, sb = 0;
    int last = by == cy ? by : by - 1; // the middle row belongs to the lower part unless flat
    int y = ay;
    for (; y <= last; y++) {
        int a = ax + sa / dy01, b = ax + sb / dy02;
        sa += dx01;
        sb += dx02;
        horizontalLine(std::min(a, b), y, std::abs(b - a) + 1, color);
    }
    sa = dx12 * (y - by);
    sb = dx02 * (y - ay);
    for (; y <= cy; y++) {
        int a = bx + sa / dy12, b = ax + sb / dy02;
        sa += dx12;
        sb += dx02;
        horizontalLine(std::min(a, b), y, std::abs(b - a) + 1, color);
    }
}

void drawRoundRect(int16_t x, int16_t y, int16_t w, int16_t h, int16_t r, uint16_t color) {
    int maxRadius = std::min(w, h) / 2;
    r = std::clamp<int>(r, 0, std::max(maxRadius, 0));
    horizontalLine(x + r, y, w - 2 * r, color);
    horizontalLine(x + r, y + h - 1, w - 2 * r, color);
    verticalLine(x, y + r, h - 2 * r, color);
    verticalLine(x + w - 1, y + r, h - 2 * r, color);
    circleHelper(x + r, y + r, r, 1, color);
    circleHelper(x + w - r - 1, y + r, r, 2, color);
    circleHelper(x + w - r - 1, y + h - r - 1, r, 4, color);
    circleHelper(x + r, y + h - r - 1, r, 8, color);
}

void fillRoundRect(int16_t x, int16_t y, int16_t w, int16_t h, int16_t r, uint16_t color) {
    int maxRadius = std::min(w, h) / 2;
    r = std::clamp<int>(r, 0, std::max(maxRadius, 0));
    fillRect(x + r, y, w - 2 * r, h, color);
    fillHelper(x + w - r - 1, y + r, r, 1, h - 2 * r - 1, color);
    fillHelper(x + r, y + r, r, 2, h - 2 * r - 1, color);
}

void drawBitmap(int16_t x, int16_t y, const uint8_t* bitmap, int16_t w, int16_t h, uint16_t color) {
    if (!bitmap || w <= 0 || h <= 0) {
        return;
    }
    int rowBytes = (w + 7) / 8;
    for (int j = 0; j < h; j++) {
        for (int i = 0; i < w; i++) {
            if (bitmap[j * rowBytes + i / 8] & (0x80 >> (i & 7))) {
                pixel(x + i, y + j, color);
            }
        }
    }
}
