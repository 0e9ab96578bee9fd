#pragma once
// Set-up shared by the configuration and request fuzz targets: a private media directory, quiet
// loggers, simulated pins in a private file, and (for targets that open devices named by their
// input) a private mount namespace whose /dev holds only /dev/null, so no input can reach a real
// device of the machine.

#include <cstddef>
#include <cstdint>
#include <string>

// Creates the media directory (KIV_MEDIA_DIR) named after target and returns its path; loggers
// are set to errors only and standard output goes to /dev/null.
std::string FuzzSetUp(const char* target);
// Puts the process into a private mount namespace with an empty /dev (but /dev/null and a private
// /dev/shm). Aborts when it cannot, rather than fuzz against the machine's devices.
void FuzzIsolateDevices();
// Loggers back to errors only, after an input may have changed their levels through settings.
void FuzzQuietLogs();
// Writes bytes to path, replacing it.
void FuzzWriteFile(const std::string& path, const uint8_t* data, size_t size);
// Warnings pile up over millions of inputs; each target drops them after every input.
void FuzzForgetWarnings();
