// Icon sources: an icon kept as a text grid that a person can read and change in
// a diff, and converted to a bitmap by the build.
//
//     # A comment.
//     background-alpha 167      # the background: white at this alpha
//     shade @ 0                 # a character and the grey it stands for (0 black),
//     shade o 128               #   always opaque
//     grid                      # then one line per pixel row, top row first
//     ....@@@@oo..........
//
// '.' is the background; every other character of the grid must be a shade.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include <Bitmap.h>

// An icon source that cannot be read; the message names the file, the line and
// the problem.
class IconSourceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct IconCounts {
    int backgroundAlpha = 0;
    int strokePixels = 0;      // opaque pixels
    int backgroundPixels = 0;  // white pixels at the background alpha
    int shades = 0;            // distinct greys among the stroke pixels
};

// The icon as a B_RGBA32 bitmap. `path` only names the source in messages.
std::unique_ptr<BBitmap> ParseIconSource(const std::string& text, const std::string& path);
std::unique_ptr<BBitmap> ReadIconSource(const std::string& path);

// The counts of an icon made from a source: opaque pixels are strokes, the rest
// background.
IconCounts CountIcon(const BBitmap& icon);
