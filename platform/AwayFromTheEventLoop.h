#pragma once
// Work that can only block (a libcurl request made with the easy interface)
// done on a thread of its own, while the caller's event loop keeps running:
// the tray stays responsive and timers keep ticking, as during the other
// waits of a poll.
//
// Errors: whatever `work` raises is raised again here, unchanged. Nothing
// else is raised, except std::system_error when no thread or wake-up pipe can
// be had.
#include <functional>

// Runs `work` and returns when it has ended. Off the application's thread, or
// without an application object, `work` simply runs here: there is no loop
// to keep running.
void RunAwayFromTheEventLoop(const std::function<void()>& work);
