// The add-ons' texts as Turtle string literals, as the LV2 bundle's description
// files hold them.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "Turtle.h"

namespace {

// Each case a text and what `function` answers for it.
template <typename Answer, typename Function>
void ExpectAnswers(Function function, const std::vector<std::pair<std::string, Answer>>& cases)
{
    for (const auto& [text, answer] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(function(text), answer);
    }
}

}  // namespace

TEST(Turtle, EscapesWhatALiteralCannotHoldAndKeepsTheRest)
{
    ExpectAnswers<std::string>(TurtleString,
                               {
                                   {"Beta Fade", R"("Beta Fade")"},
                                   {R"(say "hi" \o/)", R"("say \"hi\" \\o/")"},
                                   {"one\ntwo\r\tthree", R"("one\ntwo\r\tthree")"},
                                   {std::string("nul\0 bell\a del\x7F", 15), R"("nul\u0000 bell\u0007 del\u007F")"},
                                   {"caf\xC3\xA9 \xE2\x99\xAA", "\"caf\xC3\xA9 \xE2\x99\xAA\""},
                                   {"", R"("")"},
                               });
}

TEST(Turtle, TellsUtf8FromOtherBytes)
{
    ExpectAnswers<bool>(IsUtf8,
                        {
                            {"plain ASCII", true},
                            {"\xC3\xA9 \xE2\x99\xAA \xF0\x9F\x8E\xB5", true},  // two, three and four bytes
                            {"caf\xE9", false},                                // Latin-1
                            {"\xC3", false},                                   // cut short
                            {"\x80", false},                                   // a stray continuation byte
                            {"\xC0\xAF", false},                               // overlong
                            {"\xED\xA0\x80", false},                           // a surrogate
                            {"\xF4\x90\x80\x80", false},                       // above U+10FFFF
                            {"\xF8\x88\x80\x80\x80", false},                   // five bytes
                        });
}

TEST(Turtle, TakesOnlyIrisThatFitBetweenAngleBrackets)
{
    ExpectAnswers<bool>(IsTurtleIri,
                        {
                            {"http://opensource.org/licenses/isc", true},
                            {"urn:ux-filter-kit:Dissolve", true},
                            {"x-my+scheme.1:a", true},
                            {"", false},
                            {"isc", false},              // no scheme
                            {":isc", false},             // an empty scheme
                            {"1http:x", false},          // a scheme starts with a letter
                            {"http://a b", false},       // a space
                            {"http://a>b", false},       // would end the IRI early
                            {"http://a\\u0020", false},  // no escapes
                            {"http://caf\xE9", false},   // not UTF-8
                        });
}
