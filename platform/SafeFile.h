#pragma once
// Files that appear whole or not at all. Another program consumes what we
// write, so a reader must never see a half-written file, and a crash must
// never leave one behind under the final name.
#include <string>
#include <sys/types.h>

// Writes `data` to a new temporary file in the folder of `path`, syncs it,
// renames it over `path` and syncs the folder. `mode` is the final file's
// permission bits. Raises EFCreateError "Cannot create file <path>" or
// EInOutError with the reason.
void ReplaceFileAtomically(const std::string& path, const std::string& data, mode_t mode);

// Renames `from` to `to` without replacing an existing `to` (returns false
// when `to` exists); raises EInOutError on other failures.
bool RenameNoReplace(const std::string& from, const std::string& to);

// Makes a file's contents and the folder entry that names it durable
// (fsync of the file, then of its folder). Raises EInOutError.
void SyncFileAndFolder(const std::string& path);
void SyncFolder(const std::string& folder);

// The folder part of a path ("." when it has none).
std::string FolderOf(const std::string& path);
