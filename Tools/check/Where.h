// Where in a plug-in a call was: its function and source line, read from the
// plug-in's symbols and debug information by addr2line (binutils).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// A place in a file of code: an address relative to where the file is loaded.
struct CodePlace {
    std::string file;
    uint64_t address = 0;
};

// What addr2line knows of a place: its function, demangled ("Answer(UxEvent*)"),
// and "File.cpp:14" when the file carries debug information; empty when unknown.
struct CodeName {
    std::string function;
    std::string line;
};
CodeName NameOf(const CodePlace& place);

// Where a thread was in a file of code: the address it was at, then the calls it
// was inside (return addresses moved back into their calls), innermost first; 0
// ends the list.
constexpr size_t kStackDepth = 4;
using CodeStack = std::array<uint64_t, kStackDepth>;

// " in Answer(UxEvent*) at File.cpp:14", " in Answer(UxEvent*)", or, for a file
// without symbols, " at address 0x20fe of File.so"; empty when `stack` is. The
// place named is the innermost in the author's own code: a loop in an inline
// function of the kit's headers (UxNoteOn::Velocity, when a build does not inline
// it) is named where the author's code called it.
std::string WhereText(const std::string& file, const CodeStack& stack);

// The frames of a sanitizer's stack trace ("#1 0x... (FILE+0xADDRESS)"), innermost first.
std::vector<CodePlace> ReportedFrames(const std::string& report);
