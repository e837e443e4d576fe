// The committed bitmaps and icon: sizes, colour depths, and the banner's promise that a click
// on it never starts a download by accident.

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> readFile(const std::string& name) {
    std::ifstream in(std::string(KESTRUNE_SOURCE_DIR) + "/resources/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}
uint16_t le16(const std::vector<uint8_t>& b, size_t at) {
    return uint16_t(b[at] | (b[at + 1] << 8));
}

struct Rgb {
    uint8_t r, g, b;
    uint32_t colorref() const { return r | (g << 8) | (b << 16); }
};

// A bottom-up, uncompressed, palette-based BMP, decoded to colours (y = 0 at the top).
struct Bitmap {
    int width = 0;
    int height = 0;
    int bitsPerPixel = 0;
    uint32_t compression = 0;
    uint32_t paletteEntries = 0;
    std::vector<std::vector<Rgb>> pixels;
};

Bitmap decode(const std::vector<uint8_t>& file) {
    Bitmap bmp;
    EXPECT_GE(file.size(), 54u);
    if (file.size() < 54 || file[0] != 'B' || file[1] != 'M') {
        ADD_FAILURE() << "not a BMP file";
        return bmp;
    }
    const uint32_t dataOffset = le32(file, 10);
    EXPECT_EQ(le32(file, 14), 40u) << "BITMAPINFOHEADER";
    bmp.width = int(le32(file, 18));
    bmp.height = int(le32(file, 22));
    bmp.bitsPerPixel = le16(file, 28);
    bmp.compression = le32(file, 30);
    bmp.paletteEntries = le32(file, 46) ? le32(file, 46) : (1u << bmp.bitsPerPixel);
    std::vector<Rgb> palette;
    for (uint32_t i = 0; i < bmp.paletteEntries; ++i) {
        const size_t at = 54 + 4 * i;
        palette.push_back({file[at + 2], file[at + 1], file[at]});
    }
    const size_t stride = ((bmp.width * bmp.bitsPerPixel + 31) / 32) * 4;
    EXPECT_GE(file.size(), dataOffset + stride * bmp.height);
    if (file.size() < dataOffset + stride * bmp.height) {
        return bmp;
    }
    for (int y = 0; y < bmp.height; ++y) {
        const size_t row = dataOffset + stride * (bmp.height - 1 - y);
        std::vector<Rgb> line;
        for (int x = 0; x < bmp.width; ++x) {
            uint32_t index = 0;
            if (bmp.bitsPerPixel == 8) {
                index = file[row + x];
            } else {
                const uint8_t pair = file[row + x / 2];
                index = (x % 2 == 0) ? (pair >> 4) : (pair & 0x0F);
            }
            EXPECT_LT(index, palette.size());
            line.push_back(index < palette.size() ? palette[index] : Rgb{0, 0, 0});
        }
        bmp.pixels.push_back(line);
    }
    return bmp;
}

TEST(Artwork, BannerIsAn8BitFrontPanelOf360By70) {
    const Bitmap banner = decode(readFile("banner.bmp"));
    EXPECT_EQ(banner.width, 360);
    EXPECT_EQ(banner.height, 70);
    EXPECT_EQ(banner.bitsPerPixel, 8);
    EXPECT_EQ(banner.compression, 0u);
    EXPECT_EQ(banner.paletteEntries, 256u);
}

TEST(Artwork, NoBannerPixelStartsADownload) {
    // The main window starts a download on a click on any white pixel of its surface, and on a
    // black one inside the lamp's letters: the banner has neither, so only the drawn lamp does.
    const Bitmap banner = decode(readFile("banner.bmp"));
    ASSERT_EQ(banner.pixels.size(), 70u);
    int white = 0;
    int blackInLamp = 0;
    for (int y = 0; y < banner.height; ++y) {
        for (int x = 0; x < banner.width; ++x) {
            const uint32_t c = banner.pixels[y][x].colorref();
            white += c == 0xFFFFFF;
            blackInLamp += c == 0 && x >= 205 && x <= 225 && y >= 25 && y <= 45;
        }
    }
    EXPECT_EQ(white, 0);
    EXPECT_EQ(blackInLamp, 0);
}

TEST(Artwork, BannerIsAPictureNotAFlatFill) {
    const Bitmap banner = decode(readFile("banner.bmp"));
    ASSERT_EQ(banner.pixels.size(), 70u);
    std::vector<uint32_t> seen;
    for (const auto& line : banner.pixels) {
        for (const Rgb& c : line) {
            if (std::find(seen.begin(), seen.end(), c.colorref()) == seen.end()) {
                seen.push_back(c.colorref());
            }
        }
    }
    EXPECT_GT(seen.size(), 64u);
}

TEST(Artwork, LogoIsBlueOnWhiteIn16Colours) {
    const Bitmap logo = decode(readFile("logo.bmp"));
    EXPECT_EQ(logo.width, 86);
    EXPECT_EQ(logo.height, 37);
    EXPECT_EQ(logo.bitsPerPixel, 4);
    ASSERT_EQ(logo.pixels.size(), 37u);
    EXPECT_EQ(logo.pixels[0][0].colorref(), 0xFFFFFFu);
    int blue = 0;
    for (const auto& line : logo.pixels) {
        for (const Rgb& c : line) {
            blue += c.b >= 128 && c.r == 0 && c.g == 0;
        }
    }
    EXPECT_GT(blue, 100);
}

TEST(Artwork, DiscIsRedOnWhite) {
    const Bitmap disc = decode(readFile("disc.bmp"));
    EXPECT_EQ(disc.width, 48);
    EXPECT_EQ(disc.height, 48);
    EXPECT_EQ(disc.bitsPerPixel, 4);
    ASSERT_EQ(disc.pixels.size(), 48u);
    EXPECT_EQ(disc.pixels[24][24].colorref(), 0x0000FFu);
    EXPECT_EQ(disc.pixels[0][0].colorref(), 0xFFFFFFu);
    EXPECT_EQ(disc.pixels[47][47].colorref(), 0xFFFFFFu);
}

TEST(Artwork, IconHoldsOne32By32SixteenColourImage) {
    const std::vector<uint8_t> ico = readFile("kestrune.ico");
    ASSERT_GE(ico.size(), 22u + 40u);
    EXPECT_EQ(le16(ico, 0), 0);
    EXPECT_EQ(le16(ico, 2), 1);  // icon
    EXPECT_EQ(le16(ico, 4), 1);  // one image
    EXPECT_EQ(ico[6], 32);       // width
    EXPECT_EQ(ico[7], 32);       // height
    EXPECT_EQ(ico[8], 16);       // colours
    EXPECT_EQ(le16(ico, 12), 4); // bits per pixel
    const uint32_t bytes = le32(ico, 14);
    const uint32_t offset = le32(ico, 18);
    EXPECT_EQ(offset + bytes, ico.size());
    EXPECT_EQ(le32(ico, offset + 4), 32u);
    EXPECT_EQ(le32(ico, offset + 8), 64u); // colour image and mask
    EXPECT_EQ(bytes, 40u + 16 * 4 + 32 * 32 / 2 + 32 * 4);
}

} // namespace
