// The process has one drand48 generator, shared by every library loaded into it.
// Code that seeds it and then draws values that must follow from that seed holds
// this lock from the seeding to its last draw, so that no other seeding or draw in
// the process comes in between.
#pragma once

#include <mutex>

#include "SupportDefs.h"

PLATFORM_EXPORT std::mutex& RandomSequenceLock();
