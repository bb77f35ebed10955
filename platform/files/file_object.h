// The kernel object behind a file handle. Internal to the layer.
#pragma once

#include <string>

#include "platform/kernel/kernel_object.h"

namespace tovel::platform {

class FileObject : public KernelObject {
public:
    FileObject(int fd, bool readable, bool writable, bool directory, std::string path,
               bool delete_on_close, bool volume = false)
        : fd_(fd),
          readable_(readable),
          writable_(writable),
          directory_(directory),
          delete_on_close_(delete_on_close),
          volume_(volume),
          path_(std::move(path)) {}
    ~FileObject() override;
    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;

    int fd() const { return fd_; }
    bool readable() const { return readable_; }
    bool writable() const { return writable_; }
    bool directory() const { return directory_; }
    // A handle of a whole volume ("\\.\C:"): path() is the drive's folder,
    // and a flush forces everything on the volume to its disk.
    bool volume() const { return volume_; }
    const std::string& path() const { return path_; }

private:
    int fd_;
    bool readable_;
    bool writable_;
    bool directory_;
    bool delete_on_close_;
    bool volume_;
    std::string path_;
};

}  // namespace tovel::platform
