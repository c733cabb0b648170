#pragma once
// Waits that keep the application alive: timers, tray clicks and button
// presses run inside them. They sleep in the event loop until something
// happens; none of them spins.
#include <functional>

// Processes events until `done` returns true. Each turn blocks until at least
// one event arrives, so `done` must become true through an event (a timer tick,
// a socket notification, a posted call).
void ProcessMessagesUntil(const std::function<bool()>& done);

// Keeps processing events for `ms` milliseconds.
void ProcessMessagesFor(int ms);
