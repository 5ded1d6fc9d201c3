#pragma once
// Small file functions over the platform file handle. Safe from any thread for different
// handles; calls on one handle are serialised by its user. Errors are result codes, never raised.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/fileHandle.h"

namespace una {

using platform::SeekOrigin;

// Result codes of fileWrite, fileRead and writeToFile.
inline constexpr int32_t kFileOk = 0;
inline constexpr int32_t kFileNoName = -1;      // writeToFile: empty name
inline constexpr int32_t kFileCannotOpen = -2;  // writeToFile: open failed
inline constexpr int32_t kFileBadHandle = -2;   // fileWrite/fileRead: handle not open
inline constexpr int32_t kFileCallFailed = -3;  // the platform call failed
inline constexpr int32_t kFileShortTransfer = -4;

// True for an existing file that is not a folder.
bool fileExists(std::string_view name);
bool directoryExists(std::string_view name);
// Creates every missing folder of path. A name shorter than 3 characters or an existing folder
// counts as done; false when a folder could not be made.
bool forceDirectories(std::string_view path);

// Bytes in the file, -1 when it is missing or no regular file can be read. 64-bit: recordings
// pass 2 GB.
int64_t fileSize(std::string_view name);
// -1 for a closed handle.
int64_t fileSize(const platform::FileHandle& handle);
// Moves to position and cuts the file there; false when the handle is closed or the cut failed.
bool fileTruncate(platform::FileHandle& handle, int64_t position);

// Moves by offset from origin, then writes len bytes: 0, -2 (handle not open), -3 (seek or write
// failed), -4 (fewer bytes written). Nothing to write (len 0 or no data) does nothing: 0.
int32_t fileWrite(platform::FileHandle& handle, const void* data, uint32_t len,
                  SeekOrigin origin = SeekOrigin::current, int64_t offset = 0);
// As fileWrite, reading; -4 when fewer bytes were read, with len set to the count read.
int32_t fileRead(platform::FileHandle& handle, void* data, uint32_t& len,
                 SeekOrigin origin = SeekOrigin::current, int64_t offset = 0);

// Opens name (created when missing, never truncated), writes as fileWrite does and closes it:
// -1 for an empty name, -2 when it cannot be opened, else fileWrite's result.
int32_t writeToFile(std::string_view name, const void* data, uint32_t len,
                    SeekOrigin origin = SeekOrigin::begin, int64_t offset = 0);

}  // namespace una
