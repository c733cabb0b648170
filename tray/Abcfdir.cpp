#include "tray/Abcfdir.h"

#include <QGuiApplication>
#include <QScreen>
#include <exception>
#include <memory>

#include "tray/AbcfdirForm.h"
#include "tray/AbcfdirListBox.h"

TabcDirectoryDialog::TabcDirectoryDialog(QWidget* owner) : owner_(owner) {}

TabcDirectoryDialog::~TabcDirectoryDialog() = default;

void TabcDirectoryDialog::SetDirEditStyle(TabcDirEditStyle value) {
    editStyle_ = value;
    if (value == desLabel) {
        TabcDirectoryOptions options = options_;
        options.Include(adrPathMustExist);
        SetOptions(options);
    }
}

void TabcDirectoryDialog::SetOptions(TabcDirectoryOptions value) {
    if (value == options_) {
        return;
    }
    const TabcDirectoryOptions added = value.Minus(options_);
    if (added.Contains(adrExistPrompt) && value.Contains(adrPathNotExist)) {
        value.Exclude(adrPathNotExist);
    }
    if (added.Contains(adrPathMustExist)) {
        value.Exclude(adrCreate);
        value.Exclude(adrCreatePrompt);
        value.Exclude(adrPathNotExist);
    } else {
        if (value.Contains(adrCreate) || value.Contains(adrCreatePrompt) ||
            value.Contains(adrPathNotExist)) {
            value.Exclude(adrPathMustExist);
        }
        if (value.Contains(adrPathNotExist)) {
            // A folder that must not exist cannot be picked from the tree.
            value.Exclude(adrExistPrompt);
            if (editStyle_ == desLabel) {
                editStyle_ = desEdit;
            }
        }
    }
    if (value.Contains(adrHideDrive)) {
        value.Include(adrHideNetConnect);
    }
    options_ = value;
}

bool TabcDirectoryDialog::Execute() {
    // One form per call, gone when the call ends whatever happens.
    auto form = std::make_unique<TabcsfDirectoryDialog>(owner_);
    form->SetOptions(options_);
    form->LayOutButtons(dialogStyle_, buttonStyle_);
    if (!directory_.empty()) {
        try {
            form->DirectoryListBox1->SetDirectory(directory_);
        } catch (const std::exception& e) {
            form->ShowMessage(TabcsfDirectoryDialog::TMessageKind::Error, e.what());
        }
    }
    form->ShowPathAs(editStyle_, history_);
    form->SetCaptions(labelStyle_, title_);
    form->ApplyDriveOptions();
    form->SetCtl3D(ctl3D_);
    form->SetHelpContext(helpContext_);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        form->move(screen->availableGeometry().center() - form->rect().center());
    }
    if (form->exec() != QDialog::Accepted) {
        return false;
    }
    directory_ = form->ChosenPath();
    if (options_.Contains(adrUpdateHistory)) {
        UpdateHistory(directory_);
    }
    return true;
}

void TabcDirectoryDialog::UpdateHistory(const std::string& path) {
    const int index = history_.IndexOf(path);
    if (index == 0) {
        return;
    }
    if (index > 0) {
        history_.Delete(index);
    }
    history_.Insert(0, path);
}
