// Where in a plug-in a call was: its function and source line, read from the
// plug-in's symbols and debug information by addr2line (binutils).
#pragma once

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

// " in Answer(UxEvent*) at File.cpp:14", " in Answer(UxEvent*)", or, for a file
// without symbols, " at address 0x20fe of File.so"; empty for address 0.
std::string WhereText(const CodePlace& place);

// The frames of a sanitizer's stack trace ("#1 0x... (FILE+0xADDRESS)"), innermost first.
std::vector<CodePlace> ReportedFrames(const std::string& report);
