// What uxhost says about a value it refuses on its command line, in its own words:
// each option's check names the option and the value, and throws UsageError, which
// main says as bad usage.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace CLI {
class Option;
}

// A command line uxhost refuses; the message is the whole complaint, such as
// "--rate: \"8000\": give a whole number from 22050 to 96000".
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Checks each value given to `option` with `problem`, which answers what is wrong
// with the value, or nothing; what is wrong is thrown as a UsageError naming the
// option. `kind` is the value's kind, as --help shows it.
void CheckValue(CLI::Option* option, std::function<std::string(const std::string&)> problem, const std::string& kind);

// Refuses any value of `option` but a whole number from `lowest` to `highest`.
void WholeNumberFrom(CLI::Option* option, long long lowest, long long highest);

// Refuses any value of `option` but a whole number of no sign.
void WholeNumber(CLI::Option* option);
