// Writes brask.ico: one 32 x 32 image, 24 bits per pixel with a 1-bit mask,
// 3,262 bytes. Run: make_icon <output.ico>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

const int size = 32;

// A white "B" on a blue tile, 8 x 10 cells of 2 x 2 pixels. The tile fills
// the square: Qt's ICO reader does not apply the mask of a 24-bit icon, so
// masked-out corners would show black in the window.
const char *const glyph[] = {
    "111111..",
    "11...11.",
    "11....11",
    "11...11.",
    "111111..",
    "11...11.",
    "11....11",
    "11....11",
    "11...11.",
    "111111..",
};

bool inGlyph(int x, int y)
{
    const int gx = (x - 8) / 2, gy = (y - 6) / 2;
    return x >= 8 && y >= 6 && gx < 8 && gy < 10 && glyph[gy][gx] == '1';
}

void put16(std::vector<uint8_t> &out, unsigned v)
{
    out.push_back(v & 0xff);
    out.push_back((v >> 8) & 0xff);
}

void put32(std::vector<uint8_t> &out, unsigned v)
{
    put16(out, v & 0xffff);
    put16(out, v >> 16);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_icon <output.ico>\n");
        return 2;
    }
    const unsigned pixelBytes = size * size * 3, maskBytes = size * size / 8;
    const unsigned imageBytes = 40 + pixelBytes + maskBytes;

    std::vector<uint8_t> ico;
    put16(ico, 0); put16(ico, 1); put16(ico, 1);           // icon file, one image
    ico.push_back(size); ico.push_back(size);               // 32 x 32
    ico.push_back(0); ico.push_back(0);                     // no palette, reserved
    put16(ico, 1); put16(ico, 24);                          // planes, bits per pixel
    put32(ico, imageBytes); put32(ico, 22);                 // image size and offset

    put32(ico, 40); put32(ico, size); put32(ico, size * 2); // header, colour + mask height
    put16(ico, 1); put16(ico, 24);
    put32(ico, 0); put32(ico, pixelBytes + maskBytes);      // uncompressed
    put32(ico, 0); put32(ico, 0); put32(ico, 0); put32(ico, 0);

    for (int y = size - 1; y >= 0; --y) {                   // bottom row first, BGR
        for (int x = 0; x < size; ++x) {
            if (inGlyph(x, y)) {
                ico.insert(ico.end(), {255, 255, 255});
            } else {
                const uint8_t shade = uint8_t(110 + 3 * (size - y));
                ico.insert(ico.end(), {shade, uint8_t(shade / 2), 24});
            }
        }
    }
    ico.insert(ico.end(), maskBytes, 0);                    // every pixel opaque

    std::FILE *file = std::fopen(argv[1], "wb");
    if (!file || std::fwrite(ico.data(), 1, ico.size(), file) != ico.size() || std::fclose(file) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
