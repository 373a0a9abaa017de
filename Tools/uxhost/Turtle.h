// Writing text into the files uxhost makes: as Turtle string literals, for the
// descriptions of an LV2 bundle, and as XML text, for check's JUnit report.
#pragma once

#include <string>
#include <string_view>

// Whether `text` is well-formed UTF-8: no stray continuation byte, no sequence cut
// short, no overlong form, no surrogate, nothing above U+10FFFF. A Turtle file is
// UTF-8, so only such text can go into one.
bool IsUtf8(std::string_view text);

// `text` (UTF-8) as a quoted Turtle string literal: quote and backslash escaped,
// line breaks and tabs as \n, \r and \t, every other control character as \uXXXX.
std::string TurtleString(std::string_view text);

// `text` with the five characters XML reserves escaped.
std::string XmlEscaped(std::string_view text);

// Whether `text` can stand as an absolute IRI between < and > in Turtle: a scheme
// (a letter, then letters, digits, '+', '-' or '.') and ':', then no space, control
// character or any of <>"{}|^`\.
bool IsTurtleIri(std::string_view text);
