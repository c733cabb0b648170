#pragma once
// The dialog form of the folder chooser. TabcDirectoryDialog::Execute creates
// one per call, arranges it by the component's properties and shows it.
#include <QDialog>
#include <QMessageBox>
#include <string>

#include "tray/Abcfdir.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TabcDirectoryListBox;
class TabcDriveComboBox;

class TabcsfDirectoryDialog : public QDialog {
    Q_OBJECT
public:
    explicit TabcsfDirectoryDialog(QWidget* parent = nullptr);

    TabcDirectoryOptions Options() const noexcept { return options_; }
    void SetOptions(TabcDirectoryOptions value) noexcept { options_ = value; }

    // Places the buttons and shows the plain or the bitmap set.
    void LayOutButtons(TabcDirDialogStyle dialogStyle, TabcDirButtonStyle buttonStyle);
    void ShowPathAs(TabcDirEditStyle editStyle, const TStringList& history);
    void SetCaptions(TabcDirLabelStyle labelStyle, const std::string& title);
    void ApplyDriveOptions();
    // Qt draws its own frames; the value is kept but changes no drawing.
    void SetCtl3D(bool value) noexcept { ctl3D_ = value; }
    bool Ctl3D() const noexcept { return ctl3D_; }
    void SetHelpContext(int value) noexcept { helpContext_ = value; }
    int HelpContext() const noexcept { return helpContext_; }

    // The folder the user confirmed (set when the form is accepted).
    std::string ChosenPath() const { return chosen_; }

    // Whether the system can enumerate network drives; found out once.
    static bool NetworkEnumerationAvailable();

    // The OK button's work: check the chosen path, ask or refuse as the
    // options say, create the folder when asked to, and accept.
    void btnOKClick();

    enum class TMessageKind { Error, Warning, Confirmation };
    // Shows a message in the style of the buttons; returns the answer.
    QMessageBox::StandardButton ShowMessage(TMessageKind kind, const std::string& text);

    QLabel* lblDirCaptionFolders;
    QLabel* lblDirCaptionDirectories;
    QLabel* lblDir;
    QLineEdit* edDir;
    QComboBox* cboDir;
    TabcDirectoryListBox* DirectoryListBox1;
    QLabel* lblDrives;
    TabcDriveComboBox* DriveComboBox1;
    QPushButton* btnOK;
    QPushButton* btnCancel;
    QPushButton* btnHelp;
    QPushButton* btnNetwork;
    QPushButton* bbtnOK;
    QPushButton* bbtnCancel;
    QPushButton* bbtnHelp;
    QPushButton* bbtnNetwork;
    QLabel* lblFormCaptionFolders;
    QLabel* lblformCaptionDirectories;

signals:
    // Help has no help system to open on this platform; whoever provides one
    // listens here.
    void helpRequested(int helpContext);

private:
    QPushButton* MakeButton(const char* name, const QString& text, bool bitmap);
    void ListChanged(const QString& path);
    bool Confirm(const char* format, const std::string& path);
    QPushButton* Visible(QPushButton* plain, QPushButton* bitmap) const;

    TabcDirectoryOptions options_;
    TabcDirDialogStyle dialogStyle_ = ddsBtnBottom;
    TabcDirButtonStyle buttonStyle_ = dbsButton;
    bool ctl3D_ = true;
    int helpContext_ = 0;
    std::string chosen_;
};
