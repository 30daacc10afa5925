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
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/system_files.h"  // SystemErrorText, for the saves' failures

namespace corvanta {

// The contents of the file at `path`.
void SyncFileToDisk(const std::filesystem::path& path);

// The entries of `folder`: a file created or renamed in it. A file system that cannot sync a
// folder at all counts as done, since it offers nothing more.
void SyncFolderToDisk(const std::filesystem::path& folder);

// Whether a failed replacing rename may pass when tried again shortly: on Windows a virus
// scanner or an indexer holds a new file for a moment. Never on POSIX systems.
bool RenameMayPassLater(const std::error_code& error);

// The settings file's text in the form the platform's earlier programs read and wrote: UTF-8 on
// POSIX systems; on Windows the ANSI code page, or UTF-8 after a byte-order mark when a text does
// not fit in it (nothing is lost). ToFileText takes the program's UTF-8; FromFileText turns the
// file's lines back into UTF-8 in place, also reading the UTF-8 an earlier Windows build wrote.
std::string ToFileText(std::string_view utf8);
void FromFileText(std::vector<std::string>& lines);

}  // namespace corvanta
