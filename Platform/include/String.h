// A growable text string.
#pragma once

#include <string>

#include "SupportDefs.h"

class PLATFORM_EXPORT BString {
public:
    BString() = default;
    BString(const char* text) : mText(text ? text : "") {}

    const char* String() const { return mText.c_str(); }
    int32 Length() const { return static_cast<int32>(mText.size()); }
    BString& SetTo(const char* text)
    {
        mText = text ? text : "";
        return *this;
    }
    BString& operator=(const char* text) { return SetTo(text); }
    BString& operator<<(const char* text)
    {
        mText += text ? text : "";
        return *this;
    }

private:
    std::string mText;
};
