// Basic definitions of the host interface.
#pragma once

#include <SupportDefs.h>

// Host classes are exported from libUxKernel.so with default visibility: a plug-in
// compiled with -fvisibility=hidden must still see the host's one copy of each class,
// or run-time type tests (dynamic_cast to UxNoteOn) would fail across libraries.
#define UX_EXPORT __attribute__((visibility("default")))
