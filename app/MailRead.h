#pragma once
// The main window "Options": the fields of the settings, the buttons, the
// status line, the tray icon and its menu. The mail exchange is the poll
// cycle's (app/PollCycle.h); the window shows what it tells and hands it
// what the user does. The handlers keep the names the program is known by.
#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>

#include "app/ConsoleLog.h"
#include "app/CycleObserver.h"
#include "app/PollCycle.h"
#include "platform/Component.h"
#include "platform/Timer.h"
#include "smtp/AddEmailLib_TLB.h"
#include "tray/Abcfdir.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TNMPOP3;
class TabcTrayIcon;
class TabcPopupMenu;
class TImageList;

// What the program entry (or a test) decides before the window is made.
struct TfmOptionsSetup {
    std::string ConfigPath; // the settings file
    // No tray icon, and the window never shows itself: status texts and tray
    // images are printed as timestamped lines instead.
    bool Headless = false;
    // Test doubles; the real components when empty.
    std::unique_ptr<TSmtpMail> SmtpMail;
    std::unique_ptr<TabcDirectoryDialog> DirectoryDialog;
    // Where headless lines go (standard output when empty).
    std::function<void(const std::string& line)> Console;
};

class TfmOptions : public QMainWindow, public TObject, private TCycleObserver {
public:
    explicit TfmOptions(TfmOptionsSetup setup);
    ~TfmOptions() override;

    // The start-up work; exceptions are reported and end it early.
    void FormCreate(TObject* Sender);
    static void SetupErrorReporter() { TPollCycle::SetupErrorReporter(); }

    // --- handlers (named as the components and events they serve) ---
    void btnConnectClick(TObject* Sender);
    void btnDisconnectClick(TObject* Sender);
    void btnBrowseClick(TObject* Sender);
    void btnBrouse2Click(TObject* Sender);
    void timecomboboxChange(TObject* Sender);
    // A user's pick of a "Security" entry.
    void InSecurityChange(TObject* Sender);
    void OutSecurityChange(TObject* Sender);
    void Timer1Timer(TObject*) { cycle_->PollTick(); }
    void wakeuptimerTimer(TObject*) { cycle_->WatchdogTick(); }
    void Timer2Timer(TObject*) { cycle_->RetryPauseTick(); }
    void Exit1Click(TObject* Sender);
    void Exit2Click(TObject* Sender);
    void Properties1Click(TObject* Sender);
    void NMPOP31Connect(TObject*) { cycle_->Pop3Connected(); }
    void NMPOP31RetrieveStart(TObject*) { cycle_->RetrieveStarted(); }
    void NMPOP31RetrieveEnd(TObject*) { cycle_->RetrieveEnded(); }
    void NMPOP31AuthenticationFailed(bool& Handled) { cycle_->AuthenticationFailed(Handled); }
    void NMPOP31InvalidHost(bool&) { cycle_->InvalidHost(); }
    void NMPOP31ConnectionFailed(TObject*) { cycle_->ConnectionFailed(); }
    void objSmtpMailStatusChange(TObject*, int messageNumber, int newStatus) {
        cycle_->SmtpStatusChange(messageNumber, newStatus);
    }

    // The recipient address written in an outbox file, or "".
    static std::string FindRecipient(const std::string& fileName) {
        return TOutbox::FindRecipient(fileName);
    }
    void OutboxPass() { cycle_->OutboxPass(); }
    // For --once: one poll cycle; true when it ended without an error.
    bool RunOneCycle() { return cycle_->RunOneCycle(); }
    // Loads the settings and runs one cycle; the exit code of --once.
    int RunOnce() { return cycle_->RunOnce(); }

    // --- state, for the program entry and for tests ---
    TPollCycle& Cycle() noexcept { return *cycle_; }
    bool Configured() const noexcept { return cycle_->Configured(); }
    const std::string& SettingsError() const noexcept { return cycle_->SettingsError(); }
    std::string StatusText() const;
    int TrayImageIndex() const noexcept { return static_cast<int>(trayImage_); }
    TabcTrayIcon* TrayIcon() const noexcept { return abcTrayIcon1; }
    TNMPOP3& Pop3() noexcept { return cycle_->Pop3(); }
    TSmtpMail& Smtp() noexcept { return cycle_->Smtp(); }
    TTimer& PollTimer() noexcept { return cycle_->PollTimer(); }
    TTimer& WakeUpTimer() noexcept { return cycle_->WakeUpTimer(); }
    TTimer& RetryTimer() noexcept { return cycle_->RetryTimer(); }
    const std::string& ConfigPath() const noexcept { return cycle_->ConfigPath(); }
    // The window's controls, for tests.
    QLineEdit* Field(const char* name) const;
    QPushButton* Button(const char* name) const;
    QComboBox* IntervalBox() const { return timecombobox; }
    // "InSecurity" or "OutSecurity".
    QComboBox* SecurityBox(const char* name) const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // What the poll cycle tells.
    void Status(const std::string& text) override;
    void TrayImage(TTrayImage image) override;
    void Repaint() override;
    void Caught(const std::exception& e) override;
    void Error(const std::string& text) override;
    void SessionState(bool open) override;
    void ShowSettings(const TSettings& settings) override;
    void ShowInterval(int index) override;
    void SettingsNeeded(TLoadResult why) override;
    void LogInAgain() override { ConnectButtonWork(false); }
    // The tray icon's tip; a line now and then when headless.
    void Progress(const TExchangeProgress& progress) override;
    void ProgressEnded() override;

    void BuildControls();
    void BuildMenus();
    void BuildTrayIcon();
    void SetAccountFieldsEnabled(bool enabled);
    void SetButtons(bool connect, bool disconnect);
    // The values in the fields.
    TSettings Entered() const;
    void ConnectButtonWork(bool retrieve);

    bool headless_;
    TConsoleLog console_;
    TProgressLines progressLines_{console_};
    std::string idleHint_; // the tray icon's tip when no exchange runs
    TTrayImage trayImage_ = TTrayImage::Idle;
    bool exiting_ = false;

    std::unique_ptr<TPollCycle> cycle_;
    std::unique_ptr<TabcDirectoryDialog> abcDirectoryDialog1;
    TabcTrayIcon* abcTrayIcon1 = nullptr; // owned by the window (Qt parent)
    TabcPopupMenu* abcPopupMenu1 = nullptr;
    TImageList* ImageList1 = nullptr;

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
    QComboBox* InSecurity = nullptr; // entries in the order of TSecurity
    QComboBox* OutSecurity = nullptr;
    QPushButton* btnBrowse = nullptr;
    QPushButton* btnBrouse2 = nullptr;
    QPushButton* btnConnect = nullptr;
    QPushButton* btnDisconnect = nullptr;
    QLabel* statusLine_ = nullptr; // the form's "Status"
};
