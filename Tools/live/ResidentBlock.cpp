#include "ResidentBlock.h"

#include <sys/mman.h>

ResidentBlock::ResidentBlock(size_t bytes) : mSize(bytes)
{
    if (bytes == 0)
        return;
    void* start = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (start == MAP_FAILED)
        throw std::bad_alloc();
    mStart = static_cast<uint8_t*>(start);
}

ResidentBlock::~ResidentBlock()
{
    if (mStart)
        munmap(mStart, mSize);
}
