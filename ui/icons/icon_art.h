// The program's three icons: a clock, the same clock a moment later (the second frame of the
// tray animation) and the clock with a warning sign. Each picture is drawn afresh at every
// size from a few measurements, because 16 colours allow no smoothing and a scaled 32 x 32
// picture turns to mush at 16, 20 or 24 pixels. Header-only, so that the build-time generator
// and its test share one copy without a library of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

enum IconPicture { PICTURE_CLOCK, PICTURE_CLOCK_ALT, PICTURE_CLOCK_FAILED, PICTURE_COUNT };

// Indexes into the standard Windows 16-colour palette, plus a transparent pixel.
enum IconColour : uint8_t {
    BLACK = 0,
    DARK_BLUE = 4,
    DARK_GREY = 8,
    RED = 9,
    YELLOW = 11,
    WHITE = 15,
    CLEAR = 16
};

// Red, green, blue of the standard Windows 16-colour palette, in its usual order.
constexpr uint8_t ICON_PALETTE[16][3] = {
    {0x00, 0x00, 0x00}, {0x80, 0x00, 0x00}, {0x00, 0x80, 0x00}, {0x80, 0x80, 0x00},
    {0x00, 0x00, 0x80}, {0x80, 0x00, 0x80}, {0x00, 0x80, 0x80}, {0xC0, 0xC0, 0xC0},
    {0x80, 0x80, 0x80}, {0xFF, 0x00, 0x00}, {0x00, 0xFF, 0x00}, {0xFF, 0xFF, 0x00},
    {0x00, 0x00, 0xFF}, {0xFF, 0x00, 0xFF}, {0x00, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}};

// 32 x 32 comes first: it is the size the resources promise, and the one that older systems
// take from a file without looking further. The others serve the small-icon places (tray,
// list, caption) and display scaling up to 150 %.
constexpr int ICON_SIZE_COUNT = 5;
constexpr int ICON_SIZES[ICON_SIZE_COUNT] = {32, 16, 20, 24, 48};
constexpr int ICON_MAX_SIZE = 48;

struct IconImage {
    int size;
    uint8_t pixel[ICON_MAX_SIZE][ICON_MAX_SIZE]; // [y][x], top row first: CLEAR or a colour
};

// Measurements of the pictures at one size, in pixels. The face is a disc of odd diameter
// (size - 1) so that the centre falls on a pixel and one-pixel hands stay symmetric; its
// shadow fills the spare row and column.
struct ClockMeasures {
    int size;
    int rim;         // width of the dark ring round the face
    int tickInset;   // white between the ring and the outer end of the ticks
    int quarterTick; // length of the ticks at 12, 3, 6 and 9
    int tickWidth;
    int dotWidth; // the other eight ticks are square dots
    int hourLength, hourWidth;
    int minuteLength, minuteWidth;
    int capRadius;  // red dot over the hands' axis; -1 for none
    int signHeight; // warning triangle, standing in the lower right corner
    int markWidth;  // width of the '!' in it
    int markTop;    // rows from the triangle's top to the top of the '!'
    int markGap;    // rows between the '!' and its dot
};

constexpr ClockMeasures CLOCK_MEASURES[ICON_SIZE_COUNT] = {
    {32, 2, 1, 3, 1, 1, 6, 2, 11, 2, 1, 15, 2, 3, 2},
    {16, 1, 0, 2, 1, 1, 3, 1, 5, 1, -1, 8, 1, 3, 1},
    {20, 1, 1, 2, 1, 1, 4, 1, 6, 1, -1, 9, 1, 3, 1},
    {24, 2, 0, 3, 1, 1, 5, 2, 8, 1, 0, 11, 2, 3, 1},
    {48, 3, 2, 5, 1, 2, 9, 3, 17, 3, 2, 21, 3, 4, 2},
};

inline const ClockMeasures* MeasuresFor(int size) {
    for (const ClockMeasures& m : CLOCK_MEASURES) {
        if (m.size == size)
            return &m;
    }
    return nullptr;
}

inline void Plot(IconImage* image, int x, int y, uint8_t colour) {
    if (x >= 0 && y >= 0 && x < image->size && y < image->size)
        image->pixel[y][x] = colour;
}

// A square brush of the given width; even widths lean right and down.
inline void Stamp(IconImage* image, int x, int y, int width, uint8_t colour) {
    for (int dy = -(width - 1) / 2; dy <= width / 2; dy++) {
        for (int dx = -(width - 1) / 2; dx <= width / 2; dx++)
            Plot(image, x + dx, y + dy, colour);
    }
}

// Bresenham's line, stamped with the brush: every step moves one pixel, so the hands and ticks
// come out as clean stairs instead of blurred edges.
inline void Line(IconImage* image, int x0, int y0, int x1, int y1, int width, uint8_t colour) {
    const int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
    const int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
    for (int error = dx + dy;;) {
        Stamp(image, x0, y0, width, colour);
        if (x0 == x1 && y0 == y1)
            return;
        if (2 * error >= dy) {
            error += dy;
            x0 += sx;
        }
        if (2 * error <= dx) {
            error += dx;
            y0 += sy;
        }
    }
}

// Every pixel whose centre lies within radius + 1/2 of the centre: round, and symmetric.
inline void Disc(IconImage* image, int cx, int cy, int radius, uint8_t colour) {
    for (int y = cy - radius; y <= cy + radius; y++) {
        for (int x = cx - radius; x <= cx + radius; x++) {
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius + radius)
                Plot(image, x, y, colour);
        }
    }
}

// Offsets of the twelve hour positions on a circle of the given radius, 12 o'clock first and
// clockwise; halves are rounded away from the centre, which keeps the ring symmetric.
inline void HourOffset(int hour, int radius, int* dx, int* dy) {
    static constexpr double SIN[12] = {0, 0.5,  0.8660254,  1,  0.8660254,  0.5,
                                       0, -0.5, -0.8660254, -1, -0.8660254, -0.5};
    const double sine = SIN[hour % 12], cosine = SIN[(hour + 3) % 12];
    *dx = static_cast<int>(radius * sine + (sine < 0 ? -0.5 : 0.5));
    *dy = -static_cast<int>(radius * cosine + (cosine < 0 ? -0.5 : 0.5));
}

inline void DrawClock(IconImage* image, const ClockMeasures& m, bool later) {
    const int c = m.size / 2 - 1;
    Disc(image, c + 1, c + 1, c, DARK_GREY);
    Disc(image, c, c, c, DARK_BLUE);
    Disc(image, c, c, c - m.rim, WHITE);

    const int tickRadius = c - m.rim - m.tickInset;
    for (int hour = 0; hour < 12; hour++) {
        int x0, y0, x1, y1;
        HourOffset(hour, tickRadius, &x0, &y0);
        if (hour % 3 == 0) {
            HourOffset(hour, tickRadius - m.quarterTick + 1, &x1, &y1);
            Line(image, c + x0, c + y0, c + x1, c + y1, m.tickWidth, BLACK);
        } else {
            Stamp(image, c + x0, c + y0, m.dotWidth, DARK_GREY);
        }
    }

    // Nine o'clock, then seven and a half minutes later: both times put every hand on a
    // horizontal, vertical or diagonal line, the only directions that stay crisp.
    Line(image, c, c, c - m.hourLength, c, m.hourWidth, BLACK);
    if (later) {
        const int d = (m.minuteLength * 3 + 2) / 4;
        Line(image, c, c, c + d, c - d, m.minuteWidth, BLACK);
    } else {
        Line(image, c, c, c, c - m.minuteLength, m.minuteWidth, BLACK);
    }
    if (m.capRadius >= 0)
        Disc(image, c, c, m.capRadius, RED);
}

// A yellow triangle with a black edge and a black '!', standing in the lower right corner.
// Its sides step out one pixel every two rows, the steepest slope that stays even; the first
// step comes right under the apex, so that even the smallest sign has yellow at its top.
inline void DrawWarning(IconImage* image, const ClockMeasures& m) {
    const int top = m.size - m.signHeight, half = m.signHeight / 2;
    const int apex = m.size - 1 - half - (m.markWidth - 1); // leftmost column of the apex
    auto inside = [&](int x, int y) {
        const int spread = (y - top + 1) / 2;
        return y >= top && y < m.size && x >= apex - spread && x <= apex + m.markWidth - 1 + spread;
    };
    for (int y = top; y < m.size; y++) {
        for (int x = apex - half; x < m.size; x++) {
            if (!inside(x, y))
                continue;
            const bool edge =
                !inside(x - 1, y) || !inside(x + 1, y) || !inside(x, y - 1) || !inside(x, y + 1);
            Plot(image, x, y, edge ? BLACK : YELLOW);
        }
    }
    const int dotBottom = m.size - 2 - (m.markWidth > 1 ? 1 : 0);
    const int dotTop = dotBottom - m.markWidth + 1;
    for (int y = top + m.markTop; y <= dotBottom; y++) {
        if (y < dotTop - m.markGap || y >= dotTop) {
            for (int x = apex; x < apex + m.markWidth; x++)
                Plot(image, x, y, BLACK);
        }
    }
}

// Draws the picture at one of ICON_SIZES; returns false for any other size.
inline bool DrawIcon(IconPicture picture, int size, IconImage* image) {
    const ClockMeasures* m = MeasuresFor(size);
    if (m == nullptr)
        return false;
    image->size = size;
    for (auto& row : image->pixel) {
        for (uint8_t& p : row)
            p = CLEAR;
    }
    DrawClock(image, *m, picture == PICTURE_CLOCK_ALT);
    if (picture == PICTURE_CLOCK_FAILED)
        DrawWarning(image, *m);
    return true;
}

// Bytes of one bitmap row, padded to whole 32-bit words as Windows requires.
constexpr size_t IconRowBytes(int width, int bitsPerPixel) {
    return (static_cast<size_t>(width) * bitsPerPixel + 31) / 32 * 4;
}

constexpr size_t ICON_HEADER_BYTES = 6, ICON_ENTRY_BYTES = 16, ICON_BITMAP_HEADER_BYTES = 40;
constexpr size_t ICON_PALETTE_BYTES = 64; // 16 colours of 4 bytes

// One image of an .ico file: the bitmap header, the palette, the colour pixels and the
// transparency mask, each bitmap bottom row first.
constexpr size_t IconImageBytes(int size) {
    return ICON_BITMAP_HEADER_BYTES + ICON_PALETTE_BYTES +
           (IconRowBytes(size, 4) + IconRowBytes(size, 1)) * size;
}

constexpr size_t IconFileBytes() {
    size_t total = ICON_HEADER_BYTES;
    for (int size : ICON_SIZES)
        total += ICON_ENTRY_BYTES + IconImageBytes(size);
    return total;
}

inline uint8_t* PutLittleEndian(uint8_t* out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; i++)
        *out++ = static_cast<uint8_t>(value >> (8 * i));
    return out;
}

// Writes the picture as an .ico file with all ICON_SIZES: 4 bits per pixel and a mask, which
// every Windows version reads. Returns the length, or 0 when the buffer is too small.
inline size_t WriteIconFile(IconPicture picture, uint8_t* buffer, size_t capacity) {
    if (capacity < IconFileBytes())
        return 0;
    uint8_t* out = buffer;
    out = PutLittleEndian(out, 0, 2); // reserved
    out = PutLittleEndian(out, 1, 2); // an icon, not a cursor
    out = PutLittleEndian(out, ICON_SIZE_COUNT, 2);
    size_t offset = ICON_HEADER_BYTES + ICON_ENTRY_BYTES * ICON_SIZE_COUNT;
    for (int size : ICON_SIZES) {
        *out++ = static_cast<uint8_t>(size);
        *out++ = static_cast<uint8_t>(size);
        *out++ = 16; // colours
        *out++ = 0;
        out = PutLittleEndian(out, 1, 2); // planes
        out = PutLittleEndian(out, 4, 2); // bits per pixel
        out = PutLittleEndian(out, static_cast<uint32_t>(IconImageBytes(size)), 4);
        out = PutLittleEndian(out, static_cast<uint32_t>(offset), 4);
        offset += IconImageBytes(size);
    }
    for (int size : ICON_SIZES) {
        IconImage image;
        DrawIcon(picture, size, &image);
        const size_t colourRow = IconRowBytes(size, 4), maskRow = IconRowBytes(size, 1);
        out = PutLittleEndian(out, ICON_BITMAP_HEADER_BYTES, 4);
        out = PutLittleEndian(out, size, 4);
        out = PutLittleEndian(out, 2 * size, 4); // the colour bitmap and the mask, stacked
        out = PutLittleEndian(out, 1, 2);
        out = PutLittleEndian(out, 4, 2);
        out = PutLittleEndian(out, 0, 4); // uncompressed
        out = PutLittleEndian(out, static_cast<uint32_t>((colourRow + maskRow) * size), 4);
        for (int i = 0; i < 16; i++)
            *out++ = 0; // resolution, colours used and important: the defaults
        for (const auto& rgb : ICON_PALETTE) {
            *out++ = rgb[2];
            *out++ = rgb[1];
            *out++ = rgb[0];
            *out++ = 0;
        }
        uint8_t* colours = out;
        uint8_t* mask = out + colourRow * size;
        for (size_t i = 0; i < (colourRow + maskRow) * size; i++)
            out[i] = 0;
        for (int y = 0; y < size; y++) {
            uint8_t* colourBits = colours + colourRow * (size - 1 - y);
            uint8_t* maskBits = mask + maskRow * (size - 1 - y);
            for (int x = 0; x < size; x++) {
                const uint8_t p = image.pixel[y][x];
                if (p == CLEAR)
                    maskBits[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
                else
                    colourBits[x / 2] |= static_cast<uint8_t>(x % 2 ? p : p << 4);
            }
        }
        out += (colourRow + maskRow) * size;
    }
    return static_cast<size_t>(out - buffer);
}
