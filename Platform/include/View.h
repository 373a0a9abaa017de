// A view of the user interface. The host offers configuration views through it;
// nothing in this kit draws, so the class only carries a name.
#pragma once

#include <string>

#include "SupportDefs.h"

class PLATFORM_EXPORT BView {
public:
    explicit BView(const char* name = "") : mName(name ? name : "") {}
    virtual ~BView();

    const char* Name() const { return mName.c_str(); }

private:
    std::string mName;
};
