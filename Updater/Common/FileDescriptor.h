#pragma once

// A file descriptor owned by one scope and closed on every way out of it.

#include <unistd.h>

class cFileDescriptor
{
public:
    explicit cFileDescriptor(int fd = -1) : mFd(fd) {}
    ~cFileDescriptor() { Reset(); }
    cFileDescriptor(const cFileDescriptor&) = delete;
    cFileDescriptor& operator=(const cFileDescriptor&) = delete;
    cFileDescriptor(cFileDescriptor&& other) noexcept : mFd(other.Release()) {}
    cFileDescriptor& operator=(cFileDescriptor&& other) noexcept
    {
        Reset(other.Release());
        return *this;
    }

    int Get() const { return mFd; }
    bool IsOpen() const { return mFd >= 0; }
    int Release()
    {
        const int fd = mFd;
        mFd = -1;
        return fd;
    }
    void Reset(int fd = -1)
    {
        if (mFd >= 0)
        {
            ::close(mFd);
        }
        mFd = fd;
    }

private:
    int mFd;
};
