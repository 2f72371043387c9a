#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "ui/icons/icon_art.h"

// Reads the .ico files the way Windows does, from the bytes alone, and checks what the
// system relies on: the directory, the bitmap headers, the palette and the padded rows.
namespace {

uint32_t Read(const uint8_t* p, int bytes) {
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; i--)
        value = value << 8 | p[i];
    return value;
}

struct Icon {
    uint8_t bytes[IconFileBytes() + 64];
    size_t length;
};

// Decodes the image of the given size from the file into pixels (CLEAR where the mask is set);
// false when the file has no sound image of that size.
bool Decode(const Icon& icon, int size, IconImage* image) {
    const uint8_t* file = icon.bytes;
    for (size_t i = 0; i < Read(file + 4, 2); i++) {
        const uint8_t* entry = file + 6 + 16 * i;
        if (6 + 16 * (i + 1) > icon.length || entry[0] != size)
            continue;
        const uint32_t length = Read(entry + 8, 4), offset = Read(entry + 12, 4);
        const size_t width = size, colourRow = (width * 4 + 31) / 32 * 4;
        const size_t maskRow = (width + 31) / 32 * 4;
        EXPECT_EQ(length, 40 + 64 + (colourRow + maskRow) * size) << "size " << size;
        if (offset > icon.length || length > icon.length - offset ||
            length != 40 + 64 + (colourRow + maskRow) * size)
            return false;
        const uint8_t* header = file + offset;
        EXPECT_EQ(Read(header, 4), 40u);
        EXPECT_EQ(Read(header + 4, 4), uint32_t(size));
        EXPECT_EQ(Read(header + 8, 4), uint32_t(2 * size)); // colour bitmap over the mask
        EXPECT_EQ(Read(header + 12, 2), 1u);
        EXPECT_EQ(Read(header + 14, 2), 4u);
        EXPECT_EQ(Read(header + 16, 4), 0u);
        const uint8_t* palette = header + 40;
        const uint8_t* colours = palette + 64;
        const uint8_t* mask = colours + colourRow * size;
        image->size = size;
        for (int y = 0; y < size; y++) {
            const uint8_t* colourBits = colours + colourRow * (size - 1 - y);
            const uint8_t* maskBits = mask + maskRow * (size - 1 - y);
            for (int x = 0; x < size; x++) {
                const uint8_t colour = (colourBits[x / 2] >> (x % 2 ? 0 : 4)) & 15;
                const bool clear = (maskBits[x / 8] >> (7 - x % 8)) & 1;
                // A masked pixel must be black, or it would tint the desktop behind it.
                EXPECT_TRUE(!clear || colour == 0) << size << ": " << x << "," << y;
                image->pixel[y][x] = clear ? uint8_t{CLEAR} : colour;
            }
        }
        return true;
    }
    return false;
}

bool Same(const IconImage& a, const IconImage& b) {
    for (int y = 0; y < a.size; y++) {
        if (a.size != b.size || memcmp(a.pixel[y], b.pixel[y], a.size) != 0)
            return false;
    }
    return true;
}

int Count(const IconImage& image, uint8_t colour) {
    int count = 0;
    for (int y = 0; y < image.size; y++) {
        for (int x = 0; x < image.size; x++)
            count += image.pixel[y][x] == colour;
    }
    return count;
}

TEST(Icons, FilesHoldEverySizeAsDrawn) {
    // Blue, green, red, zero: the order of the palette entries in a bitmap.
    const uint8_t windowsColours[16][4] = {
        {0, 0, 0, 0},       {0, 0, 128, 0},   {0, 128, 0, 0},   {0, 128, 128, 0},
        {128, 0, 0, 0},     {128, 0, 128, 0}, {128, 128, 0, 0}, {192, 192, 192, 0},
        {128, 128, 128, 0}, {0, 0, 255, 0},   {0, 255, 0, 0},   {0, 255, 255, 0},
        {255, 0, 0, 0},     {255, 0, 255, 0}, {255, 255, 0, 0}, {255, 255, 255, 0}};
    static Icon icons[PICTURE_COUNT];
    for (int picture = 0; picture < PICTURE_COUNT; picture++) {
        Icon& icon = icons[picture];
        memset(icon.bytes, 0xEE, sizeof icon.bytes);
        EXPECT_EQ(WriteIconFile(IconPicture(picture), icon.bytes, IconFileBytes() - 1), 0u);
        icon.length = WriteIconFile(IconPicture(picture), icon.bytes, sizeof icon.bytes);
        ASSERT_EQ(icon.length, IconFileBytes());
        EXPECT_EQ(icon.bytes[icon.length], 0xEE) << "wrote past its length";
        EXPECT_EQ(Read(icon.bytes, 2), 0u);
        EXPECT_EQ(Read(icon.bytes + 2, 2), 1u);
        ASSERT_EQ(Read(icon.bytes + 4, 2), 5u);
        // The images follow the directory back to back and fill the file exactly.
        size_t end = 6 + 16 * 5;
        for (size_t i = 0; i < 5; i++) {
            const uint8_t* entry = icon.bytes + 6 + 16 * i;
            EXPECT_EQ(entry[1], entry[0]);
            EXPECT_EQ(entry[2], 16);
            EXPECT_EQ(Read(entry + 4, 2), 1u);
            EXPECT_EQ(Read(entry + 6, 2), 4u);
            EXPECT_EQ(Read(entry + 12, 4), end);
            end += Read(entry + 8, 4);
            EXPECT_EQ(memcmp(icon.bytes + Read(entry + 12, 4) + 40, windowsColours, 64), 0);
        }
        EXPECT_EQ(end, icon.length);
    }

    const int sizes[] = {16, 20, 24, 32, 48};
    for (int size : sizes) {
        IconImage clock, later, failed, drawn;
        ASSERT_TRUE(Decode(icons[PICTURE_CLOCK], size, &clock)) << size;
        ASSERT_TRUE(Decode(icons[PICTURE_CLOCK_ALT], size, &later)) << size;
        ASSERT_TRUE(Decode(icons[PICTURE_CLOCK_FAILED], size, &failed)) << size;
        ASSERT_TRUE(DrawIcon(PICTURE_CLOCK_ALT, size, &drawn));
        EXPECT_TRUE(Same(later, drawn)) << size;

        const int c = size / 2;
        for (const IconImage* image : {&clock, &later, &failed}) {
            EXPECT_EQ(image->pixel[0][0], CLEAR) << size; // round, so the corners show through
            EXPECT_NE(image->pixel[c][c], CLEAR) << size;
            EXPECT_GT(Count(*image, WHITE), size * size / 3) << size; // the face
        }
        EXPECT_FALSE(Same(clock, later)) << size;
        EXPECT_EQ(Count(clock, YELLOW) + Count(later, YELLOW), 0) << size;
        EXPECT_GE(Count(failed, YELLOW), size / 2) << size;
        EXPECT_EQ(failed.pixel[size - 1][size - 1], BLACK) << size; // the sign's corner
    }
    IconImage none;
    EXPECT_FALSE(DrawIcon(PICTURE_CLOCK, 64, &none));
}

} // namespace
