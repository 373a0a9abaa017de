#include "IconSource.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

namespace {

constexpr char kBackground = '.';
constexpr uint8 kOpaque = 255;
constexpr uint8 kWhite = 255;
constexpr int kBytesPerPixel = 4;  // blue, green, red, alpha
constexpr size_t kMaxSide = 256;

[[noreturn]] void Fail(const std::string& path, int line, const std::string& problem)
{
    throw IconSourceError(path + ":" + std::to_string(line) + ": " + problem);
}

// A whole number from 0 to 255, or -1.
int ParseByte(const std::string& word)
{
    if (word.empty() || word.size() > 3 || word.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const int value = std::stoi(word);
    return value <= 255 ? value : -1;
}

}  // namespace

std::unique_ptr<BBitmap> ParseIconSource(const std::string& text, const std::string& path)
{
    int backgroundAlpha = -1;
    std::map<char, uint8> shades;
    std::vector<std::string> rows;
    bool inGrid = false;
    int lineNumber = 0;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        ++lineNumber;
        if (inGrid) {
            if (line.empty())
                continue;
            if (rows.size() == kMaxSide)
                Fail(path, lineNumber, "the grid has more than " + std::to_string(kMaxSide) + " rows");
            if (!rows.empty() && line.size() != rows.front().size())
                Fail(path, lineNumber,
                     "row of " + std::to_string(line.size()) + " pixels, expected "
                         + std::to_string(rows.front().size()));
            if (line.size() > kMaxSide)
                Fail(path, lineNumber, "row wider than " + std::to_string(kMaxSide) + " pixels");
            for (const char c : line) {
                if (c != kBackground && !shades.count(c))
                    Fail(path, lineNumber, std::string("unknown shade '") + c + "'");
            }
            rows.push_back(line);
            continue;
        }
        const std::string content = line.substr(0, line.find('#'));
        std::istringstream words(content);
        std::string keyword;
        if (!(words >> keyword))
            continue;
        std::string rest;
        if (keyword == "background-alpha") {
            std::string value;
            words >> value;
            backgroundAlpha = ParseByte(value);
            if (backgroundAlpha < 0 || words >> rest)
                Fail(path, lineNumber, "background-alpha needs one number from 0 to 255");
        } else if (keyword == "shade") {
            // The shade's character may itself be '#', so it is taken from the line.
            const size_t at = line.find_first_not_of(" \t", line.find("shade") + 5);
            if (at == std::string::npos || at + 1 >= line.size() || (line[at + 1] != ' ' && line[at + 1] != '\t'))
                Fail(path, lineNumber, "shade needs one character and a grey from 0 to 255");
            const char symbol = line[at];
            std::istringstream value(line.substr(at + 1, line.find('#', at + 1) - at - 1));
            std::string grey;
            value >> grey;
            const int level = ParseByte(grey);
            if (level < 0 || value >> rest)
                Fail(path, lineNumber, "shade needs one character and a grey from 0 to 255");
            if (symbol == kBackground || shades.count(symbol))
                Fail(path, lineNumber, std::string("shade '") + symbol + "' given twice or reserved");
            shades[symbol] = static_cast<uint8>(level);
        } else if (keyword == "grid") {
            inGrid = true;
        } else {
            Fail(path, lineNumber, "unknown keyword '" + keyword + "'");
        }
    }
    if (backgroundAlpha < 0)
        Fail(path, lineNumber, "no background-alpha");
    if (rows.empty() || rows.front().empty())
        Fail(path, lineNumber, "no grid");

    const auto width = static_cast<float>(rows.front().size());
    const auto height = static_cast<float>(rows.size());
    auto icon = std::make_unique<BBitmap>(BRect(0, 0, width - 1, height - 1), B_RGBA32, B_BITMAP_CLEAR_TO_WHITE);
    auto* bits = static_cast<uint8*>(icon->Bits());
    for (size_t y = 0; y < rows.size(); ++y) {
        for (size_t x = 0; x < rows[y].size(); ++x) {
            uint8* pixel = bits + y * static_cast<size_t>(icon->BytesPerRow()) + x * kBytesPerPixel;
            const char c = rows[y][x];
            const uint8 grey = c == kBackground ? kWhite : shades[c];
            pixel[0] = pixel[1] = pixel[2] = grey;
            pixel[3] = c == kBackground ? static_cast<uint8>(backgroundAlpha) : kOpaque;
        }
    }
    return icon;
}

std::unique_ptr<BBitmap> ReadIconSource(const std::string& path)
{
    std::ifstream file(path);
    if (!file)
        throw IconSourceError(path + ": cannot read: " + std::strerror(errno));
    std::ostringstream text;
    text << file.rdbuf();
    return ParseIconSource(text.str(), path);
}

IconCounts CountIcon(const BBitmap& icon)
{
    IconCounts counts;
    std::set<uint8> greys;
    const auto* bits = static_cast<const uint8*>(icon.Bits());
    const int width = static_cast<int>(icon.Bounds().Width()) + 1;
    const int height = static_cast<int>(icon.Bounds().Height()) + 1;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint8* pixel = bits + y * icon.BytesPerRow() + x * kBytesPerPixel;
            if (pixel[3] == kOpaque) {
                ++counts.strokePixels;
                greys.insert(pixel[0]);
            } else {
                ++counts.backgroundPixels;
                counts.backgroundAlpha = pixel[3];
            }
        }
    }
    counts.shades = static_cast<int>(greys.size());
    return counts;
}
