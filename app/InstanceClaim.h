#pragma once
// The start of the program takes the instance lock of its settings file; a
// start that cannot take it is refused and says why: on standard error
// without a window, in a message box with one.
#include "app/InstanceLock.h"

#include <string>

// Exit status of a start refused because another mailgate runs with the
// same settings file.
constexpr int ExitAnotherInstance = 3;
// Exit status when the lock file cannot be used (no lock, no gateway: the
// settings folder is then the problem, as with an unreadable settings file).
constexpr int ExitLockUnusable = 2;

// Returns 0 when `lock` is now held. Otherwise shows
// TInstanceLock::RefusalText(settingsPath) - or the error of TryAcquire - as
// a line on standard error, or in a message box when `inWindow`, and returns
// ExitAnotherInstance or ExitLockUnusable. Raises nothing else.
int ClaimInstance(TInstanceLock& lock, const std::string& settingsPath, bool inWindow);
