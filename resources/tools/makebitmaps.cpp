// Draws the bitmaps of the display component and the Assistant and writes
// them as 256-colour BMP files: the ten LED pictures (101 to 110) and the
// message window's picture (103). The committed files under bitmaps/ are this
// program's output; run it again after changing the artwork.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace
{

struct Rgb {
    uint8_t r, g, b;
    bool operator<(const Rgb &o) const { return std::array{r, g, b} < std::array{o.r, o.g, o.b}; }
    bool operator==(const Rgb &o) const { return r == o.r && g == o.g && b == o.b; }
};

struct Picture {
    int width, height;
    std::vector<Rgb> pixels; // top row first
    Rgb &at(int x, int y) { return pixels[static_cast<size_t>(y) * width + x]; }
};

constexpr Rgb Magenta{255, 0, 255};
constexpr Rgb White{255, 255, 255};
constexpr Rgb Black{0, 0, 0};

uint8_t clamp8(double v)
{
    return static_cast<uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, v))));
}

Rgb mix(Rgb a, Rgb b, double t)
{
    return {clamp8(a.r + (b.r - a.r) * t), clamp8(a.g + (b.g - a.g) * t),
            clamp8(a.b + (b.b - a.b) * t)};
}

Rgb scaled(Rgb c, double f)
{
    return {clamp8(c.r * f), clamp8(c.g * f), clamp8(c.b * f)};
}

// A round lamp on magenta: the main shade flat in the middle, a little darker
// towards its rim, a dark outline, and a highlight spot up and to the left.
// Edges are hard: a blended edge pixel would not match the transparent colour
// and would show as a pink fringe.
Picture led(Rgb shade, double highlightStrength)
{
    Picture p{30, 30, std::vector<Rgb>(900, Magenta)};
    const double cx = 14.5, cy = 14.5, radius = 13.6, rim = 12.4;
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 30; ++x) {
            const double d = std::hypot(x - cx, y - cy);
            if (d > radius)
                continue;
            if (d > rim) {
                p.at(x, y) = scaled(shade, 0.4);
                continue;
            }
            // Quantised steps keep the colour count well inside 256.
            const double fall = d <= 6 ? 0 : std::round((d - 6) / (rim - 6) * 16) / 16;
            Rgb c = scaled(shade, 1.0 - 0.3 * fall);
            const double h = std::hypot(x - 10.0, y - 9.0);
            if (h < 4.5)
                c = mix(c, White, std::round((1.0 - h / 4.5) * 16) / 16 * highlightStrength);
            p.at(x, y) = c;
        }
    return p;
}

// The message window's picture: a radiation trefoil in a yellow disc on white.
Picture trefoil()
{
    constexpr double Pi = 3.14159265358979323846;
    Picture p{32, 32, std::vector<Rgb>(1024, White)};
    const Rgb yellow{255, 212, 0};
    const double cx = 15.5, cy = 15.5;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            const double dx = x - cx, dy = cy - y, d = std::hypot(dx, dy);
            if (d > 15.4)
                continue;
            Rgb c = d > 14.2 ? Black : yellow;
            double angle = std::atan2(dy, dx) * 180 / Pi;
            if (angle < 0)
                angle += 360;
            bool blade = false;
            for (double centre : {30.0, 150.0, 270.0})
                blade = blade || std::fabs(std::remainder(angle - centre, 360.0)) <= 30;
            if (d <= 2.7 || (blade && d >= 4.3 && d <= 12.2))
                c = Black;
            p.at(x, y) = c;
        }
    return p;
}

void put16(std::vector<uint8_t> &out, uint32_t v)
{
    out.push_back(v & 0xFF);
    out.push_back((v >> 8) & 0xFF);
}

void put32(std::vector<uint8_t> &out, uint32_t v)
{
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// Writes an 8-bit BMP with a full 256-entry colour table; the first entry is
// the picture's first pixel (its background), the others in colour order.
bool writeBmp(const Picture &pic, const std::filesystem::path &file)
{
    std::map<Rgb, uint8_t> index;
    std::vector<Rgb> table{pic.pixels.front()};
    index[pic.pixels.front()] = 0;
    std::map<Rgb, int> seen;
    for (const Rgb &c : pic.pixels)
        seen[c] = 1;
    for (const auto &[c, unused] : seen) {
        (void)unused;
        if (index.count(c))
            continue;
        if (table.size() == 256) {
            std::fprintf(stderr, "makebitmaps: %s needs more than 256 colours\n",
                         file.string().c_str());
            return false;
        }
        index[c] = static_cast<uint8_t>(table.size());
        table.push_back(c);
    }
    table.resize(256, Black);

    const uint32_t stride = (static_cast<uint32_t>(pic.width) + 3) & ~3u;
    const uint32_t imageSize = stride * static_cast<uint32_t>(pic.height);
    const uint32_t offset = 14 + 40 + 256 * 4;
    std::vector<uint8_t> out;
    out.push_back('B');
    out.push_back('M');
    put32(out, offset + imageSize);
    put32(out, 0);
    put32(out, offset);
    put32(out, 40);
    put32(out, static_cast<uint32_t>(pic.width));
    put32(out, static_cast<uint32_t>(pic.height)); // positive: bottom row first
    put16(out, 1);
    put16(out, 8);
    put32(out, 0); // no compression
    put32(out, imageSize);
    put32(out, 3780); // 96 pixels an inch
    put32(out, 3780);
    put32(out, 256);
    put32(out, 0);
    for (const Rgb &c : table) {
        out.push_back(c.b);
        out.push_back(c.g);
        out.push_back(c.r);
        out.push_back(0);
    }
    for (int y = pic.height - 1; y >= 0; --y) {
        for (int x = 0; x < pic.width; ++x)
            out.push_back(index[pic.pixels[static_cast<size_t>(y) * pic.width + x]]);
        out.resize(out.size() + (stride - static_cast<uint32_t>(pic.width)), 0);
    }
    std::ofstream f(file, std::ios::binary);
    f.write(reinterpret_cast<const char *>(out.data()), static_cast<std::streamsize>(out.size()));
    return static_cast<bool>(f);
}

void usage(FILE *to)
{
    std::fprintf(to, "Usage: makebitmaps OUTPUT-FOLDER\n"
                     "Writes the LED pictures (kest720ui/101.bmp to 110.bmp) and the message\n"
                     "window's picture (kest721xl/103.bmp) as 256-colour BMP files under\n"
                     "OUTPUT-FOLDER.\n");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc != 2 || argv[1][0] == '-') {
        usage(stderr);
        return 2;
    }
    const std::filesystem::path root = argv[1];
    std::error_code ec;
    std::filesystem::create_directories(root / "kest720ui", ec);
    std::filesystem::create_directories(root / "kest721xl", ec);

    // Bright and dark shade of each LED colour, bright pictures odd-numbered.
    struct Pair {
        int bright;
        Rgb on, off;
    } const pairs[] = {
        {101, {0, 0, 255}, {0, 0, 115}},      {103, {0, 255, 0}, {0, 115, 0}},
        {105, {213, 213, 213}, {90, 90, 90}}, {107, {255, 0, 0}, {115, 0, 0}},
        {109, {255, 255, 0}, {115, 115, 0}},
    };
    bool ok = true;
    for (const Pair &p : pairs) {
        ok &= writeBmp(led(p.on, 0.85), root / "kest720ui" / (std::to_string(p.bright) + ".bmp"));
        ok &= writeBmp(led(p.off, 0.45),
                       root / "kest720ui" / (std::to_string(p.bright + 1) + ".bmp"));
    }
    ok &= writeBmp(trefoil(), root / "kest721xl" / "103.bmp");
    if (!ok) {
        std::fprintf(stderr, "makebitmaps: could not write every picture under %s\n", argv[1]);
        return 1;
    }
    return 0;
}
