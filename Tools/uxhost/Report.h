// What uxhost says on standard error about work that went well: what was left out,
// a wrapper dropped, track chunks not read, in sentences made from the counts the
// MIDI library hands up. `--quiet` silences it; errors are always said, and never
// go through here.
#pragma once

#include <string>

#include <TrackEvents.h>

// "left out what MIDI cannot carry: 2 notes with a pitch above 127 and 1 other
// event", or empty.
std::string CannotCarrySentence(const LeftOut& leftOut);
// "3 notes gave way to others on their keys and channels: 2 made by the filters
// left out and 1 of the input's notes cut short", or empty.
std::string GaveWaySentence(const LeftOut& leftOut);

void SetQuiet(bool quiet);
bool Quiet();

// "uxhost: `text`" on a line of its own, unless quiet.
void Report(const std::string& text);

// Says, one sentence a line, what of the song or file named `name` MIDI could not
// carry and what gave way to another note on its key.
void ReportLeftOut(const std::string& name, const LeftOut& leftOut);
