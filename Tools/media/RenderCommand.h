// uxhost render: plays a MIDI file through a software synthesizer into a WAV file,
// as it comes out of a pipeline of filters when filters are named.
#pragma once

#include <string>
#include <vector>

#include "MediaCommands.h"
#include "OutputFile.h"
#include "Song.h"

// Reads the song, runs it through the filters and writes its sound.
void RunRenderCommand(const RenderOptions& options);

// The SoundFont to play with: `named`, or the default when it is empty. Throws
// FileError when there is none, saying how to get one.
std::string FindSoundFont(const std::string& named);

// Plays the song through a synthesizer with the SoundFont and writes what it
// sounds like as a 16-bit stereo WAV file at the rate and level `sound` says,
// whole or not at all: the song from its first tick to its end, then until the
// last note has died away (at most ten seconds more), into `output`, which it
// commits. The synthesizer's output waits in a temporary file until the render's
// loudest sample is known. Throws FileError naming the output or the SoundFont.
void WriteSongWav(const Song& song, const std::string& soundFont, const RenderSound& sound, OutputFile& output);
