// Host descriptors held by the layer's own code, and the machine-wide name
// locks of the named objects (a flock on a file under objects/).
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace tovel::platform {

// Owns one descriptor (-1 = none) and closes it.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// flock, retried when a signal interrupts it.
inline int retry_flock(int fd, int operation) {
    int result;
    do {
        result = ::flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

// Gives the file at least size bytes with their blocks reserved on its disk
// (the file grows when shorter; holes below size are filled). A page of a
// shared mapping over a hole that the disk has no room for would kill the
// process with SIGBUS at its first write, so every writable mapping's file
// goes through here first. 0, or the errno of the failure (ENOSPC for a
// full disk); a failure leaves the file's size as it was.
inline int reserve_file(int fd, off_t size) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno;
    int error;
    do {
        error = ::posix_fallocate(fd, 0, size);
    } while (error == EINTR);
    if (error != 0 && st.st_size < size) {
        while (::ftruncate(fd, st.st_size) != 0 && errno == EINTR) {
        }
    }
    return error;
}

// The exclusive lock of one kind of names (the file "<kind>.lock" in the
// objects folder), held for the length of a scope; every process of the
// machine takes the same one.
class NamespaceLock {
public:
    NamespaceLock(const std::string& objects, const char* kind)
        : fd_(::open((objects + "/" + kind + ".lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC,
                     0644)) {
        if (fd_.get() >= 0 && retry_flock(fd_.get(), LOCK_EX) != 0) fd_.reset();
    }
    bool held() const { return fd_.get() >= 0; }

private:
    Descriptor fd_;  // closing it lets go of the lock
};

}  // namespace tovel::platform
