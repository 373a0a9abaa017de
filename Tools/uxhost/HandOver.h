// What a filter is being handed, kept where a crash can find it. A filter that
// crashes (a bad access, a stack overflow, a division by zero, an abort) takes the
// process down with it, and the line that names the plug-in and the note can only
// be written by a signal handler, which may not allocate. So the pipeline notes in
// a fixed record what it hands over before each HandleEvent, and the handler
// formats that record into a buffer of its own:
//     uxhost: CrashesOnNote.so: the filter crashed (a bad memory access) on track 1, tick 20, note 60
// then removes the temporary files being written (OutputFile.h) and ends the
// process as the signal would have. A filter's exception is said with the same
// words of place.
#pragma once

#include <cstdint>
#include <string>

#include <UxEvent.h>

// The record, while a filter holds an event: set on construction, cleared on
// destruction (an exception included). Costs a few stores a call.
class HandingOver {
public:
    // `plugin` must outlive the scope (a Plugin's Path()); `track` counts from 0.
    HandingOver(const char* plugin, uint32_t track, const UxEvent& event);
    ~HandingOver();
    HandingOver(const HandingOver&) = delete;
    HandingOver& operator=(const HandingOver&) = delete;

    // "on track 1, tick 20, note 60": where the event handed over stands.
    std::string Place() const;
};

// Installs the handler of SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT, on a stack
// of its own so that a filter's stack overflow is caught too; once, for the binary
// this code is linked into (uxhost and its media module each have a copy). A crash
// outside a filter is said as uxhost's own.
void CatchFilterCrashes();
