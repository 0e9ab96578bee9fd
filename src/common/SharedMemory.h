#pragma once
// POSIX shared-memory blocks that other processes on the machine open by name.
//
// A block is opened read-write (created with mode 0666 when missing), sized and mapped shared.
// The caller owns the mapping and releases it with UnmapSharedMemory; names stay until
// shm_unlink. Blocks are written by other processes too, so callers never trust a size or an
// index read from inside one.

#include <cstddef>
#include <string>

// Maps `name` with `size` bytes (at least 8 are mapped). When the block exists but cannot be sized
// it is unlinked and made again once. Returns null on failure, with the system's error text in
// `error`; nothing stays mapped then.
unsigned char* MapSharedMemory(const std::string& name, size_t size, std::string& error);
// Private zeroed memory of the same shape, for when the shared block cannot be had.
unsigned char* MapPrivateMemory(size_t size);
// Releases what either of the two above returned (null is ignored).
void UnmapSharedMemory(unsigned char* data, size_t size);
// The length MapSharedMemory maps for `size` bytes.
size_t SharedMemoryMappedLength(size_t size);
