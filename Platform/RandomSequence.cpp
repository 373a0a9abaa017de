// The one lock of the process-wide random sequence. It lives in the platform
// library so that every plug-in in the process shares it, whichever loaded first.
#include "RandomSequence.h"

std::mutex& RandomSequenceLock()
{
    static std::mutex lock;
    return lock;
}
