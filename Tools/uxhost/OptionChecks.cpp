#include "OptionChecks.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdlib>

void CheckValue(CLI::Option* option, std::function<std::string(const std::string&)> problem, const std::string& kind)
{
    option->check(CLI::Validator(
        [name = option->get_name(), problem = std::move(problem)](const std::string& value) {
            if (const std::string what = problem(value); !what.empty())
                throw UsageError(name + ": " + what);
            return std::string();
        },
        kind));
}

void WholeNumberFrom(CLI::Option* option, long long lowest, long long highest)
{
    CheckValue(
        option,
        [lowest, highest](const std::string& value) {
            char* end = nullptr;
            errno = 0;
            const long long number = std::strtoll(value.c_str(), &end, 10);
            if (!value.empty() && *end == '\0' && errno == 0 && number >= lowest && number <= highest)
                return std::string();
            return "\"" + value + "\": give a whole number from " + std::to_string(lowest) + " to "
                + std::to_string(highest);
        },
        "INT in [" + std::to_string(lowest) + " - " + std::to_string(highest) + "]");
}

void WholeNumber(CLI::Option* option)
{
    CheckValue(
        option,
        [](const std::string& value) {
            char* end = nullptr;
            errno = 0;
            std::strtoull(value.c_str(), &end, 10);
            const bool whole = !value.empty() && value[0] != '-' && *end == '\0' && errno == 0;
            return whole ? std::string() : "\"" + value + "\" is not a whole number";
        },
        "");
}
