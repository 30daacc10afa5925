#pragma once
// Forcing a save onto the disk. Writing and renaming only reach the system's cache: a power cut
// soon after could leave the settings file empty, or the old one back in place. Each platform
// supplies these two calls: settings/posix/durable.cpp on Linux and the other POSIX systems,
// settings/win32/durable.cpp on Windows.
//
// Both are called on the window thread, from a save. They block until the disk has the data,
// normally a few milliseconds, longer on a slow or busy disk. When the file or folder cannot be
// opened or the disk reports a write error they throw SettingsError, its text "cannot sync PATH to
// disk: REASON" with the system's reason, to be put after what the caller was doing.
#include <filesystem>

namespace corvanta {

// The contents of the file at `path`.
void SyncFileToDisk(const std::filesystem::path& path);

// The entries of `folder`: a file created or renamed in it. A file system that cannot sync a
// folder at all counts as done, since it offers nothing more.
void SyncFolderToDisk(const std::filesystem::path& folder);

}  // namespace corvanta
