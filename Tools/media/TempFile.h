// A file of the system's temporary folder that has no name from the start,
// written through a buffer, then mapped or read back once it is whole: a song's
// messages and notes, and a render's samples, wait in one.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <Smf.h>

class TempFile : public SmfSink {
public:
    TempFile() : mFile(std::tmpfile())
    {
        if (!mFile)
            Fail("cannot make a temporary file");
        mBuffer.reserve(kBufferSize);
    }
    ~TempFile() override
    {
        if (mData)
            munmap(mData, mSize);
        if (mFile)
            std::fclose(mFile);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    void Append(const uint8_t* bytes, size_t size) override
    {
        if (mBuffer.size() + size > kBufferSize)
            Flush();
        if (size > kBufferSize)
            Write(bytes, size);
        else
            mBuffer.insert(mBuffer.end(), bytes, bytes + size);
    }
    void Overwrite(uint64_t offset, const uint8_t* bytes, size_t size) override
    {
        Flush();
        if (pwrite(fileno(mFile), bytes, size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size))
            Fail("cannot write a temporary file");
    }
    // Maps what was written; the song is read from here on.
    void Map()
    {
        Flush();
        const off_t size = lseek(fileno(mFile), 0, SEEK_END);
        void* data =
            size > 0 ? mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, fileno(mFile), 0) : MAP_FAILED;
        if (data == MAP_FAILED)
            Fail("cannot read a temporary file back");
        mData = static_cast<uint8_t*>(data);
        mSize = static_cast<size_t>(size);
    }
    const uint8_t* Data() const { return mData; }
    size_t Size() const { return mSize; }

    void Flush()
    {
        Write(mBuffer.data(), mBuffer.size());
        mBuffer.clear();
    }
    // Up to `size` bytes from `offset` of what was flushed, into `bytes`: how many.
    size_t Read(uint64_t offset, void* bytes, size_t size) const
    {
        const ssize_t read = pread(fileno(mFile), bytes, size, static_cast<off_t>(offset));
        if (read < 0)
            Fail("cannot read a temporary file back");
        return static_cast<size_t>(read);
    }

private:
    static constexpr size_t kBufferSize = 1 << 16;

    void Write(const uint8_t* bytes, size_t size)
    {
        if ((size > 0 && std::fwrite(bytes, 1, size, mFile) != size) || std::fflush(mFile) != 0)
            Fail("cannot write a temporary file");
    }
    [[noreturn]] static void Fail(const std::string& problem)
    {
        throw std::runtime_error(problem + ": " + std::strerror(errno));
    }

    std::FILE* mFile;
    std::vector<uint8_t> mBuffer;
    uint8_t* mData = nullptr;
    size_t mSize = 0;
};
