#include "RollCommand.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>

#include "MidiFileIo.h"
#include "ProgressLine.h"

namespace {

constexpr size_t kMaxBars = 100000;
constexpr uint8_t kMetaTimeSignature = 0x58;
constexpr int kMaxBeatShift = 6;            // a beat of a sixty-fourth note
constexpr uint16_t kTimecodeDivision = 0x8000;

// Sizes picked from the song when none is given.
constexpr int kPixelsPerBar = 160;
constexpr int kPixelsPerKey = 12;
constexpr int kMinWidth = 640;
constexpr int kMaxDefaultWidth = 3200;
constexpr int kMinHeight = 320;
constexpr int kMaxDefaultHeight = 1200;
constexpr int kMinKeys = 24;   // two octaves, so that a short chain still has its Cs
constexpr int kKeyMargin = 1;  // keys shown above the highest note and below the lowest
constexpr int kDefaultLowest = 48;
constexpr int kDefaultHighest = 72;

// The frame around the plot: labels of the keys on the left, a title and the bar
// numbers above.
constexpr int kLeftMargin = 44;
constexpr int kTopMargin = 44;
constexpr double kTitleBaseline = 16;
constexpr double kBarNumberBaseline = 36;
constexpr double kLabelFontSize = 11;
constexpr double kTitleFontSize = 12;
constexpr double kMinBarLabelSpacing = 28;  // pixels between bar numbers
constexpr double kMinBeatSpacing = 5;       // beat lines closer than this are left out

struct Colour {
    double red, green, blue;
};

constexpr Colour kBackground{1, 1, 1};
constexpr Colour kBlackKeyRow{0.94, 0.94, 0.94};
constexpr Colour kBeatLine{0.86, 0.86, 0.86};
constexpr Colour kOctaveLine{0.72, 0.72, 0.72};
constexpr Colour kBarLine{0.55, 0.55, 0.55};
constexpr Colour kText{0.2, 0.2, 0.2};

// The song's own notes in cool colours, the filters' in warm ones; each track and
// channel takes the next of each.
constexpr Colour kOwnColours[] = {{0.16, 0.38, 0.85}, {0.10, 0.58, 0.42}, {0.52, 0.30, 0.80},
                                  {0.05, 0.55, 0.70}, {0.25, 0.25, 0.60}, {0.30, 0.60, 0.15}};
constexpr Colour kFilterColours[] = {{0.95, 0.45, 0.05}, {0.85, 0.15, 0.20}, {0.85, 0.65, 0.00},
                                     {0.85, 0.25, 0.55}, {0.65, 0.30, 0.10}, {0.95, 0.30, 0.35}};
constexpr size_t kVoiceColours = std::size(kOwnColours);
static_assert(std::size(kFilterColours) == kVoiceColours);

// The softest note keeps this much of its colour, so that it still shows.
constexpr double kMinShade = 0.3;
constexpr double kOutlineDarkening = 0.75;
constexpr double kMinNoteWidth = 2;

bool IsBlackKey(int pitch)
{
    const int step = pitch % 12;
    return step == 1 || step == 3 || step == 6 || step == 8 || step == 10;
}

void SetColour(cairo_t* cr, const Colour& colour)
{
    cairo_set_source_rgb(cr, colour.red, colour.green, colour.blue);
}

// The colour over a white ground, as much of it as the velocity gives.
Colour Shaded(const Colour& colour, int velocity)
{
    const double shade = kMinShade + (1 - kMinShade) * std::clamp(velocity, 0, 127) / 127.0;
    return {1 - shade * (1 - colour.red), 1 - shade * (1 - colour.green), 1 - shade * (1 - colour.blue)};
}

Colour Darker(const Colour& colour)
{
    return {colour.red * kOutlineDarkening, colour.green * kOutlineDarkening,
            colour.blue * kOutlineDarkening};
}

// A vertical or horizontal line of one pixel, on the pixel grid so it stays sharp.
void VerticalLine(cairo_t* cr, double x, double top, double bottom)
{
    const double sharp = std::floor(x) + 0.5;
    cairo_move_to(cr, sharp, top);
    cairo_line_to(cr, sharp, bottom);
    cairo_stroke(cr);
}

void HorizontalLine(cairo_t* cr, double y, double left, double right)
{
    const double sharp = std::floor(y) + 0.5;
    cairo_move_to(cr, left, sharp);
    cairo_line_to(cr, right, sharp);
    cairo_stroke(cr);
}

// Text with its right end at `right`, centred on `middle`.
void RightAlignedText(cairo_t* cr, const std::string& text, double right, double middle)
{
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text.c_str(), &extents);
    cairo_move_to(cr, right - extents.x_advance, middle - extents.y_bearing - extents.height / 2);
    cairo_show_text(cr, text.c_str());
}

double TextWidth(cairo_t* cr, const std::string& text)
{
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text.c_str(), &extents);
    return extents.x_advance;
}

// Every how many bars a number is written: 1, 2 or 5 times a power of ten, so
// that the numbers stand apart.
size_t BarLabelStep(double pixelsPerBar)
{
    for (size_t power = 1;; power *= 10)
        for (const size_t step : {power, 2 * power, 5 * power})
            if (step * pixelsPerBar >= kMinBarLabelSpacing || step >= kMaxBars)
                return step;
}

// Whether bar `index` (counted from 0) gets a number: the first shown does, and
// then every bar whose number is a multiple of the step, apart from the first.
bool NumberedBar(size_t index, size_t first, size_t step)
{
    return index == first || ((index + 1) % step == 0 && 2 * (index - first) > step);
}

void DrawGrid(cairo_t* cr, const RollLayout& layout)
{
    const double left = layout.PlotLeft();
    const double right = layout.PlotRight();
    const double top = layout.PlotTop();
    const double bottom = layout.PlotBottom();
    cairo_set_line_width(cr, 1);

    for (int pitch = layout.LowestPitch(); pitch <= layout.HighestPitch(); ++pitch) {
        if (IsBlackKey(pitch)) {
            SetColour(cr, kBlackKeyRow);
            cairo_rectangle(cr, left, layout.RowTop(pitch), right - left, layout.RowHeight());
            cairo_fill(cr);
        }
    }
    // A line under every C, where an octave begins.
    SetColour(cr, kOctaveLine);
    for (int pitch = layout.LowestPitch(); pitch <= layout.HighestPitch(); ++pitch)
        if (pitch % 12 == 0)
            HorizontalLine(cr, layout.RowTop(pitch) + layout.RowHeight(), left, right);

    const std::vector<Bar>& bars = layout.Bars();
    const size_t first = layout.FirstBar();
    const size_t last = first + layout.BarCount();
    SetColour(cr, kBeatLine);
    for (size_t i = first; i < last; ++i) {
        const Bar& bar = bars[i];
        if (layout.X(bar.start + bar.beatTicks) - layout.X(bar.start) < kMinBeatSpacing)
            continue;
        for (int64_t beat = bar.start + bar.beatTicks; beat < bar.end; beat += bar.beatTicks)
            VerticalLine(cr, layout.X(beat), top, bottom);
    }
    const size_t step = BarLabelStep((right - left) / static_cast<double>(layout.BarCount()));
    const bool everyBar = (right - left) / static_cast<double>(layout.BarCount()) >= kMinBeatSpacing;
    SetColour(cr, kBarLine);
    for (size_t i = first; i < last; ++i)
        if (everyBar || NumberedBar(i, first, step))
            VerticalLine(cr, layout.X(bars[i].start), top, bottom);
}

void DrawLabels(cairo_t* cr, const Song& song, const RollLayout& layout, bool anyFilterNote)
{
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, kLabelFontSize);
    SetColour(cr, kText);
    // C4 is middle C, key 60.
    for (int pitch = layout.LowestPitch(); pitch <= layout.HighestPitch(); ++pitch)
        if (pitch % 12 == 0)
            RightAlignedText(cr, "C" + std::to_string(pitch / 12 - 1), layout.PlotLeft() - 6,
                             layout.RowTop(pitch) + layout.RowHeight() / 2);

    const double pixelsPerBar =
        (layout.PlotRight() - layout.PlotLeft()) / static_cast<double>(layout.BarCount());
    const size_t step = BarLabelStep(pixelsPerBar);
    for (size_t i = layout.FirstBar(); i < layout.FirstBar() + layout.BarCount(); ++i) {
        if (!NumberedBar(i, layout.FirstBar(), step))
            continue;
        cairo_move_to(cr, layout.X(layout.Bars()[i].start) + 2, kBarNumberBaseline);
        cairo_show_text(cr, std::to_string(i + 1).c_str());
    }

    // The key of the colours at the top right, the song's name at the top left.
    double x = layout.PlotRight();
    const auto keyEntry = [&](const std::string& text, const Colour& colour) {
        x -= TextWidth(cr, text);
        SetColour(cr, kText);
        cairo_move_to(cr, x, kTitleBaseline);
        cairo_show_text(cr, text.c_str());
        x -= 14;
        SetColour(cr, colour);
        cairo_rectangle(cr, x, kTitleBaseline - 9, 10, 10);
        cairo_fill(cr);
        x -= 12;
    };
    if (anyFilterNote)
        keyEntry("made by the filters", kFilterColours[0]);
    keyEntry("the song's notes", kOwnColours[0]);

    cairo_save(cr);
    cairo_rectangle(cr, 0, 0, std::max(0.0, x), kTopMargin / 2.0);
    cairo_clip(cr);
    cairo_set_font_size(cr, kTitleFontSize);
    SetColour(cr, kText);
    cairo_move_to(cr, layout.PlotLeft(), kTitleBaseline);
    cairo_show_text(cr, song.name.c_str());
    cairo_restore(cr);
}

void DrawNotes(cairo_t* cr, const Song& song, const RollLayout& layout)
{
    std::map<uint32_t, size_t> voices;  // by track and channel, in order of first note
    const double inset = layout.RowHeight() >= 4 ? 1 : 0;
    for (const SongNote& note : song.notes) {
        const size_t voice =
            voices.emplace(uint32_t(note.track) << 8 | note.channel, voices.size()).first->second;
        if (note.end <= layout.FirstTick() || note.start >= layout.EndTick()
            || note.pitch < layout.LowestPitch() || note.pitch > layout.HighestPitch())
            continue;
        const Colour& colour = (note.madeByFilter ? kFilterColours : kOwnColours)[voice % kVoiceColours];
        // Cut to the plot: cairo's coordinates do not reach far beyond the picture.
        const double left = std::max(layout.X(note.start), layout.PlotLeft() - 2);
        const double right = std::min(layout.X(note.end), layout.PlotRight() + 2);
        const double width = std::max(right - left, kMinNoteWidth);
        const double top = layout.RowTop(note.pitch) + inset;
        const double height = layout.RowHeight() - 2 * inset;
        SetColour(cr, Shaded(colour, note.velocity));
        cairo_rectangle(cr, left, top, width, height);
        cairo_fill(cr);
        if (width >= 4 && height >= 4) {
            SetColour(cr, Darker(colour));
            cairo_rectangle(cr, left + 0.5, top + 0.5, width - 1, height - 1);
            cairo_stroke(cr);
        }
    }
}

// Encodes the surface as PNG in memory.
cairo_status_t AppendBytes(void* closure, const unsigned char* data, unsigned int length)
{
    auto* bytes = static_cast<std::vector<uint8_t>*>(closure);
    bytes->insert(bytes->end(), data, data + length);
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

std::vector<Bar> BarsOf(const SmfFile& file, int64_t endTick, size_t atLeast)
{
    atLeast = std::clamp<size_t>(atLeast, 1, kMaxBars);
    const auto wanted = [&](const std::vector<Bar>& bars, int64_t start) {
        return (start < endTick || bars.size() < atLeast) && bars.size() < kMaxBars;
    };
    std::vector<Bar> bars;
    if (file.division & kTimecodeDivision) {
        const int framesPerSecond = -static_cast<int8_t>(file.division >> 8);
        const int64_t second = std::max<int64_t>(1, int64_t(framesPerSecond) * (file.division & 0xFF));
        for (int64_t start = 0; wanted(bars, start); start += second)
            bars.push_back({start, start + second, second});
        return bars;
    }

    struct Signature {
        int64_t tick;
        int64_t barTicks;
        int64_t beatTicks;
    };
    const int64_t quarter = std::max<int64_t>(file.division, 1);
    std::vector<Signature> signatures;
    for (const SmfTrack& track : file.tracks) {
        for (const SmfEvent& event : track.events) {
            const std::vector<uint8_t>& b = event.bytes;
            // 0xFF 0x58, beats a bar, the beat as a power of two of a whole note, ...
            if (b.size() >= 4 && b[0] == kMetaStatus && b[1] == kMetaTimeSignature && b[2] > 0
                && b[3] <= kMaxBeatShift) {
                const int64_t beat = std::max<int64_t>(1, (quarter * 4) >> b[3]);
                signatures.push_back({event.tick, beat * b[2], beat});
            }
        }
    }
    std::stable_sort(signatures.begin(), signatures.end(),
                     [](const Signature& a, const Signature& b) { return a.tick < b.tick; });

    Signature current{0, 4 * quarter, quarter};
    size_t next = 0;
    for (int64_t start = 0; wanted(bars, start); start = bars.back().end) {
        while (next < signatures.size() && signatures[next].tick <= start)
            current = signatures[next++];
        int64_t end = start + current.barTicks;
        if (next < signatures.size() && signatures[next].tick < end)
            end = signatures[next].tick;
        bars.push_back({start, end, current.beatTicks});
    }
    return bars;
}

RollLayout::RollLayout(const Song& song, const RollView& view)
{
    int64_t songEnd = song.EndTick();
    int lowest = 127;
    int highest = 0;
    for (const SongNote& note : song.notes) {
        songEnd = std::max(songEnd, note.end);
        lowest = std::min<int>(lowest, note.pitch);
        highest = std::max<int>(highest, note.pitch);
    }

    const size_t fromBar = static_cast<size_t>(std::max(view.fromBar, 1));
    mBars = BarsOf(song.file, songEnd, std::max<size_t>(fromBar, static_cast<size_t>(std::max(view.toBar, 0))));
    size_t songBars = 0;
    while (songBars < mBars.size() && (songBars == 0 || mBars[songBars].start < songEnd))
        ++songBars;
    size_t toBar = view.toBar > 0 ? static_cast<size_t>(view.toBar) : std::max(songBars, fromBar);
    toBar = std::min(toBar, mBars.size());
    mFirstBar = std::min(fromBar, toBar) - 1;
    mBarCount = toBar - mFirstBar;
    mFirstTick = mBars[mFirstBar].start;
    mEndTick = mBars[toBar - 1].end;

    if (song.notes.empty()) {
        lowest = kDefaultLowest;
        highest = kDefaultHighest;
    }
    lowest = std::max(lowest - kKeyMargin, 0);
    highest = std::min(highest + kKeyMargin, 127);
    while (highest - lowest + 1 < kMinKeys) {
        if (highest < 127)
            ++highest;
        if (highest - lowest + 1 < kMinKeys && lowest > 0)
            --lowest;
    }
    mLowestPitch = lowest;
    mHighestPitch = highest;
    const int keys = highest - lowest + 1;

    mWidth = view.width > 0 ? view.width
                            : std::clamp(kLeftMargin + kRightMargin + static_cast<int>(mBarCount) * kPixelsPerBar,
                                         kMinWidth, kMaxDefaultWidth);
    mHeight = view.height > 0
                  ? view.height
                  : std::clamp(kTopMargin + kBottomMargin + keys * kPixelsPerKey, kMinHeight, kMaxDefaultHeight);
    mPlotLeft = kLeftMargin;
    mPlotTop = kTopMargin;
    mRowHeight = (PlotBottom() - mPlotTop) / keys;
}

double RollLayout::X(int64_t tick) const
{
    const double span = static_cast<double>(mEndTick - mFirstTick);
    return mPlotLeft + static_cast<double>(tick - mFirstTick) * (PlotRight() - mPlotLeft) / span;
}

double RollLayout::RowTop(int pitch) const
{
    return mPlotTop + (mHighestPitch - pitch) * mRowHeight;
}

cairo_surface_t* DrawRoll(const Song& song, const RollLayout& layout)
{
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, layout.Width(), layout.Height());
    cairo_t* cr = cairo_create(surface);
    SetColour(cr, kBackground);
    cairo_paint(cr);

    cairo_save(cr);
    cairo_rectangle(cr, layout.PlotLeft(), layout.PlotTop(), layout.PlotRight() - layout.PlotLeft(),
                    layout.PlotBottom() - layout.PlotTop());
    cairo_clip(cr);
    DrawGrid(cr, layout);
    DrawNotes(cr, song, layout);
    cairo_restore(cr);

    SetColour(cr, kBarLine);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, std::floor(layout.PlotLeft()) - 0.5, std::floor(layout.PlotTop()) - 0.5,
                    std::ceil(layout.PlotRight() - layout.PlotLeft()) + 1,
                    std::ceil(layout.PlotBottom() - layout.PlotTop()) + 1);
    cairo_stroke(cr);
    const bool anyFilterNote = std::any_of(song.notes.begin(), song.notes.end(),
                                           [](const SongNote& note) { return note.madeByFilter; });
    DrawLabels(cr, song, layout, anyFilterNote);

    const cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (status != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        throw std::runtime_error(std::string("cannot draw: ") + cairo_status_to_string(status));
    }
    cairo_surface_flush(surface);
    return surface;
}

void WriteRoll(const Song& song, const RollView& view, OutputFile& output)
{
    const RollLayout layout(song, view);
    const std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(DrawRoll(song, layout),
                                                                                    &cairo_surface_destroy);
    std::vector<uint8_t> png;
    const cairo_status_t status = cairo_surface_write_to_png_stream(surface.get(), AppendBytes, &png);
    if (status != CAIRO_STATUS_SUCCESS)
        throw std::runtime_error(std::string("cannot encode PNG: ") + cairo_status_to_string(status));
    output.Append(png.data(), png.size());
    output.Commit();
}

CLI::App* AddRollCommand(CLI::App& app, RollOptions& options)
{
    CLI::App* roll = app.add_subcommand("roll", "Draw a MIDI file as a piano roll, as a PNG file");
    roll->add_option("input", options.input, "The Standard MIDI File to draw")->required();
    roll->add_option("-f,--filter", options.filters,
                     "A filter (path, name or file name) to run the song through first; repeat for a pipeline")
        ->allow_extra_args(false);
    roll->add_option("-o,--output", options.output, "The PNG file to write")->required();
    roll->add_option("--width", options.view.width, "The picture's width in pixels (default: from the length)")
        ->check(CLI::Range(200, 10000));
    roll->add_option("--height", options.view.height, "The picture's height in pixels (default: from the keys)")
        ->check(CLI::Range(120, 4000));
    roll->add_option("--from", options.view.fromBar, "The first bar shown, counted from 1")
        ->check(CLI::Range(1, static_cast<int>(kMaxBars)))
        ->capture_default_str();
    roll->add_option("--to", options.view.toBar, "The last bar shown (default: the song's last)")
        ->check(CLI::Range(1, static_cast<int>(kMaxBars)));
    roll->callback([&options] {
        if (options.view.toBar != 0 && options.view.toBar < options.view.fromBar)
            throw CLI::ValidationError("--to", "the last bar comes before the first");
    });
    return roll;
}

void RunRollCommand(const RollOptions& options)
{
    OutputFile output(options.output, {options.input});
    ProgressLine progress("drawing " + output.Name());
    const Song song = LoadSong(options.input, options.filters);
    ReportLeftOut(song.name, song.leftOut);
    WriteRoll(song, options.view, output);
}
