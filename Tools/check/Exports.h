// The names a shared library exports, read from its dynamic symbol table.
#pragma once

#include <string>
#include <vector>

// Every symbol `path` defines for other libraries to bind to. Empty when the file
// is no 64-bit ELF file or carries no dynamic symbol table.
std::vector<std::string> ExportedSymbols(const std::string& path);
