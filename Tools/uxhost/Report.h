// What uxhost says on standard error about work that went well: what was left out,
// a wrapper dropped, track chunks not read, in sentences made from the counts the
// MIDI library hands up. By default only what the user can act on; `--verbose`
// says how each count came about; `--quiet` silences it all. Errors are always
// said (Tell). Every line of uxhost's own on standard error starts "uxhost: " here.
#pragma once

#include <memory>
#include <string>

#include <PluginLoader.h>
#include <TrackWriter.h>

// "left out what MIDI cannot carry: 2 notes with a pitch above 127 and 1 other
// event", or empty.
std::string CannotCarrySentence(const LeftOut& leftOut);
// "3 notes gave way to others on their keys and channels: 2 made by the filters
// left out and 1 of the input's notes cut short", or empty.
std::string GaveWaySentence(const LeftOut& leftOut);

// "12 notes gave way to others on their keys and 3 were left out as MIDI cannot
// carry them (--verbose says which)", or empty: the counts alone.
std::string LeftOutSummary(const LeftOut& leftOut);

void SetQuiet(bool quiet);
bool Quiet();
void SetVerbose(bool verbose);

// "uxhost: `text`" on a line of its own, unless quiet.
void Report(const std::string& text);

// "uxhost: `text`" on a line of its own, even when quiet: an error, or a warning
// the user must see (which of two plug-ins of one name is used).
void Tell(const std::string& text);

// The plug-in named `name` (LoadNamedPlugin), telling which is used when others
// have its name.
std::unique_ptr<Plugin> LoadPlugin(const std::string& name);

// Says in one line how many notes of the song or file named `name` gave way to
// another on their key or were left out as MIDI cannot carry them; verbose, one
// sentence each, with the reasons (CannotCarrySentence, GaveWaySentence).
void ReportLeftOut(const std::string& name, const LeftOut& leftOut);
