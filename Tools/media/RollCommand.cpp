#include "RollCommand.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <tuple>

#include "MidiFileIo.h"
#include "ProgressLine.h"

namespace {

// Sizes picked from the song when none is given: 160 pixels a bar up to 3200; a
// longer song keeps at least 60 a bar, where a bar's notes can still be told
// apart, up to a width whose picture still takes little memory.
constexpr int kPixelsPerBar = 160;
constexpr int kPixelsPerKey = 12;
constexpr int kMinWidth = 640;
constexpr int kMaxDefaultWidth = 3200;
constexpr int kReadablePixelsPerBar = 60;
constexpr int kMaxLongSongWidth = 6000;
constexpr int kMinHeight = 320;
constexpr int kMaxDefaultHeight = 1200;
constexpr int kMinKeys = 24;   // two octaves, so that a short chain still has its Cs
constexpr int kKeyMargin = 1;  // keys shown above the highest note and below the lowest
constexpr int kDefaultLowest = 48;
constexpr int kDefaultHighest = 72;

// The frame around the plot: labels of the keys on the left; above, the title,
// the legend's lines and the bar numbers, a line each.
constexpr int kLeftMargin = 44;
constexpr double kTitleBaseline = 16;
constexpr double kLineSpacing = 16;
constexpr double kPlotBelowBarNumbers = 8;
constexpr double kSwatchSize = 10;
constexpr double kSwatchGap = 4;  // between a swatch and its text
constexpr double kEntryGap = 12;  // between entries of the legend
constexpr double kLabelFontSize = 11;
constexpr double kTitleFontSize = 12;
constexpr double kMinTitleFontSize = 8;
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
// channel takes the next of each, in order of track and channel.
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
    return {colour.red * kOutlineDarkening, colour.green * kOutlineDarkening, colour.blue * kOutlineDarkening};
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

double PixelsPerBar(const RollLayout& layout)
{
    return (layout.PlotRight() - layout.PlotLeft()) / static_cast<double>(layout.BarCount());
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
    const size_t step = BarLabelStep(PixelsPerBar(layout));
    const bool everyBar = PixelsPerBar(layout) >= kMinBeatSpacing;
    SetColour(cr, kBarLine);
    for (size_t i = first; i < last; ++i)
        if (everyBar || NumberedBar(i, first, step))
            VerticalLine(cr, layout.X(bars[i].start), top, bottom);
}

// One entry of the legend: a swatch and its text, or a heading alone.
struct LegendEntry {
    std::string text;
    const Colour* swatch;
};

// The song's colours, then the filters', each under its heading.
std::vector<LegendEntry> LegendOf(const std::vector<RollVoice>& voices)
{
    const bool tracks = std::any_of(voices.begin(), voices.end(),
                                    [&](const RollVoice& voice) { return voice.track != voices[0].track; });
    std::vector<LegendEntry> entries;
    for (const bool made : {false, true}) {
        const Colour* colours = made ? kFilterColours : kOwnColours;
        bool heading = false;
        for (size_t i = 0; i < voices.size(); ++i) {
            if (!(made ? voices[i].made : voices[i].song))
                continue;
            if (!heading)
                entries.push_back({made ? "made by the filters:" : "the song's notes:", nullptr});
            heading = true;
            std::string text = "channel " + std::to_string(voices[i].channel + 1);
            if (tracks)
                text = "track " + std::to_string(voices[i].track + 1) + ", " + text;
            if (voices[i].hiddenUnderTrack >= 0)
                text += " (hidden under track " + std::to_string(voices[i].hiddenUnderTrack + 1) + ")";
            entries.push_back({text, &colours[i % kVoiceColours]});
        }
    }
    return entries;
}

// Lays the entries out in lines from `left` to `right`, a new line where the next
// would not fit, and draws them when `draw`; returns how many lines they take.
size_t FlowLegend(cairo_t* cr, const std::vector<LegendEntry>& entries, double left, double right,
                  const RollLayout* draw)
{
    size_t line = 0;
    double x = left;
    for (const LegendEntry& entry : entries) {
        const double indent = entry.swatch ? kSwatchSize + kSwatchGap : 0;
        const double width = indent + TextWidth(cr, entry.text);
        if (x > left && x + width > right) {
            ++line;
            x = left;
        }
        if (draw) {
            const double baseline = draw->LegendBaseline(line);
            if (entry.swatch) {
                SetColour(cr, *entry.swatch);
                cairo_rectangle(cr, x, baseline - kSwatchSize + 1, kSwatchSize, kSwatchSize);
                cairo_fill(cr);
            }
            SetColour(cr, kText);
            cairo_move_to(cr, x + indent, baseline);
            cairo_show_text(cr, entry.text.c_str());
        }
        x += width + kEntryGap;
    }
    return line + 1;
}

void SelectLabelFont(cairo_t* cr)
{
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, kLabelFontSize);
}

void DrawLabels(cairo_t* cr, const Song& song, const RollLayout& layout)
{
    SelectLabelFont(cr);
    SetColour(cr, kText);
    // C4 is middle C, key 60.
    for (int pitch = layout.LowestPitch(); pitch <= layout.HighestPitch(); ++pitch)
        if (pitch % 12 == 0)
            RightAlignedText(cr, "C" + std::to_string(pitch / 12 - 1), layout.PlotLeft() - 6,
                             layout.RowTop(pitch) + layout.RowHeight() / 2);

    // A number that would reach past the picture's right edge moves left to fit.
    const size_t step = BarLabelStep(PixelsPerBar(layout));
    for (size_t i = layout.FirstBar(); i < layout.FirstBar() + layout.BarCount(); ++i) {
        if (!NumberedBar(i, layout.FirstBar(), step))
            continue;
        // A timecode's bar i is second i.
        const std::string number = layout.Timecode()
            ? std::to_string(i / 60) + (i % 60 < 10 ? ":0" : ":") + std::to_string(i % 60)
            : std::to_string(i + 1);
        const double x = std::min(layout.X(layout.Bars()[i].start) + 2, layout.Width() - 2 - TextWidth(cr, number));
        cairo_move_to(cr, x, layout.BarNumberBaseline());
        cairo_show_text(cr, number.c_str());
    }

    FlowLegend(cr, LegendOf(layout.Voices()), layout.PlotLeft(), layout.PlotRight(), &layout);

    // The title on a line of its own, in smaller letters where it is too long for
    // the picture, and cut at its edge only where even those do not fit.
    cairo_save(cr);
    cairo_rectangle(cr, 0, 0, layout.Width() - 2, kTitleBaseline + 4);
    cairo_clip(cr);
    cairo_set_font_size(cr, kTitleFontSize);
    const double width = TextWidth(cr, song.name);
    const bool fits = layout.PlotLeft() + width <= layout.Width() - 2;
    const double left = fits ? layout.PlotLeft() : 4;
    const double room = layout.Width() - 2 - left;
    if (width > room)
        cairo_set_font_size(cr, std::max(kMinTitleFontSize, kTitleFontSize * room / width));
    SetColour(cr, kText);
    cairo_move_to(cr, left, kTitleBaseline);
    cairo_show_text(cr, song.name.c_str());
    cairo_restore(cr);
}

void DrawNotes(cairo_t* cr, const Song& song, const RollLayout& layout)
{
    const double inset = layout.RowHeight() >= 4 ? 1 : 0;
    song.ForEachNote([&](const NoteWritten& note) {
        if (note.end <= layout.FirstTick() || note.start >= layout.EndTick() || note.pitch < layout.LowestPitch()
            || note.pitch > layout.HighestPitch())
            return;
        const size_t voice = layout.VoiceOf(note);
        const Colour& colour = (note.origin == NoteOrigin::kMade ? kFilterColours : kOwnColours)[voice % kVoiceColours];
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
    });
}

// A note's place in time and pitch, and whose it is, as a number: voices whose
// notes sum to the same with as many notes hold the same notes.
uint64_t NoteHash(const NoteWritten& note)
{
    uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a over the fields
    for (const uint64_t field :
         {uint64_t(note.start), uint64_t(note.end), uint64_t(note.pitch), uint64_t(note.origin == NoteOrigin::kMade)}) {
        hash ^= field;
        hash *= 0x100000001B3ull;
    }
    return hash;
}

// A voice whose every note a voice of a later track repeats is drawn over by it:
// the legend says so, naming the track on top.
void MarkHiddenVoices(std::vector<RollVoice>& voices)
{
    for (RollVoice& under : voices)
        for (auto over = voices.rbegin(); over != voices.rend() && over->track > under.track; ++over)
            if (over->notes == under.notes && over->noteHashes == under.noteHashes) {
                under.hiddenUnderTrack = over->track;
                break;
            }
}

// The order of a roll's voices, by track, then channel.
bool VoiceBefore(const RollVoice& voice, const NoteWritten& note)
{
    return std::tie(voice.track, voice.channel) < std::tie(note.track, note.channel);
}

// Encodes the surface as PNG in memory.
cairo_status_t AppendBytes(void* closure, const unsigned char* data, unsigned int length)
{
    auto* bytes = static_cast<std::vector<uint8_t>*>(closure);
    bytes->insert(bytes->end(), data, data + length);
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

RollLayout::RollLayout(const Song& song, const RollView& view)
{
    const SongTiming timing = song.Timing();
    int64_t songEnd = timing.EndTick();
    // The keys of the notes drawn; none leaves the lowest above the highest.
    int lowest = 127;
    int highest = 0;
    const auto widen = [&](const NoteWritten& note) {
        lowest = std::min<int>(lowest, note.pitch);
        highest = std::max<int>(highest, note.pitch);
    };
    song.ForEachNote([&](const NoteWritten& note) {
        widen(note);
        songEnd = std::max(songEnd, note.end);
        const auto place = std::lower_bound(mVoices.begin(), mVoices.end(), note, VoiceBefore);
        RollVoice& voice = place != mVoices.end() && place->track == note.track && place->channel == note.channel
            ? *place
            : *mVoices.insert(place, RollVoice{note.track, note.channel});
        (note.origin == NoteOrigin::kMade ? voice.made : voice.song) = true;
        ++voice.notes;
        voice.noteHashes += NoteHash(note);
    });
    MarkHiddenVoices(mVoices);

    const size_t fromBar = static_cast<size_t>(std::max(view.fromBar, 1));
    const size_t wantedBar = std::max<size_t>(fromBar, static_cast<size_t>(std::max(view.toBar, 0)));
    mBars = timing.Bars(songEnd, wantedBar);
    size_t songBars = 0;
    while (songBars < mBars.size() && (songBars == 0 || mBars[songBars].start < songEnd))
        ++songBars;
    if (wantedBar > songBars) {
        const bool from = fromBar > songBars;
        throw FileError(song.name + ": " + (from ? "--from " : "--to ")
                        + std::to_string(from ? view.fromBar : view.toBar) + " is past the song's last bar, "
                        + std::to_string(songBars));
    }
    const size_t toBar = view.toBar > 0 ? static_cast<size_t>(view.toBar) : songBars;
    mFirstBar = fromBar - 1;
    mBarCount = toBar - mFirstBar;
    mFirstTick = mBars[mFirstBar].start;
    mEndTick = mBars[toBar - 1].end;

    if (mFirstTick > 0 || mEndTick < songEnd) {
        // Only the keys of the bars drawn.
        lowest = 127;
        highest = 0;
        song.ForEachNote([&](const NoteWritten& note) {
            if (note.end > mFirstTick && note.start < mEndTick)
                widen(note);
        });
    }
    if (lowest > highest) {
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

    const int bars = static_cast<int>(std::min<size_t>(mBarCount, kMaxBars));
    const int longSongWidth = std::min(kLeftMargin + kRightMargin + bars * kReadablePixelsPerBar, kMaxLongSongWidth);
    mWidth = view.width > 0 ? view.width
                            : std::clamp(kLeftMargin + kRightMargin + bars * kPixelsPerBar, kMinWidth,
                                         std::max(kMaxDefaultWidth, longSongWidth));
    mTimecode = timing.Timecode();
    mPlotLeft = kLeftMargin;
    {
        // The legend's lines, measured as they will be drawn.
        cairo_surface_t* scratch = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
        cairo_t* cr = cairo_create(scratch);
        SelectLabelFont(cr);
        mLegendLines = FlowLegend(cr, LegendOf(mVoices), PlotLeft(), PlotRight(), nullptr);
        cairo_destroy(cr);
        cairo_surface_destroy(scratch);
    }
    mPlotTop = BarNumberBaseline() + kPlotBelowBarNumbers;
    const int topMargin = static_cast<int>(std::ceil(mPlotTop));
    mHeight = view.height > 0
        ? view.height
        : std::clamp(topMargin + kBottomMargin + keys * kPixelsPerKey, kMinHeight, kMaxDefaultHeight);
    // A picture too low for its legend keeps at least a row a key.
    mHeight = std::max(mHeight, topMargin + kBottomMargin + keys);
    mRowHeight = (PlotBottom() - mPlotTop) / keys;
}

size_t RollLayout::VoiceOf(const NoteWritten& note) const
{
    return static_cast<size_t>(std::lower_bound(mVoices.begin(), mVoices.end(), note, VoiceBefore) - mVoices.begin());
}

double RollLayout::LegendBaseline(size_t line) const
{
    return kTitleBaseline + kLineSpacing * static_cast<double>(line + 1);
}

double RollLayout::X(int64_t tick) const
{
    const double span = static_cast<double>(mEndTick - mFirstTick);
    return mPlotLeft + static_cast<double>(tick - mFirstTick) * (PlotRight() - mPlotLeft) / span;
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
    DrawLabels(cr, song, layout);

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

void RunRollCommand(const RollOptions& options)
{
    RunSongCommand(options.input, options.pipeline, options.output,
                   [&options](const Song& song, OutputFile& output) { WriteRoll(song, options.view, output); });
}
