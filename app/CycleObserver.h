#pragma once
// What the mail exchange tells the one who shows it (the window, the
// headless runner, a test): status texts, tray states, and the few moments
// the window reacts to. Handlers raise nothing.
#include <exception>
#include <string>

#include "app/Progress.h"
#include "app/Settings.h"

// The six images of the tray icon's image list, by index.
enum class TTrayImage {
    NewMail = 0,   // an envelope: mail waiting or just received
    Idle = 1,      // a computer: idle or connected
    Receiving = 2, // an arrow into a document
    Sending = 3,   // an arrow out of a document
    Mailbox = 4,   // a mailbox with a flag: never shown
    Error = 5,     // a prohibition sign: error or disconnected
};

// How reading and applying the settings file ended.
enum class TLoadResult {
    Unreadable,    // it exists but cannot be read; nothing is written to it then
    NotConfigured, // a server is missing
    InvalidPort,   // loaded; a port is no port number
    Loaded,
};

class TCycleObserver {
public:
    virtual ~TCycleObserver() = default;
    // The status line's new text.
    virtual void Status(const std::string& text) = 0;
    virtual void TrayImage(TTrayImage image) = 0;
    // Shows what was set now: a long wait follows.
    virtual void Repaint() {}
    // A failure that was caught; the exchange goes on. The exception
    // reporter has logged it already when it was raised.
    virtual void Caught(const std::exception& e) = 0;
    // A line for whoever runs the program from a script.
    virtual void Error(const std::string& text) = 0;
    // A session was opened (the account is locked) or ended.
    virtual void SessionState(bool open) = 0;
    // The values now in effect, to show in the fields (the interval apart).
    virtual void ShowSettings(const TSettings& settings) = 0;
    virtual void ShowInterval(int index) = 0;
    // The settings cannot be used as they are: the user has to see them.
    virtual void SettingsNeeded(TLoadResult why) = 0;
    // An error event asks for one new log-in with the values shown.
    virtual void LogInAgain() = 0;
    // How far the running exchange is: after each message read, before each
    // file sent. The status line is not this; it says what it always said.
    virtual void Progress(const TExchangeProgress&) {}
    // The receive step or the outbox pass has ended.
    virtual void ProgressEnded() {}
};
