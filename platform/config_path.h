#pragma once

namespace quillpost {

/// The file name of the service configuration file, in the system directory.
extern const char kConfigFileName[];

class Platform;

/// Forms the path of the service configuration file in |buffer| of |size|
/// bytes: the system directory, asked for with |capacity| characters,
/// followed by the platform's path separator (a backslash on Windows, a
/// slash on POSIX) and "Mapisvc.inf". Returns true on success;
/// false when the system directory is not available or the path does not fit
/// in |buffer| (|buffer| then holds an empty string: never a cut path).
bool ServiceConfigPath(Platform& platform, char* buffer, unsigned size, unsigned capacity);

/// As ServiceConfigPath, and when it fails prints the line that says why:
/// kNoSystemDirectory, or that the directory is too long for |size|.
bool ServiceConfigPathOrSay(Platform& platform, char* buffer, unsigned size, unsigned capacity);

}  // namespace quillpost
