#pragma once
// Files that appear whole or not at all. Another program consumes what we
// write, so a reader must never see a half-written file, and a crash must
// never leave one behind under the final name.
#include <cstdio>
#include <string>
#include <sys/types.h>
#include <unistd.h>

// Writes `data` to a new temporary file in the folder of `path`, syncs it,
// renames it over `path` and syncs the folder. `mode` is the final file's
// permission bits. Raises EFCreateError "Cannot create file <path>" or
// EInOutError with the reason.
void ReplaceFileAtomically(const std::string& path, const std::string& data, mode_t mode);

// The system calls RenameNoReplace tries first. Tests replace them to play a
// file system without hard links or without the no-replace rename flag.
struct RenameCalls {
    int (*link)(const char* from, const char* to) = ::link;
    int (*renameat2)(int fromDir, const char* from, int toDir, const char* to,
                     unsigned int flags) = ::renameat2;
};

// Renames `from` to `to` without replacing an existing `to` (returns false
// when `to` exists); raises EInOutError "Cannot rename <from> to <to>:
// <reason>" on other failures. Works on file systems without hard links:
// link + unlink first; where links are refused (EPERM, EOPNOTSUPP, ENOSYS,
// EMLINK), renameat2 with RENAME_NOREPLACE; where that flag is unknown
// (EINVAL, ENOSYS, EOPNOTSUPP), `to` is created exclusively and `from` renamed
// over it. In that last way `to` exists, empty, for a moment before it gets
// its contents (and stays so if the process dies in between); it is never
// anyone else's file that gets replaced.
bool RenameNoReplace(const std::string& from, const std::string& to, const RenameCalls& calls = {});

// Makes a file's contents and the folder entry that names it durable
// (fsync of the file, then of its folder). Raises EInOutError.
void SyncFileAndFolder(const std::string& path);
void SyncFolder(const std::string& folder);

// The folder part of a path ("." when it has none).
std::string FolderOf(const std::string& path);
