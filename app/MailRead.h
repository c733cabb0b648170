#pragma once
// The main window "Options": it owns every component of the gateway and holds
// every handler of the mail exchange - start-up, settings, the poll cycle, the
// receive step and the outbox pass.
#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>

#include "app/FileListBox.h"
#include "app/OutboxSettle.h"
#include "platform/Component.h"
#include "platform/StringList.h"
#include "platform/Timer.h"
#include "smtp/AddEmailLib_TLB.h"
#include "tray/Abcfdir.h"

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class TNMPOP3;
class TProfileFile;
class TabcTrayIcon;
class TabcPopupMenu;
class TImageList;

// What the program entry (or a test) decides before the window is made.
struct TfmOptionsSetup {
    std::string ConfigPath; // the settings file
    // No window and no tray: status texts and tray images are printed as
    // timestamped lines instead.
    bool Headless = false;
    // Runs one poll cycle for a script: no repeat cycle after a failed send.
    bool Once = false;
    // Test doubles; the real components when empty.
    std::unique_ptr<TSmtpMail> SmtpMail;
    std::unique_ptr<TabcDirectoryDialog> DirectoryDialog;
    // Where headless lines go (standard output when empty).
    std::function<void(const std::string& line)> Console;
};

// Bounds of the reconnect made by a poll cycle while the server is away.
struct TReconnectPolicy {
    int FirstPauseMs = 2000;    // doubles after each failed attempt...
    int MaxPauseMs = 60000;     // ...up to this, and never longer than the poll interval
    int GiveUpAfterMs = 300000; // then the cycle ends and the next poll takes over
};

class TfmOptions : public QMainWindow, public TObject {
public:
    explicit TfmOptions(TfmOptionsSetup setup);
    ~TfmOptions() override;

    // The start-up work; exceptions are reported and end it early.
    void FormCreate(TObject* Sender);
    // Configures the process-wide exception reporter, when there is one.
    void SetupErrorReporter();

    // --- handlers (named as the components and events they serve) ---
    void btnConnectClick(TObject* Sender);
    void btnDisconnectClick(TObject* Sender);
    void btnBrowseClick(TObject* Sender);
    void btnBrouse2Click(TObject* Sender);
    void timecomboboxChange(TObject* Sender);
    void Timer1Timer(TObject* Sender);
    void wakeuptimerTimer(TObject* Sender);
    void Timer2Timer(TObject* Sender);
    void Exit1Click(TObject* Sender);
    void Exit2Click(TObject* Sender);
    void Properties1Click(TObject* Sender);
    void NMPOP31Connect(TObject* Sender);
    void NMPOP31RetrieveStart(TObject* Sender);
    void NMPOP31RetrieveEnd(TObject* Sender);
    void NMPOP31AuthenticationFailed(bool& Handled);
    void NMPOP31InvalidHost(bool& Handled);
    void NMPOP31ConnectionFailed(TObject* Sender);
    void objSmtpMailStatusChange(TObject* Sender, int messageNumber, int newStatus);

    // The recipient address written in an outbox file, or "".
    std::string FindRecipient(const std::string& fileName);
    // One pass over the Outbox folder.
    void OutboxPass();

    // For --once: one poll cycle; true when it ended without an error.
    bool RunOneCycle();
    // --once: loads the settings and runs one cycle. Returns the exit code:
    // 0 without an error, 1 with one, 2 when the settings file is not
    // configured or cannot be read.
    int RunOnce();

    // The status texts of a POP3 server that stopped answering, of a receive
    // step given up after too many failed messages in a row, and of a poll
    // stopped by the watchdog.
    static constexpr const char* TimedOutText = "Connection Timed Out (POP3)";
    static constexpr const char* FailedInARowText =
        "20 messages in a row could not be received; the rest waits for the next poll";
    static constexpr int MaxFailedInARow = 20;
    static std::string StalledText(int seconds);
    // The POP3 reply time-out (settings key InTimeOut, seconds) when the key
    // is missing or not a whole number from 1 to MaxInTimeOutSeconds.
    static constexpr int DefaultInTimeOutSeconds = 60;
    static constexpr int MaxInTimeOutSeconds = 86400;

    // --- state, for the program entry and for tests ---
    bool Configured() const noexcept { return configured_; }
    // "Unable to read <path>: <reason>" when the settings file exists but
    // cannot be read; nothing is written to it then. Empty otherwise.
    const std::string& SettingsError() const noexcept { return settingsError_; }
    std::string StatusText() const;
    int TrayImageIndex() const noexcept { return trayImage_; }
    TabcTrayIcon* TrayIcon() const noexcept { return abcTrayIcon1; }
    TNMPOP3& Pop3() noexcept { return *NMPOP31; }
    TSmtpMail& Smtp() noexcept { return *objSmtpMail; }
    TTimer& PollTimer() noexcept { return *Timer1; }
    TTimer& WakeUpTimer() noexcept { return *wakeuptimer; }
    // Times the pause after a failed send (5 s; tests shorten it).
    TTimer& RetryTimer() noexcept { return *Timer2; }
    TReconnectPolicy ReconnectPolicy;
    const std::string& ConfigPath() const noexcept { return setup_.ConfigPath; }
    // The window's controls, for tests.
    QLineEdit* Field(const char* name) const;
    QPushButton* Button(const char* name) const;
    QComboBox* IntervalBox() const { return timecombobox; }
    // How long an outbox file must stay unchanged before it is sent (its
    // producer may still be writing it).
    int OutboxSettleMs = 2000;
    // Watchdog ticks in a row during one poll without a message received or
    // a file sent, after which the watchdog stops that poll.
    int WatchdogTicksWithoutProgress = 3;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void BuildMenus();
    void BuildTrayIcon();
    void WireComponents();

    void SetStatus(const std::string& text);
    void SetTrayImage(int index);
    void RepaintNow();
    void Print(const std::string& kind, const std::string& text) const;
    void ReportCaught(const std::exception& e);

    void SetConnectedState(bool connected);
    void SetAccountFieldsEnabled(bool enabled);
    bool StartupLoad();
    void ApplyInTimeOut(const TProfileFile& ini);
    void SettingsUnreadable(const std::string& text);
    bool CheckFields();
    bool CheckPortField(QLineEdit* field, const char* what);
    void ConnectButtonWork(bool retrieve);
    void ConnectWithOneRetry();
    void ErrorEventWork(const char* statusText);
    void ReceiveStep();
    bool ReconnectUntilConnected();
    void PollCycle();
    bool OpenSession();
    void EndSession();
    bool ShowIfTimedOut();
    void NoteProgress() noexcept { stalledTicks_ = 0; }
    bool Stopping() const noexcept { return abortRequested_ || exitRequested_; }
    void StopStalledCycle();
    void WaitForOutboxToSettle();
    void SendFile(const std::string& fullName, const std::string& recipient);
    void PauseAfterFailedSend();
    void EnsureMessageObjects();

    TfmOptionsSetup setup_;
    bool configured_ = false;
    int trayImage_ = 1;
    bool exiting_ = false;

    // Components (named as on the form).
    std::unique_ptr<TNMPOP3> NMPOP31;
    std::unique_ptr<TSmtpMail> objSmtpMail;
    std::unique_ptr<TTimer> Timer1;
    std::unique_ptr<TTimer> wakeuptimer;
    std::unique_ptr<TTimer> Timer2;
    std::unique_ptr<TabcDirectoryDialog> abcDirectoryDialog1;
    TabcTrayIcon* abcTrayIcon1 = nullptr; // owned by the window (Qt parent)
    TabcPopupMenu* abcPopupMenu1 = nullptr;
    TImageList* ImageList1 = nullptr;
    TFileListBox FileListBox;
    TStringList RichEdit; // reads one outbox file as lines
    TOutboxSettle OutboxSettle;

    // Controls.
    QLineEdit* Host = nullptr;
    QLineEdit* UserId = nullptr;
    QLineEdit* password = nullptr;
    QLineEdit* IncPort = nullptr;
    QLineEdit* OutHost = nullptr;
    QLineEdit* fromaddr = nullptr;
    QLineEdit* OutgPort = nullptr;
    QLineEdit* OutId = nullptr;
    QLineEdit* password2 = nullptr;
    QLineEdit* path = nullptr;
    QLineEdit* OutPath = nullptr;
    QComboBox* timecombobox = nullptr;
    QPushButton* btnBrowse = nullptr;
    QPushButton* btnBrouse2 = nullptr;
    QPushButton* btnConnect = nullptr;
    QPushButton* btnDisconnect = nullptr;
    QLabel* Status = nullptr;

    // Private state.
    std::string OutboxPath;
    IMailMessagePtr objMessage;
    IMailAddressPtr objAddress;
    IMailAttachmentPtr objAttachment;
    bool SendWait = false;

    // What bounds the retries and repeats.
    bool inErrorRetry_ = false;   // an error event's new attempt is running
    bool retryPending_ = false;   // an error event asked for a new attempt
    bool repeatWanted_ = false;   // a send failed: one repeat cycle after this one
    bool pausedThisPass_ = false; // the 5-second pause after a failed send was made
    bool cycleFailed_ = false;    // for --once
    bool cycleRunning_ = false;   // a poll cycle (or its repeat) is running
    int stalledTicks_ = 0;        // watchdog ticks since the running poll's last progress
    bool abortRequested_ = false; // the watchdog stopped the running poll
    bool exitRequested_ = false;  // Exit during a poll: it ends its session and stops
    std::string settingsError_;   // the settings file cannot be read
};
