// What the kernel's event classes need to know of where their memory comes from.
#pragma once

// True while a UxEventPoolScope is open on this thread: the heap is off limits.
__attribute__((visibility("hidden"))) bool InEventPoolScope() noexcept;
