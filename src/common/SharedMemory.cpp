#include "SharedMemory.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

size_t SharedMemoryMappedLength(size_t size) {
    return size < 8 ? 8 : size;
}

namespace {
// Opens and sizes the block; -1 with errno set when either fails.
int openSized(const std::string& name, size_t length, bool& sizeFailed) {
    sizeFailed = false;
    int fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0666);
    if (fd < 0) {
        return -1;
    }
    // The umask would otherwise take the group and world bits that other programs need.
    fchmod(fd, 0666);
    struct stat info {};
    if (fstat(fd, &info) == 0 && static_cast<size_t>(info.st_size) == length) {
        return fd;
    }
    if (ftruncate(fd, static_cast<off_t>(length)) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        sizeFailed = true;
        return -1;
    }
    return fd;
}
} // namespace

unsigned char* MapSharedMemory(const std::string& name, size_t size, std::string& error) {
    size_t length = SharedMemoryMappedLength(size);
    bool sizeFailed = false;
    int fd = openSized(name, length, sizeFailed);
    if (fd < 0 && sizeFailed) {
        // A block of another size that cannot be resized (another owner's, say): start afresh.
        shm_unlink(name.c_str());
        fd = openSized(name, length, sizeFailed);
    }
    if (fd < 0) {
        error = strerror(errno);
        return nullptr;
    }
    void* mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int saved = errno;
    close(fd);
    if (mapped == MAP_FAILED) {
        error = strerror(saved);
        return nullptr;
    }
    return static_cast<unsigned char*>(mapped);
}

unsigned char* MapPrivateMemory(size_t size) {
    void* mapped = mmap(nullptr, SharedMemoryMappedLength(size), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return mapped == MAP_FAILED ? nullptr : static_cast<unsigned char*>(mapped);
}

void UnmapSharedMemory(unsigned char* data, size_t size) {
    if (data) {
        munmap(data, SharedMemoryMappedLength(size));
    }
}
