// The host's sentences about what the writer left out or cut short, from the
// counts the MIDI library hands up.
#pragma once

#include <string>

#include <TrackEvents.h>

// "left out what MIDI cannot carry: 2 notes with a pitch above 127 and 1 other
// event", or empty.
std::string CannotCarrySentence(const LeftOut& leftOut);
// "3 notes gave way to others on their keys and channels: 2 made by the filters
// left out and 1 of the input's notes cut short", or empty.
std::string GaveWaySentence(const LeftOut& leftOut);
