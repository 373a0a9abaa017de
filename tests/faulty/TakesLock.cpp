// Guards nothing with a mutex.
#define FAULTY_NAME "Takes Lock"
#include "Faulty.h"

#include <mutex>

namespace {
std::mutex gLock;

UxEvent* Answer(UxEvent* event)
{
    const std::lock_guard<std::mutex> lock(gLock);
    return event;
}
}  // namespace
