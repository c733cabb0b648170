#include "app/MailRead.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QFormLayout>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>

#include "excreport/ExcMagic.h"
#include "platform/Convert.h"
#include "platform/GuardedApplication.h"
#include "platform/ProfileFile.h"
#include "pop3/NMpop3.h"
#include "tray/Abcfdir.h"
#include "tray/abctray.h"
#include "tray/abctrayImageList.h"

namespace {

const char* const Section = "Account";

// The poll intervals, by the index stored in the key Time.
constexpr int IntervalMs[] = {30000,   60000,   180000,  300000,   600000,   1200000, 1800000,
                              2700000, 3600000, 7200000, 21600000, 43200000, 86400000};
const char* const IntervalNames[] = {"30 sec",  "1 min",    "3 min",   "5 min",  "10 min",
                                     "20 min",  "30 min",   "45 min",  "1 hour", "2 hours",
                                     "6 hours", "12 hours", "24 hours"};
constexpr int DefaultInterval = 3; // "5 min"

std::string Text(const QLineEdit* field) {
    return field->text().toStdString();
}

void SetText(QLineEdit* field, const std::string& text) {
    field->setText(QString::fromStdString(text));
}

} // namespace

TfmOptions::TfmOptions(TfmOptionsSetup setup) : setup_(std::move(setup)) {
    setWindowTitle("Options");
    setObjectName("fmOptions");
    // The window's position and size as designed; its font is the platform's.
    setGeometry(200, 116, 494, 530);

    NMPOP31 = std::make_unique<TNMPOP3>();
    NMPOP31->SetPort(110);
    NMPOP31->SetReportLevel(0);
    NMPOP31->SetParse(true);
    NMPOP31->SetDeleteOnRead(true);
    // A server that stops answering must not hold the gateway for good.
    NMPOP31->SetTimeOut(DefaultInTimeOutSeconds * 1000);
    objSmtpMail = setup_.SmtpMail ? std::move(setup_.SmtpMail) : std::make_unique<TSmtpMail>();
    Timer1 = std::make_unique<TTimer>(30000, false);
    wakeuptimer = std::make_unique<TTimer>(300000, false);
    Timer2 = std::make_unique<TTimer>(5000, false);
    abcDirectoryDialog1 = setup_.DirectoryDialog ? std::move(setup_.DirectoryDialog)
                                                 : std::make_unique<TabcDirectoryDialog>();

    BuildControls();
    BuildMenus();
    WireComponents();
    if (!setup_.Headless) {
        BuildTrayIcon();
    }
}

void TfmOptions::BuildTrayIcon() {
    ImageList1 = CreateImageList1(this);
    abcTrayIcon1 = new TabcTrayIcon(this);
    // As stored with the form: applied while loading, then the icon's
    // after-load step hides the window (where a notification area exists).
    abcTrayIcon1->SetLoading(true);
    abcTrayIcon1->SetImages(ImageList1);
    abcTrayIcon1->SetImageIndex(1);
    abcTrayIcon1->SetVisible(false);
    abcTrayIcon1->SetAnimateInterval(1000);
    abcTrayIcon1->SetPopupMenu(abcPopupMenu1);
    abcTrayIcon1->SetOptions(atiShowOnDblClick | atiHideApp | atiHideOnClose |
                             atiTerminateOnLogoff | atiMonitorTray);
    abcTrayIcon1->Loaded();
}

TfmOptions::~TfmOptions() {
    // Components go before the controls their handlers touch.
    Timer1.reset();
    wakeuptimer.reset();
    Timer2.reset();
    NMPOP31.reset();
}

void TfmOptions::BuildControls() {
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);

    auto addField = [](QFormLayout* form, const char* label, const char* name,
                       bool masked = false) {
        auto* edit = new QLineEdit;
        edit->setObjectName(name);
        if (masked) {
            edit->setEchoMode(QLineEdit::Password);
        }
        form->addRow(label, edit);
        return edit;
    };
    // The port fields take digits only, as the numeric entry fields did.
    auto portValidator = new QRegularExpressionValidator(QRegularExpression("[0-9]{0,5}"), this);

    auto* incoming = new QGroupBox("Incomong Mail");
    auto* inForm = new QFormLayout(incoming);
    Host = addField(inForm, "Incoming Mail Server (POP3):", "Host");
    UserId = addField(inForm, "Acount Name:", "UserId");
    password = addField(inForm, "Password:", "password", true);
    IncPort = addField(inForm, "Port", "IncPort");
    IncPort->setValidator(portValidator);
    layout->addWidget(incoming);

    auto* outgoing = new QGroupBox("Outgoing Mail");
    auto* outForm = new QFormLayout(outgoing);
    OutHost = addField(outForm, "Outgoing Mail Server (SMTP):", "OutHost");
    fromaddr = addField(outForm, "From Address:", "fromaddr");
    OutgPort = addField(outForm, "Port", "OutgPort");
    OutgPort->setValidator(portValidator);
    outForm->addRow(new QLabel("Server authentication (leave empty if not required)"));
    OutId = addField(outForm, "UserID:", "OutId");
    password2 = addField(outForm, "Password:", "password2", true);
    layout->addWidget(outgoing);

    auto* options = new QGroupBox("Options:");
    auto* optForm = new QFormLayout(options);
    auto folderRow = [&](const char* label, const char* name, const char* buttonName) {
        auto* row = new QHBoxLayout;
        auto* edit = new QLineEdit;
        edit->setObjectName(name);
        edit->setReadOnly(true);
        auto* button = new QPushButton("Browse");
        button->setObjectName(buttonName);
        row->addWidget(edit);
        row->addWidget(button);
        optForm->addRow(label, row);
        return std::pair{edit, button};
    };
    std::tie(path, btnBrowse) = folderRow("File Path (Inbox Folder)", "path", "btnBrowse");
    std::tie(OutPath, btnBrouse2) = folderRow("File Path (Outbox Folder)", "OutPath", "btnBrouse2");
    timecombobox = new QComboBox;
    timecombobox->setObjectName("timecombobox");
    for (const char* name : IntervalNames) {
        timecombobox->addItem(name);
    }
    timecombobox->setCurrentIndex(-1);
    optForm->addRow("Check for/send mail every: ", timecombobox);
    layout->addWidget(options);

    auto* buttons = new QHBoxLayout;
    btnConnect = new QPushButton("Connect");
    btnConnect->setObjectName("btnConnect");
    btnDisconnect = new QPushButton("Disconnect");
    btnDisconnect->setObjectName("btnDisconnect");
    buttons->addStretch();
    buttons->addWidget(btnConnect);
    buttons->addWidget(btnDisconnect);
    layout->addLayout(buttons);

    auto* bevel = new QFrame;
    bevel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    auto* bevelLayout = new QHBoxLayout(bevel);
    bevelLayout->setContentsMargins(4, 2, 4, 2);
    Status = new QLabel;
    Status->setObjectName("Status");
    bevelLayout->addWidget(Status);
    layout->addWidget(bevel);

    setCentralWidget(central);

    connect(btnConnect, &QPushButton::clicked, [this] { btnConnectClick(this); });
    connect(btnDisconnect, &QPushButton::clicked, [this] { btnDisconnectClick(this); });
    connect(btnBrowse, &QPushButton::clicked, [this] { btnBrowseClick(this); });
    connect(btnBrouse2, &QPushButton::clicked, [this] { btnBrouse2Click(this); });
    // Only a user's pick runs the interval change; the start-up work calls it itself.
    connect(timecombobox, QOverload<int>::of(&QComboBox::activated),
            [this](int) { timecomboboxChange(this); });
}

void TfmOptions::BuildMenus() {
    QMenu* file = menuBar()->addMenu("&File");
    QAction* exit2 = file->addAction("&Exit");
    connect(exit2, &QAction::triggered, [this] { Exit2Click(this); });

    abcPopupMenu1 = new TabcPopupMenu(this);
    abcPopupMenu1->SetTrayIconMenu(true);
    abcPopupMenu1->SetStatusBarIndex(0);
    QAction* properties = abcPopupMenu1->AddItem("Properties");
    abcPopupMenu1->AddItem("-");
    QAction* exit1 = abcPopupMenu1->AddItem("Exit");
    connect(properties, &QAction::triggered, [this] { Properties1Click(this); });
    connect(exit1, &QAction::triggered, [this] { Exit1Click(this); });
}

void TfmOptions::WireComponents() {
    NMPOP31->OnConnect = [this](TObject* s) { NMPOP31Connect(s); };
    NMPOP31->OnRetrieveStart = [this](TObject* s) { NMPOP31RetrieveStart(s); };
    NMPOP31->OnRetrieveEnd = [this](TObject* s) { NMPOP31RetrieveEnd(s); };
    NMPOP31->OnAuthenticationFailed = [this](bool& h) { NMPOP31AuthenticationFailed(h); };
    NMPOP31->OnInvalidHost = [this](bool& h) { NMPOP31InvalidHost(h); };
    NMPOP31->OnConnectionFailed = [this](TObject* s) { NMPOP31ConnectionFailed(s); };
    objSmtpMail->OnStatusChange = [this](TObject* s, int n, int st) {
        objSmtpMailStatusChange(s, n, st);
    };
    Timer1->OnTimer = [this](TObject* s) { Timer1Timer(s); };
    wakeuptimer->OnTimer = [this](TObject* s) { wakeuptimerTimer(s); };
    Timer2->OnTimer = [this](TObject* s) { Timer2Timer(s); };
}

// ---------------------------------------------------------------- status

std::string TfmOptions::StatusText() const {
    return Status->text().toStdString();
}

void TfmOptions::Print(const std::string& kind, const std::string& text) const {
    std::string line =
        QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz").toStdString() + " " +
        kind + ": " + text;
    if (setup_.Console) {
        setup_.Console(line);
    } else {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
}

void TfmOptions::SetStatus(const std::string& text) {
    Status->setText(QString::fromStdString(text));
    if (setup_.Headless) {
        Print("status", text);
    }
}

void TfmOptions::SetTrayImage(int index) {
    trayImage_ = index;
    if (abcTrayIcon1 != nullptr) {
        abcTrayIcon1->SetImageIndex(index);
    }
    if (setup_.Headless) {
        Print("tray", std::to_string(index));
    }
}

void TfmOptions::RepaintNow() {
    if (!setup_.Headless) {
        repaint();
    }
}

void TfmOptions::ReportCaught(const std::exception& e) {
    // Logged when raised by the exception reporter; a script running
    // headless also sees it in its output.
    if (setup_.Headless) {
        Print("error", ExceptionClassName(e) + ": " + e.what());
    }
}

QLineEdit* TfmOptions::Field(const char* name) const {
    return findChild<QLineEdit*>(name);
}

QPushButton* TfmOptions::Button(const char* name) const {
    return findChild<QPushButton*>(name);
}

// ---------------------------------------------------------------- states

void TfmOptions::SetAccountFieldsEnabled(bool enabled) {
    for (QLineEdit* field :
         {Host, UserId, password, IncPort, OutHost, OutId, password2, OutgPort, fromaddr}) {
        field->setEnabled(enabled);
    }
}

void TfmOptions::SetConnectedState(bool connected) {
    SetAccountFieldsEnabled(!connected);
    btnConnect->setEnabled(!connected);
    btnDisconnect->setEnabled(connected);
}

// ---------------------------------------------------------------- start-up

void TfmOptions::SetupErrorReporter() {
    if (TExcMagic* reporter = TExcMagic::ExcMagic()) {
        reporter->SetEnabled(true);
        reporter->SetCaption("Application Error!");
        // Every exception is logged when raised, also one the program catches.
        reporter->SetLogOnDispatch(true);
        reporter->SetOptions(roShow);
        reporter->SetIconName(32513); // the system's stock error icon
    }
}

void TfmOptions::FormCreate(TObject*) {
    try {
        SetupErrorReporter();
        Timer1->SetEnabled(false);
        wakeuptimer->Restart();
        if (abcTrayIcon1 != nullptr) {
            abcTrayIcon1->SetVisible(true);
            if (abcTrayIcon1->WaitingForTray()) {
                // No notification area to hide into: without the window the
                // user would see nothing of the program at all.
                showMinimized();
            }
        }
        SetTrayImage(1);

        TProfileFile ini(setup_.ConfigPath);
        std::string host;
        std::string outHost;
        try {
            host = ini.ReadString(Section, "Host", "ERROR");
            outHost = host == "ERROR" ? "ERROR" : ini.ReadString(Section, "OutHost", "ERROR");
        } catch (const EInOutError& e) {
            SettingsUnreadable(e.what());
            return;
        }
        configured_ = host != "ERROR" && outHost != "ERROR";

        if (!configured_) {
            btnConnect->setEnabled(true);
            btnDisconnect->setEnabled(false);
            timecombobox->setCurrentIndex(DefaultInterval);
            timecomboboxChange(this);
            if (!setup_.Headless) {
                showNormal();
            } else {
                // Nobody can fill in the window here: say what is missing.
                Print("error", "the settings file " + setup_.ConfigPath +
                                   " is not configured (Host and OutHost are needed)");
            }
            return;
        }

        if (!StartupLoad()) {
            return;
        }
        timecomboboxChange(this);

        SetStatus("Connecting...");
        ConnectWithOneRetry();
        if (NMPOP31->Connected()) {
            SetConnectedState(true);
        } else {
            btnConnect->setEnabled(true);
            btnDisconnect->setEnabled(false);
            SetStatus("Unable to connect!");
            RepaintNow();
        }
        Timer1->SetEnabled(true);
    } catch (const std::exception& e) {
        // As an error in the window's creation: reported, the remaining steps
        // skipped; the timers already running keep polling alive.
        if (auto* app = TGuardedApplication::Instance()) {
            app->HandleException(e);
        } else {
            ReportCaught(e);
        }
    }
}

bool TfmOptions::CheckPortField(QLineEdit* field, const char* what) {
    auto value = TryStrToInt64(Text(field));
    if (!value || *value < 1 || *value > 65535) {
        SetStatus(std::string("Invalid ") + what + " port \"" + Text(field) +
                  "\": enter a whole number from 1 to 65535");
        return false;
    }
    return true;
}

void TfmOptions::SettingsUnreadable(const std::string& text) {
    // Taken for a first run, the file would be rebuilt from nothing at the
    // first write and every setting lost: it is left alone for this run.
    settingsError_ = text;
    configured_ = false;
    btnConnect->setEnabled(true);
    btnDisconnect->setEnabled(false);
    SetStatus(text);
    SetTrayImage(5);
    if (!setup_.Headless) {
        showNormal();
    }
}

void TfmOptions::ApplyInTimeOut(const TProfileFile& ini) {
    auto seconds = TryStrToInt64(ini.ReadString(Section, "InTimeOut", ""));
    bool usable = seconds && *seconds >= 1 && *seconds <= MaxInTimeOutSeconds;
    NMPOP31->SetTimeOut(static_cast<int>(usable ? *seconds : DefaultInTimeOutSeconds) * 1000);
}

bool TfmOptions::StartupLoad() {
    TProfileFile ini(setup_.ConfigPath);
    ApplyInTimeOut(ini);
    NMPOP31->SetHost(ini.ReadString(Section, "Host", "ERROR"));
    NMPOP31->SetUserID(ini.ReadString(Section, "UserId", "ERROR"));
    NMPOP31->SetPassword(ini.ReadString(Section, "Password", "ERROR"));
    NMPOP31->SetAttachFilePath(ini.ReadString(Section, "Path", "ERROR"));
    // What a run that was killed left half-written is of no use to anyone.
    TNMPOP3::RemoveLeftovers(NMPOP31->AttachFilePath());

    std::string time = ini.ReadString(Section, "Time", "ERROR");
    int index = StrToIntDef(time, DefaultInterval);
    // A value that is not an entry would switch polling off for good.
    timecombobox->setCurrentIndex(index >= 0 && index <= 12 ? index : DefaultInterval);

    objSmtpMail->SetSmtpServer(ini.ReadString(Section, "OutHost", "ERROR"));
    objSmtpMail->SetSmtpUsername(ini.ReadString(Section, "OutId", "ERROR"));
    objSmtpMail->SetSmtpPassword(ini.ReadString(Section, "Password2", ""));
    OutboxPath = ini.ReadString(Section, "OutPath", "ERROR");

    SetText(OutgPort, ini.ReadString(Section, "OutPort", ""));
    if (Text(OutgPort).empty()) {
        SetText(OutgPort, "25");
        ini.WriteString(Section, "OutPort", "25");
    }
    // Each port is applied when it is valid, whatever the other one holds.
    bool smtpPortGood = CheckPortField(OutgPort, "SMTP");
    if (smtpPortGood) {
        objSmtpMail->SetSmtpPort(StrToInt(Text(OutgPort)));
    }
    SetText(IncPort, ini.ReadString(Section, "InPort", ""));
    if (Text(IncPort).empty()) {
        SetText(IncPort, "110");
        ini.WriteString(Section, "InPort", "110");
    }
    bool pop3PortGood = CheckPortField(IncPort, "POP3");
    if (pop3PortGood) {
        NMPOP31->SetPort(StrToInt(Text(IncPort)));
    }
    bool portsGood = smtpPortGood && pop3PortGood;

    objMessage = CoMailMessage::Create();
    objMessage->SetPriority(3);
    objMessage->SetBodyFormat(0);
    objMessage->SetReadReceipt(0);
    objMessage->SetSubject("QX7");
    objAddress = CoMailAddress::Create();
    objAddress->SetAddress(ini.ReadString(Section, "FromAddress", "ERROR"));
    objMessage->SetFrom(objAddress);
    objMessage->SetSender(objAddress);

    SetText(Host, NMPOP31->Host());
    SetText(UserId, NMPOP31->UserID());
    SetText(password, NMPOP31->Password());
    SetText(path, NMPOP31->AttachFilePath());
    SetText(OutHost, objSmtpMail->SmtpServer());
    SetText(OutId, objSmtpMail->SmtpUsername());
    SetText(password2, objSmtpMail->SmtpPassword());
    SetText(fromaddr, objMessage->GetFrom()->GetAddress());
    SetText(OutPath, OutboxPath);

    if (!portsGood) {
        // The status line says which port; the window stays editable.
        btnConnect->setEnabled(true);
        btnDisconnect->setEnabled(true);
        timecomboboxChange(this);
        if (!setup_.Headless) {
            showNormal();
        }
    }
    return portsGood;
}

// ---------------------------------------------------------------- buttons

bool TfmOptions::CheckFields() {
    const std::pair<QLineEdit*, const char*> required[] = {
        {Host, "Enter Incoming Mail Server (POP3)"},
        {UserId, "Enter Account Name"},
        {password, "Enter Password"},
        {path, "Enter Path for Inbox Folder"},
        {OutHost, "Enter Outgoing Mail Server (SMTP)"},
        {OutPath, "Enter Path for Outbox Folder"},
        {fromaddr, "Enter From Address"},
    };
    for (auto [field, text] : required) {
        if (field->text().isEmpty()) {
            SetStatus(text);
            return false;
        }
    }
    // Ports are checked before anything is written, so that a bad one leaves
    // the settings file as it was.
    for (auto [field, what] : {std::pair{OutgPort, "SMTP"}, std::pair{IncPort, "POP3"}}) {
        if (!field->text().isEmpty() && !CheckPortField(field, what)) {
            return false;
        }
    }
    return true;
}

void TfmOptions::btnConnectClick(TObject*) {
    ConnectButtonWork(true);
}

void TfmOptions::EnsureMessageObjects() {
    if (!objMessage) {
        // Made here only at first run; the fixed settings belong to the start-up load.
        objMessage = CoMailMessage::Create();
    }
    if (!objAddress) {
        objAddress = CoMailAddress::Create();
    }
    objAddress->SetAddress(Text(fromaddr));
    objMessage->SetFrom(objAddress);
    objMessage->SetSender(objAddress);
}

void TfmOptions::ConnectButtonWork(bool retrieve) {
    if (!settingsError_.empty()) {
        // Its writes would replace a file whose settings were never read.
        SetStatus(settingsError_);
        return;
    }
    if (!CheckFields()) {
        return;
    }
    if (NMPOP31->Connected()) {
        NMPOP31->Disconnect();
    }
    SetStatus("Connecting...");
    TProfileFile ini(setup_.ConfigPath);
    objSmtpMail->SetSmtpServer(Text(OutHost));
    ini.WriteString(Section, "OutHost", Text(OutHost));
    ini.WriteString(Section, "OutId", Text(OutId));
    objSmtpMail->SetSmtpUsername(Text(OutId));
    ini.WriteString(Section, "Password2", Text(password2));
    objSmtpMail->SetSmtpPassword(Text(password2));
    if (Text(OutgPort).empty()) {
        SetText(OutgPort, "25");
    }
    ini.WriteString(Section, "OutPort", Text(OutgPort));
    if (Text(IncPort).empty()) {
        SetText(IncPort, "110");
    }
    ini.WriteString(Section, "InPort", Text(IncPort));
    NMPOP31->SetPort(StrToInt(Text(IncPort)));
    ApplyInTimeOut(ini);
    EnsureMessageObjects();
    objSmtpMail->SetSmtpPort(StrToInt(Text(OutgPort)));
    NMPOP31->SetHost(Text(Host));
    NMPOP31->SetUserID(Text(UserId));
    NMPOP31->SetPassword(Text(password));
    NMPOP31->SetAttachFilePath(Text(path));

    ConnectWithOneRetry();

    SetConnectedState(true);
    SetStatus("Connected");
    if (NMPOP31->MailCount() <= 0) {
        SetStatus("No Messages to Get");
    } else if (retrieve) {
        ReceiveStep();
        if (exitRequested_) {
            // Exit came during the step: the deletions are committed now,
            // as no poll will follow.
            EndSession();
        }
    }
    ini.WriteString(Section, "Host", NMPOP31->Host());
    ini.WriteString(Section, "UserId", NMPOP31->UserID());
    ini.WriteString(Section, "Password", NMPOP31->Password());
    ini.WriteString(Section, "Path", NMPOP31->AttachFilePath());
    ini.WriteString(Section, "OutPath", Text(OutPath));
    ini.WriteString(Section, "FromAddress", Text(fromaddr));
    SetTrayImage(1);
    Timer1->SetEnabled(true);
}

void TfmOptions::btnDisconnectClick(TObject*) {
    if (NMPOP31->Connected()) {
        NMPOP31->Disconnect();
    }
    btnDisconnect->setEnabled(false);
    btnConnect->setEnabled(true);
    SetAccountFieldsEnabled(true);
    SetStatus("Disconnected");
    Timer1->SetEnabled(false);
    SetTrayImage(5);
}

void TfmOptions::btnBrowseClick(TObject*) {
    if (!abcDirectoryDialog1->Execute()) {
        return;
    }
    std::string chosen = abcDirectoryDialog1->Directory();
    SetText(path, chosen);
    NMPOP31->SetAttachFilePath(chosen);
    if (settingsError_.empty()) {
        TProfileFile(setup_.ConfigPath).WriteString(Section, "Path", NMPOP31->AttachFilePath());
    }
}

void TfmOptions::btnBrouse2Click(TObject*) {
    if (!abcDirectoryDialog1->Execute()) {
        return;
    }
    std::string chosen = abcDirectoryDialog1->Directory();
    SetText(OutPath, chosen);
    OutboxPath = chosen;
    if (settingsError_.empty()) {
        TProfileFile(setup_.ConfigPath).WriteString(Section, "OutPath", chosen);
    }
}

void TfmOptions::timecomboboxChange(TObject*) {
    int index = timecombobox->currentIndex();
    int interval = index >= 0 && index <= 12 ? IntervalMs[index] : 0;
    if (settingsError_.empty()) {
        TProfileFile(setup_.ConfigPath).WriteString(Section, "Time", std::to_string(index));
    }
    Timer1->SetEnabled(false);
    Timer1->SetInterval(interval);
    Timer1->SetEnabled(true);
}

// ---------------------------------------------------------------- leaving

void TfmOptions::Properties1Click(TObject*) {
    show();
    raise();
    activateWindow();
}

void TfmOptions::Exit1Click(TObject*) {
    exiting_ = true;
    close();
}

void TfmOptions::Exit2Click(TObject*) {
    exiting_ = true;
    close();
}

void TfmOptions::closeEvent(QCloseEvent* event) {
    if (!exiting_) {
        // The close box only puts the window away; polling goes on. Without a
        // notification area a hidden window could not be reached again.
        event->ignore();
        if (QSystemTrayIcon::isSystemTrayAvailable()) {
            hide();
        } else {
            showMinimized();
        }
        return;
    }
    exiting_ = false;
    if (cycleRunning_ || NMPOP31->Busy()) {
        // A wait of the running poll lies below this handler: a QUIT sent
        // from here would cut into its exchange. The poll stops at its next
        // step and ends its session itself; every wait of it is bounded by
        // the reply time-out, and the program ends when it has unwound.
        exitRequested_ = true;
        SendWait = false;
        event->accept();
        QCoreApplication::quit();
        return;
    }
    try {
        // FormCloseQuery: end an open session first.
        if (NMPOP31->Connected()) {
            NMPOP31->Disconnect();
        }
    } catch (const std::exception& e) {
        if (NMPOP31->TimedOut()) {
            // The server stopped answering: the connection is dropped and
            // nothing is left to wait for.
            ShowIfTimedOut();
            event->accept();
            QCoreApplication::quit();
            return;
        }
        // Reported; the client has closed its socket all the same, so a
        // second Exit ends the program.
        event->ignore();
        if (auto* app = TGuardedApplication::Instance()) {
            app->HandleException(e);
        }
        return;
    }
    event->accept();
    QCoreApplication::quit();
}

int TfmOptions::RunOnce() {
    setup_.Once = true;
    // A script wants an answer: no long wait for a server that is away.
    ReconnectPolicy.GiveUpAfterMs = std::min(ReconnectPolicy.GiveUpAfterMs, 20000);
    TProfileFile ini(setup_.ConfigPath);
    std::string host;
    std::string outHost;
    try {
        host = ini.ReadString(Section, "Host", "ERROR");
        outHost = host == "ERROR" ? "ERROR" : ini.ReadString(Section, "OutHost", "ERROR");
    } catch (const EInOutError& e) {
        SettingsUnreadable(e.what());
        return 2;
    }
    configured_ = host != "ERROR" && outHost != "ERROR";
    if (!configured_) {
        Print("error", "the settings file " + setup_.ConfigPath + " is not configured");
        return 2;
    }
    try {
        if (!StartupLoad()) {
            return 1;
        }
    } catch (const std::exception& e) {
        ReportCaught(e);
        return 1;
    }
    return RunOneCycle() ? 0 : 1;
}
