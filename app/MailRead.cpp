#include "app/MailRead.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
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
#include <iterator>
#include <optional>

#include "pop3/NMpop3.h"
#include "tray/Abcfdir.h"
#include "tray/abctray.h"
#include "tray/abctrayImageList.h"

namespace {

std::string Text(const QLineEdit* field) {
    return field->text().toStdString();
}

void SetText(QLineEdit* field, const std::string& text) {
    field->setText(QString::fromStdString(text));
}

// Shows the folder chooser; on OK writes the chosen folder into `field` and
// returns it, on Cancel returns nothing.
std::optional<std::string> ChooseFolder(TabcDirectoryDialog& dialog, QLineEdit* field) {
    if (!dialog.Execute()) {
        return std::nullopt;
    }
    std::string chosen = dialog.Directory();
    SetText(field, chosen);
    return chosen;
}

// The entries of a "Security" drop-down, by TSecurity.
const char* const SecurityEntries[] = {"Automatic", "TLS", "STARTTLS", "None"};

QComboBox* SecurityCombo(const char* name) {
    auto* box = new QComboBox;
    box->setObjectName(name);
    for (const char* entry : SecurityEntries) {
        box->addItem(entry);
    }
    box->setCurrentIndex(static_cast<int>(TSecurity::Auto));
    return box;
}

TSecurity Chosen(const QComboBox* box) {
    int index = box->currentIndex();
    return index >= 0 && index < static_cast<int>(std::size(SecurityEntries))
               ? static_cast<TSecurity>(index)
               : TSecurity::Auto;
}

// TLS from the first byte is spoken on a port of its own: a port field left
// empty or at the plain port would have it try TLS where nobody expects it.
void FillTlsPort(const QComboBox* box, QLineEdit* port, const char* plainPort,
                 const char* tlsPort) {
    if (Chosen(box) == TSecurity::Tls && (port->text().isEmpty() || port->text() == plainPort)) {
        port->setText(tlsPort);
    }
}

} // namespace

TfmOptions::TfmOptions(TfmOptionsSetup setup)
    : headless_(setup.Headless), console_(std::move(setup.Console)) {
    setWindowTitle("Options");
    setObjectName("fmOptions");
    // The window's position and size as designed; its font is the platform's.
    setGeometry(200, 116, 494, 530);

    cycle_ = std::make_unique<TPollCycle>(static_cast<TCycleObserver&>(*this),
                                          std::move(setup.ConfigPath), std::move(setup.SmtpMail));
    abcDirectoryDialog1 = setup.DirectoryDialog ? std::move(setup.DirectoryDialog)
                                                : std::make_unique<TabcDirectoryDialog>();

    BuildControls();
    BuildMenus();
    if (!headless_) {
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
    abcTrayIcon1->SetImageIndex(static_cast<int>(TTrayImage::Idle));
    abcTrayIcon1->SetVisible(false);
    abcTrayIcon1->SetAnimateInterval(1000);
    abcTrayIcon1->SetPopupMenu(abcPopupMenu1);
    abcTrayIcon1->SetOptions(atiShowOnDblClick | atiHideApp | atiHideOnClose |
                             atiTerminateOnLogoff | atiMonitorTray);
    abcTrayIcon1->Loaded();
    idleHint_ = abcTrayIcon1->Hint();
}

TfmOptions::~TfmOptions() {
    // The exchange goes before the controls it reports to.
    cycle_.reset();
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
    InSecurity = SecurityCombo("InSecurity");
    inForm->addRow("Security", InSecurity);
    layout->addWidget(incoming);

    auto* outgoing = new QGroupBox("Outgoing Mail");
    auto* outForm = new QFormLayout(outgoing);
    OutHost = addField(outForm, "Outgoing Mail Server (SMTP):", "OutHost");
    fromaddr = addField(outForm, "From Address:", "fromaddr");
    OutgPort = addField(outForm, "Port", "OutgPort");
    OutgPort->setValidator(portValidator);
    OutSecurity = SecurityCombo("OutSecurity");
    outForm->addRow("Security", OutSecurity);
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
    for (const char* name : TSettings::IntervalNames) {
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
    statusLine_ = new QLabel;
    statusLine_->setObjectName("Status");
    bevelLayout->addWidget(statusLine_);
    layout->addWidget(bevel);

    setCentralWidget(central);

    connect(btnConnect, &QPushButton::clicked, [this] { btnConnectClick(this); });
    connect(btnDisconnect, &QPushButton::clicked, [this] { btnDisconnectClick(this); });
    connect(btnBrowse, &QPushButton::clicked, [this] { btnBrowseClick(this); });
    connect(btnBrouse2, &QPushButton::clicked, [this] { btnBrouse2Click(this); });
    // Only a user's pick runs the interval change; the start-up work calls it itself.
    connect(timecombobox, QOverload<int>::of(&QComboBox::activated),
            [this](int) { timecomboboxChange(this); });
    connect(InSecurity, QOverload<int>::of(&QComboBox::activated),
            [this](int) { InSecurityChange(this); });
    connect(OutSecurity, QOverload<int>::of(&QComboBox::activated),
            [this](int) { OutSecurityChange(this); });
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

// ---------------------------------------------------------------- what the cycle tells

std::string TfmOptions::StatusText() const {
    return statusLine_->text().toStdString();
}

void TfmOptions::Status(const std::string& text) {
    statusLine_->setText(QString::fromStdString(text));
    if (headless_) {
        console_.Status(text);
    }
}

void TfmOptions::TrayImage(TTrayImage image) {
    trayImage_ = image;
    if (abcTrayIcon1 != nullptr) {
        abcTrayIcon1->SetImageIndex(static_cast<int>(image));
    }
    if (headless_) {
        console_.Tray(image);
    }
}

void TfmOptions::Progress(const TExchangeProgress& progress) {
    if (abcTrayIcon1 != nullptr) {
        abcTrayIcon1->SetHint(ProgressText(progress));
    }
    if (headless_) {
        progressLines_.Progress(progress);
    }
}

void TfmOptions::ProgressEnded() {
    if (abcTrayIcon1 != nullptr) {
        abcTrayIcon1->SetHint(idleHint_);
    }
    progressLines_.Ended();
}

void TfmOptions::Repaint() {
    if (!headless_) {
        repaint();
    }
}

void TfmOptions::Caught(const std::exception& e) {
    // Logged when raised by the exception reporter; a script running
    // headless also sees it in its output.
    if (headless_) {
        console_.Caught(e);
    }
}

void TfmOptions::Error(const std::string& text) {
    console_.Error(text);
}

void TfmOptions::SessionState(bool open) {
    SetAccountFieldsEnabled(!open);
    SetButtons(!open, open);
}

void TfmOptions::ShowSettings(const TSettings& s) {
    SetText(Host, s.Host);
    SetText(UserId, s.UserId);
    SetText(password, s.Password);
    SetText(IncPort, s.InPort);
    SetText(path, s.Path);
    SetText(OutHost, s.OutHost);
    SetText(OutId, s.OutId);
    SetText(password2, s.Password2);
    SetText(OutgPort, s.OutPort);
    SetText(fromaddr, s.FromAddress);
    SetText(OutPath, s.OutPath);
    InSecurity->setCurrentIndex(static_cast<int>(s.InSecurityMode()));
    OutSecurity->setCurrentIndex(static_cast<int>(s.OutSecurityMode()));
}

void TfmOptions::ShowInterval(int index) {
    timecombobox->setCurrentIndex(index);
}

void TfmOptions::SettingsNeeded(TLoadResult why) {
    // With a bad port the session may still be open from before.
    SetButtons(true, why == TLoadResult::InvalidPort);
    if (!headless_) {
        showNormal();
    } else if (why == TLoadResult::NotConfigured) {
        // Nobody can fill in the window here: say what is missing.
        Error(cycle_->NotConfiguredText());
    }
}

QLineEdit* TfmOptions::Field(const char* name) const {
    return findChild<QLineEdit*>(name);
}

QPushButton* TfmOptions::Button(const char* name) const {
    return findChild<QPushButton*>(name);
}

QComboBox* TfmOptions::SecurityBox(const char* name) const {
    return findChild<QComboBox*>(name);
}

void TfmOptions::SetAccountFieldsEnabled(bool enabled) {
    for (QLineEdit* field :
         {Host, UserId, password, IncPort, OutHost, OutId, password2, OutgPort, fromaddr}) {
        field->setEnabled(enabled);
    }
    InSecurity->setEnabled(enabled);
    OutSecurity->setEnabled(enabled);
}

void TfmOptions::SetButtons(bool connect, bool disconnect) {
    btnConnect->setEnabled(connect);
    btnDisconnect->setEnabled(disconnect);
}

// ---------------------------------------------------------------- start-up and buttons

void TfmOptions::FormCreate(TObject*) {
    SetupErrorReporter();
    if (abcTrayIcon1 != nullptr) {
        abcTrayIcon1->SetVisible(true);
        if (abcTrayIcon1->WaitingForTray()) {
            // No notification area to hide into: without the window the
            // user would see nothing of the program at all.
            showMinimized();
        }
    }
    cycle_->StartUp();
}

TSettings TfmOptions::Entered() const {
    TSettings s;
    s.Host = Text(Host);
    s.UserId = Text(UserId);
    s.Password = Text(password);
    s.InPort = Text(IncPort);
    s.Path = Text(path);
    s.OutHost = Text(OutHost);
    s.OutId = Text(OutId);
    s.Password2 = Text(password2);
    s.OutPort = Text(OutgPort);
    s.FromAddress = Text(fromaddr);
    s.OutPath = Text(OutPath);
    s.Time = std::to_string(timecombobox->currentIndex());
    s.InSecurity = SecurityName(Chosen(InSecurity));
    s.OutSecurity = SecurityName(Chosen(OutSecurity));
    return s;
}

void TfmOptions::ConnectButtonWork(bool retrieve) {
    cycle_->LogIn(Entered(), retrieve);
}

void TfmOptions::btnConnectClick(TObject*) {
    ConnectButtonWork(true);
}

void TfmOptions::btnDisconnectClick(TObject*) {
    cycle_->Disconnect();
}

void TfmOptions::btnBrowseClick(TObject*) {
    if (auto chosen = ChooseFolder(*abcDirectoryDialog1, path)) {
        cycle_->SetInbox(*chosen);
    }
}

void TfmOptions::btnBrouse2Click(TObject*) {
    if (auto chosen = ChooseFolder(*abcDirectoryDialog1, OutPath)) {
        cycle_->SetOutbox(*chosen);
    }
}

void TfmOptions::timecomboboxChange(TObject*) {
    cycle_->SetInterval(timecombobox->currentIndex());
}

void TfmOptions::InSecurityChange(TObject*) {
    FillTlsPort(InSecurity, IncPort, TSettings::DefaultInPort, TSettings::DefaultInTlsPort);
}

void TfmOptions::OutSecurityChange(TObject*) {
    FillTlsPort(OutSecurity, OutgPort, TSettings::DefaultOutPort, TSettings::DefaultOutTlsPort);
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
    if (cycle_->Busy()) {
        // The program ends when the running poll has unwound.
        cycle_->StopForExit();
    } else if (!cycle_->EndSessionForExit()) {
        event->ignore();
        return;
    }
    event->accept();
    QCoreApplication::quit();
}
