// A message: a command code with named, typed fields. Filters receive their
// configuration in one; this kit's filters store nothing from it.
#pragma once

#include "SupportDefs.h"

class PLATFORM_EXPORT BMessage {
public:
    explicit BMessage(uint32 what = 0) : what(what) {}
    virtual ~BMessage();

    uint32 what;
};
