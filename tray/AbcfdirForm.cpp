#include "tray/AbcfdirForm.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>

#include "tray/AbcfdirListBox.h"
#include "tray/AbcfdirPath.h"

namespace {

// Design geometry in pixels, client area 334 x 261.
constexpr int ClientWidth = 334;
constexpr int ClientHeight = 261;
constexpr int Margin = 8;
constexpr int ContentWidth = 318;
constexpr int ButtonWidth = 75;
constexpr int ButtonHeight = 25;
constexpr int ButtonTop = 232;
constexpr int RowGap = 7;

QString ToQt(const std::string& s) {
    return QFile::decodeName(QByteArray::fromStdString(s));
}
std::string FromQt(const QString& s) {
    return QFile::encodeName(s).toStdString();
}

bool FolderExists(const std::string& path) {
    return QFileInfo(ToQt(path)).isDir();
}

} // namespace

TabcsfDirectoryDialog::TabcsfDirectoryDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("abcsfDirectoryDialog");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    // The platform's default font stands in for 8-point "MS Sans Serif".

    auto label = [this](const char* name, const QString& text, QRect where) {
        auto* l = new QLabel(text, this);
        l->setObjectName(name);
        l->setGeometry(where);
        return l;
    };
    lblDirCaptionFolders = label("lblDirCaptionFolders", "&Folders:", {Margin, 6, 200, 16});
    lblDirCaptionDirectories =
        label("lblDirCaptionDirectories", "&Directories:", {Margin, 6, 200, 16});
    lblDir = label("lblDir", QString(), {Margin, 24, ContentWidth, 22});
    lblDir->setTextFormat(Qt::PlainText);

    edDir = new QLineEdit(this);
    edDir->setObjectName("edDir");
    edDir->setGeometry(Margin, 24, ContentWidth, 22);
    cboDir = new QComboBox(this);
    cboDir->setObjectName("cboDir");
    cboDir->setEditable(true);
    cboDir->setInsertPolicy(QComboBox::NoInsert);
    cboDir->setGeometry(Margin, 24, ContentWidth, 22);

    DirectoryListBox1 = new TabcDirectoryListBox(this);
    DirectoryListBox1->setObjectName("DirectoryListBox1");
    DirectoryListBox1->setGeometry(Margin, 50, ContentWidth, 132);
    lblDirCaptionFolders->setBuddy(DirectoryListBox1);
    lblDirCaptionDirectories->setBuddy(DirectoryListBox1);

    lblDrives = label("lblDrives", "Dri&ves:", {Margin, 188, 100, 16});
    DriveComboBox1 = new TabcDriveComboBox(this);
    DriveComboBox1->setObjectName("DriveComboBox1");
    DriveComboBox1->setGeometry(Margin, 205, ContentWidth, 22);
    DriveComboBox1->SetDirList(DirectoryListBox1);
    lblDrives->setBuddy(DriveComboBox1);

    btnOK = MakeButton("btnOK", "OK", false);
    btnCancel = MakeButton("btnCancel", "Cancel", false);
    btnHelp = MakeButton("btnHelp", "&Help", false);
    btnNetwork = MakeButton("btnNetwork", "&Network...", false);
    bbtnOK = MakeButton("bbtnOK", "OK", true);
    bbtnCancel = MakeButton("bbtnCancel", "Cancel", true);
    bbtnHelp = MakeButton("bbtnHelp", "&Help", true);
    bbtnNetwork = MakeButton("bbtnNetwork", "&Network...", true);
    for (QPushButton* ok : {btnOK, bbtnOK}) {
        connect(ok, &QPushButton::clicked, this, &TabcsfDirectoryDialog::btnOKClick);
    }
    for (QPushButton* cancel : {btnCancel, bbtnCancel}) {
        connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    }
    for (QPushButton* help : {btnHelp, bbtnHelp}) {
        connect(help, &QPushButton::clicked, this, [this] { emit helpRequested(helpContext_); });
    }
    // No network-drive dialog exists here; the buttons stay disabled (see
    // NetworkEnumerationAvailable), so they need no handler.

    lblFormCaptionFolders = label("lblFormCaptionFolders", "Choose Folder", {0, 0, 0, 0});
    lblformCaptionDirectories =
        label("lblformCaptionDirectories", "Choose Directory", {0, 0, 0, 0});
    lblFormCaptionFolders->hide();
    lblformCaptionDirectories->hide();

    connect(DirectoryListBox1, &TabcDirectoryListBox::directoryChanged, this,
            &TabcsfDirectoryDialog::ListChanged);
    connect(DriveComboBox1, &TabcDriveComboBox::driveError, this,
            [this](const QString& text) { ShowMessage(TMessageKind::Error, FromQt(text)); });
    lblDir->setText(ToQt(DirectoryListBox1->Directory()));

    // Until Execute arranges the form: the program's defaults.
    LayOutButtons(ddsBtnBottom, dbsButton);
    ShowPathAs(desLabel, TStringList());
    SetCaptions(dlsFolder, std::string());
    setFixedSize(ClientWidth, ClientHeight);
}

QPushButton* TabcsfDirectoryDialog::MakeButton(const char* name, const QString& text, bool bitmap) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(name);
    button->setAutoDefault(false);
    if (bitmap) {
        static const std::pair<const char*, QStyle::StandardPixmap> glyphs[] = {
            {"bbtnOK", QStyle::SP_DialogOkButton},
            {"bbtnCancel", QStyle::SP_DialogCancelButton},
            {"bbtnHelp", QStyle::SP_DialogHelpButton},
            {"bbtnNetwork", QStyle::SP_DriveNetIcon}};
        for (const auto& [glyphName, pixmap] : glyphs) {
            if (qstrcmp(glyphName, name) == 0) {
                button->setIcon(style()->standardIcon(pixmap));
            }
        }
    }
    return button;
}

bool TabcsfDirectoryDialog::NetworkEnumerationAvailable() {
#ifdef _WIN32
    // Would be found out by opening an enumeration of the global network;
    // no Windows build exists yet.
    static const bool available = false;
#else
    // Linux has no enumeration of network drives to offer.
    static const bool available = false;
#endif
    return available;
}

QPushButton* TabcsfDirectoryDialog::Visible(QPushButton* plain, QPushButton* bitmap) const {
    return buttonStyle_ == dbsBitBtn ? bitmap : plain;
}

void TabcsfDirectoryDialog::LayOutButtons(TabcDirDialogStyle dialogStyle,
                                          TabcDirButtonStyle buttonStyle) {
    dialogStyle_ = dialogStyle;
    buttonStyle_ = buttonStyle;
    const bool showHelp = options_.Contains(adrShowHelp);
    const bool showNetwork = !options_.Contains(adrHideNetConnect);

    for (QPushButton* b :
         {btnOK, btnCancel, btnHelp, btnNetwork, bbtnOK, bbtnCancel, bbtnHelp, bbtnNetwork}) {
        b->hide();
        b->setDefault(false);
    }
    QPushButton* ok = Visible(btnOK, bbtnOK);
    QPushButton* cancel = Visible(btnCancel, bbtnCancel);
    QPushButton* help = Visible(btnHelp, bbtnHelp);
    QPushButton* network = Visible(btnNetwork, bbtnNetwork);
    ok->setDefault(true);
    ok->show();
    cancel->show();
    help->setVisible(showHelp);
    network->setVisible(showNetwork);
    network->setEnabled(NetworkEnumerationAvailable());

    std::vector<QPushButton*> shown{ok, cancel};
    if (showHelp) {
        shown.push_back(help);
    }
    if (showNetwork) {
        shown.push_back(network);
    }
    if (dialogStyle == ddsBtnBottom) {
        int right = DriveComboBox1->geometry().right() + 1;
        for (auto it = shown.rbegin(); it != shown.rend(); ++it) {
            (*it)->setGeometry(right - ButtonWidth, ButtonTop, ButtonWidth, ButtonHeight);
            right -= ButtonWidth + RowGap;
        }
        setFixedSize(ClientWidth, ClientHeight);
    } else {
        setFixedSize(ClientWidth + ButtonWidth + 4, ClientHeight);
        const int left = cboDir->geometry().right() + 1 + 12;
        int top = lblDirCaptionFolders->geometry().top();
        for (std::size_t i = 0; i < shown.size(); ++i) {
            if (i > 0) {
                top += ButtonHeight + (i == 1 ? 4 : 8);
            }
            shown[i]->setGeometry(left, top, ButtonWidth, ButtonHeight);
        }
        setFixedSize(ok->geometry().right() + 1 + 4, DriveComboBox1->geometry().bottom() + 1 + 4);
    }
}

void TabcsfDirectoryDialog::ShowPathAs(TabcDirEditStyle editStyle, const TStringList& history) {
    lblDir->setVisible(editStyle == desLabel);
    edDir->setVisible(editStyle == desEdit);
    cboDir->setVisible(editStyle == desCombo);
    const QString folder = ToQt(DirectoryListBox1->Directory());
    if (editStyle == desEdit) {
        edDir->setText(folder);
    } else if (editStyle == desCombo) {
        cboDir->clear();
        for (const std::string& entry : history) {
            cboDir->addItem(ToQt(entry));
        }
        cboDir->setEditText(folder);
    }
}

void TabcsfDirectoryDialog::SetCaptions(TabcDirLabelStyle labelStyle, const std::string& title) {
    lblDirCaptionFolders->setVisible(labelStyle == dlsFolder);
    lblDirCaptionDirectories->setVisible(labelStyle == dlsDirectory);
    if (!title.empty()) {
        setWindowTitle(QString::fromStdString(title));
    } else {
        setWindowTitle(labelStyle == dlsFolder ? lblFormCaptionFolders->text()
                                               : lblformCaptionDirectories->text());
    }
}

void TabcsfDirectoryDialog::ApplyDriveOptions() {
    if (options_.Contains(adrNoChangeDrive)) {
        lblDrives->setEnabled(false);
        DriveComboBox1->setEnabled(false);
        QPushButton* network = Visible(btnNetwork, bbtnNetwork);
        if (!network->isHidden()) {
            network->setEnabled(false);
        }
    }
    if (options_.Contains(adrHideDrive)) {
        lblDrives->hide();
        DriveComboBox1->hide();
        const int cut = lblDrives->geometry().top();
        if (dialogStyle_ == ddsBtnBottom) {
            // The row of buttons sits under the drive box here; it moves up
            // into the freed space instead of being cut off with the box.
            for (QPushButton* b : {btnOK, btnCancel, btnHelp, btnNetwork, bbtnOK, bbtnCancel,
                                   bbtnHelp, bbtnNetwork}) {
                b->move(b->x(), cut);
            }
            setFixedSize(width(), cut + ButtonHeight + 4);
        } else {
            setFixedSize(width(), cut);
        }
    }
}

void TabcsfDirectoryDialog::ListChanged(const QString& path) {
    lblDir->setText(path);
    if (!edDir->isHidden()) {
        edDir->setText(path);
    } else if (!cboDir->isHidden()) {
        cboDir->setEditText(path);
    }
}

QMessageBox::StandardButton TabcsfDirectoryDialog::ShowMessage(TMessageKind kind,
                                                               const std::string& text) {
    QMessageBox box(this);
    box.setObjectName("abcfdirMessage");
    box.setText(ToQt(text));
    box.setTextFormat(Qt::PlainText);
    const bool framework = buttonStyle_ == dbsBitBtn;
    switch (kind) {
    case TMessageKind::Error:
        box.setIcon(QMessageBox::Critical);
        box.setWindowTitle(framework ? "Error" : windowTitle());
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case TMessageKind::Warning:
        box.setIcon(QMessageBox::Warning);
        box.setWindowTitle(framework ? "Warning" : windowTitle());
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case TMessageKind::Confirmation:
        box.setIcon(QMessageBox::Question);
        box.setWindowTitle(framework ? "Confirm" : windowTitle());
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
        break;
    }
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    return clicked == nullptr ? QMessageBox::NoButton : box.standardButton(clicked);
}

bool TabcsfDirectoryDialog::Confirm(const char* format, const std::string& path) {
    return ShowMessage(TMessageKind::Confirmation, FormatPathMessage(format, path)) !=
           QMessageBox::No;
}

void TabcsfDirectoryDialog::btnOKClick() {
    std::string path;
    if (!lblDir->isHidden()) {
        path = DirectoryListBox1->Directory();
    } else if (!edDir->isHidden()) {
        path = FromQt(edDir->text());
    } else {
        path = FromQt(cboDir->currentText());
    }
    if (path.empty()) {
        return;
    }
    if (!options_.Contains(adrNoValidate)) {
        const std::string typed = path;
        // The folder the list shows serves as the working folder: the list
        // never changes the process's current directory.
        switch (CheckDirectoryPath(path, DirectoryListBox1->Directory(), DriveComboBox1->Roots(),
                                   NativePathRules())) {
        case TPathCheck::Valid:
            break;
        case TPathCheck::DriveMissing:
            ShowMessage(TMessageKind::Error, FormatPathMessage(MsgDriveMissing, typed));
            return;
        case TPathCheck::InvalidName:
            ShowMessage(TMessageKind::Error, FormatPathMessage(MsgInvalidName, typed));
            return;
        }
    }
    if (FolderExists(path)) {
        if (options_.Contains(adrPathNotExist)) {
            ShowMessage(TMessageKind::Warning, FormatPathMessage(MsgExistsRefused, path));
            return;
        }
        if (options_.Contains(adrExistPrompt) && !Confirm(MsgExistsPrompt, path)) {
            return;
        }
    } else {
        if (options_.Contains(adrPathMustExist)) {
            ShowMessage(TMessageKind::Warning, FormatPathMessage(MsgMissingRefused, path));
            return;
        }
        if (options_.Contains(adrCreatePrompt) && !Confirm(MsgMissingPrompt, path)) {
            return;
        }
        if (options_.Contains(adrCreate) && !QDir().mkpath(ToQt(path))) {
            ShowMessage(TMessageKind::Error, FormatPathMessage(MsgCreateFailed, path));
            return;
        }
    }
    chosen_ = path;
    accept();
}
