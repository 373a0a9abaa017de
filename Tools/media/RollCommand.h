// uxhost roll: draws a piano roll of a MIDI file, as it comes out of a pipeline of
// filters when filters are named.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <string>
#include <vector>

#include "MediaCommands.h"
#include "OutputFile.h"
#include "Song.h"
#include "SongTiming.h"

// Reads the song, runs it through the filters and writes its roll.
void RunRollCommand(const RollOptions& options);

// The notes of one track and channel: its place among the song's voices (which
// picks its hue), and whether the song or the filters gave it notes.
struct RollVoice {
    uint32_t track = 0;
    uint8_t channel = 0;
    bool song = false;
    bool made = false;
    // The notes, as a count and a sum of their hashes, to tell a voice whose notes
    // a later track repeats exactly (and so draws over).
    size_t notes = 0;
    uint64_t noteHashes = 0;
    int hiddenUnderTrack = -1;  // that track, counted from 0; -1 when it shows
};

// Where a roll puts ticks and keys. Time runs left to right across the bars shown;
// pitch runs upwards, a row a key, over the song's range of keys with a margin.
// Above the plot: the title, then the legend, a line or more, then the bar numbers.
class RollLayout {
public:
    // Reads the song's timing and its notes. Throws FileError naming the song when
    // the view begins or ends past the song's last bar.
    RollLayout(const Song& song, const RollView& view);

    int Width() const { return mWidth; }
    int Height() const { return mHeight; }
    double X(int64_t tick) const;
    // The top edge of the key's row; the row ends a RowHeight() below.
    double RowTop(int pitch) const { return mPlotTop + (mHighestPitch - pitch) * mRowHeight; }
    double RowHeight() const { return mRowHeight; }
    int LowestPitch() const { return mLowestPitch; }
    int HighestPitch() const { return mHighestPitch; }
    int64_t FirstTick() const { return mFirstTick; }
    int64_t EndTick() const { return mEndTick; }
    // The plot area: everything inside the labels.
    double PlotLeft() const { return mPlotLeft; }
    double PlotTop() const { return mPlotTop; }
    double PlotRight() const { return mWidth - kRightMargin; }
    double PlotBottom() const { return mHeight - kBottomMargin; }
    const std::vector<Bar>& Bars() const { return mBars; }
    size_t FirstBar() const { return mFirstBar; }  // index into Bars()
    size_t BarCount() const { return mBarCount; }
    // Bars are seconds, labelled as times ("0:01").
    bool Timecode() const { return mTimecode; }
    // By track, then channel; VoiceOf gives a note's place among them.
    const std::vector<RollVoice>& Voices() const { return mVoices; }
    size_t VoiceOf(const NoteWritten& note) const;
    // Where the legend's lines and the bar numbers stand.
    double LegendBaseline(size_t line) const;
    double BarNumberBaseline() const { return LegendBaseline(mLegendLines) + 4; }

    static constexpr int kRightMargin = 12;
    static constexpr int kBottomMargin = 12;

private:
    int mWidth = 0;
    int mHeight = 0;
    double mPlotLeft = 0;
    double mPlotTop = 0;
    double mRowHeight = 0;
    int mLowestPitch = 0;
    int mHighestPitch = 0;
    int64_t mFirstTick = 0;
    int64_t mEndTick = 0;
    std::vector<Bar> mBars;
    size_t mFirstBar = 0;
    size_t mBarCount = 0;
    std::vector<RollVoice> mVoices;
    size_t mLegendLines = 1;
    bool mTimecode = false;
};

// Draws the song's roll on a new image surface the caller destroys. The song's own
// notes are drawn in cool colours, the notes the filters made in warm ones, each
// track and channel in its own hue, the same whichever filters ran; a note's shade
// follows its velocity. The legend shows each colour drawn.
cairo_surface_t* DrawRoll(const Song& song, const RollLayout& layout);

// Draws the roll and writes it as a PNG file into `output`, which it commits.
void WriteRoll(const Song& song, const RollView& view, OutputFile& output);
