// The folder chooser driven as a user drives it: the form shown by Execute,
// typed paths, the OK button's checks and the answers to its message boxes.
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

#include "AbcfdirModalScript.h"
#include "support/TempDir.h"
#include "tray/Abcfdir.h"
#include "tray/AbcfdirForm.h"
#include "tray/AbcfdirListBox.h"

namespace {

bool IsFolder(const std::string& path) {
    return QFileInfo(QString::fromStdString(path)).isDir();
}

void MakeFolder(const std::string& path) {
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(path)));
}

void Type(QLineEdit* edit, const std::string& text) {
    edit->clear();
    QTest::keyClicks(edit, QString::fromStdString(text));
}

void Click(QPushButton* button) {
    QTest::mouseClick(button, Qt::LeftButton);
}

std::string Lines(const std::string& path, const char* first, const char* second) {
    return path + "\n" + first + "\n" + second;
}

using FormStep = std::function<void(TabcsfDirectoryDialog*)>;

// A form step: types `path` into the edit box and presses OK.
FormStep TypeAndConfirm(const std::string& path) {
    return [path](TabcsfDirectoryDialog* f) {
        Type(f->edDir, path);
        Click(f->btnOK);
    };
}

void Cancel(TabcsfDirectoryDialog* f) {
    Click(f->btnCancel);
}

// Types `path` into the edit box of `d`, which shows it, presses OK,
// acknowledges the one message box that refuses the path and cancels.
// Returns that message; the dialog's folder must be as it was.
SeenMessage RefusedTypedPath(TabcDirectoryDialog& d, const std::string& path) {
    const std::string before = d.Directory();
    ModalScript script;
    script
        .OnForm([&](TabcsfDirectoryDialog* f) {
            EXPECT_EQ(f->edDir->text().toStdString(), before);
            TypeAndConfirm(path)(f);
        })
        .Answer(QMessageBox::Ok)
        .OnForm(Cancel);
    EXPECT_FALSE(d.Execute());
    EXPECT_EQ(script.Failure(), "");
    EXPECT_EQ(script.messages.size(), 1u);
    EXPECT_EQ(d.Directory(), before);
    return script.messages.empty() ? SeenMessage{} : script.messages[0];
}

TEST(AbcfdirDialog, DefaultsAcceptAnExistingFolderAtOnce) {
    TempDir tmp;
    TabcDirectoryDialog d;
    d.SetDirectory(tmp.Path());
    ModalScript script;
    script.OnForm([&](TabcsfDirectoryDialog* f) {
        EXPECT_EQ(f->windowTitle(), "Choose Folder");
        EXPECT_EQ(f->lblDir->text().toStdString(), tmp.Path());
        EXPECT_TRUE(f->lblDirCaptionFolders->isVisible());
        EXPECT_FALSE(f->lblDirCaptionDirectories->isVisible());
        EXPECT_FALSE(f->edDir->isVisible());
        EXPECT_FALSE(f->cboDir->isVisible());
        EXPECT_TRUE(f->lblDrives->isVisible());
        EXPECT_TRUE(f->DriveComboBox1->isVisible());
        EXPECT_TRUE(f->btnOK->isVisible() && f->btnCancel->isVisible());
        EXPECT_FALSE(f->btnHelp->isVisible());
        EXPECT_TRUE(f->btnNetwork->isVisible());
        EXPECT_FALSE(f->btnNetwork->isEnabled()); // no network enumeration on Linux
        EXPECT_FALSE(f->bbtnOK->isVisible());
        EXPECT_EQ(f->size(), QSize(334, 261));
        // One row at the bottom, right-aligned with the drive box, 7 apart.
        EXPECT_EQ(f->btnNetwork->geometry().right(), f->DriveComboBox1->geometry().right());
        EXPECT_EQ(f->btnCancel->geometry().right() + 1 + 7, f->btnNetwork->x());
        EXPECT_EQ(f->btnOK->geometry().right() + 1 + 7, f->btnCancel->x());
        EXPECT_EQ(f->btnOK->y(), f->btnNetwork->y());
        Click(f->btnOK);
    });
    EXPECT_TRUE(d.Execute());
    EXPECT_EQ(script.Failure(), "");
    EXPECT_TRUE(script.messages.empty());
    EXPECT_EQ(d.Directory(), tmp.Path());
    ASSERT_EQ(d.HistoryList().Count(), 1);
    EXPECT_EQ(d.HistoryList()[0], tmp.Path());
}

TEST(AbcfdirDialog, CancelLeavesDirectoryAndHistoryAlone) {
    TempDir tmp;
    TabcDirectoryDialog d;
    d.SetDirectory(tmp.Path());
    ModalScript script;
    script.OnForm(Cancel);
    EXPECT_FALSE(d.Execute());
    EXPECT_EQ(script.Failure(), "");
    EXPECT_EQ(d.Directory(), tmp.Path());
    EXPECT_EQ(d.HistoryList().Count(), 0);
}

TEST(AbcfdirDialog, FirstOpensAtTheWorkingFolderThenAtTheFolderChosenLast) {
    TempDir tmp;
    MakeFolder(tmp.File("sub"));
    TabcDirectoryDialog d;
    ModalScript script;
    std::string opened;
    script
        .OnForm([&](TabcsfDirectoryDialog* f) {
            opened = f->DirectoryListBox1->Directory();
            f->DirectoryListBox1->SetDirectory(tmp.File("sub"));
            Click(f->btnOK);
        })
        .OnForm([&](TabcsfDirectoryDialog* f) {
            EXPECT_EQ(f->DirectoryListBox1->Directory(), tmp.File("sub"));
            Click(f->btnCancel);
        });
    EXPECT_TRUE(d.Execute());
    EXPECT_EQ(opened, QDir::currentPath().toStdString());
    EXPECT_EQ(d.Directory(), tmp.File("sub"));
    EXPECT_FALSE(d.Execute());
    EXPECT_EQ(script.Failure(), "");
}

TEST(AbcfdirDialog, ConfirmedFolderMovesToTheFrontOfTheHistory) {
    TempDir tmp;
    TabcDirectoryDialog d;
    for (const char* h : {"/h0", "/h1", "/h2", "", "/h4"}) {
        d.HistoryList().Add(*h != '\0' ? std::string(h) : tmp.Path());
    }
    d.SetDirectory(tmp.Path());
    ModalScript script;
    script.OnForm([](TabcsfDirectoryDialog* f) { Click(f->btnOK); });
    ASSERT_TRUE(d.Execute());
    EXPECT_EQ(d.HistoryList().Items(),
              (std::vector<std::string>{tmp.Path(), "/h0", "/h1", "/h2", "/h4"}));

    MakeFolder(tmp.File("new"));
    d.SetDirectory(tmp.File("new"));
    script.OnForm([](TabcsfDirectoryDialog* f) { Click(f->btnOK); });
    ASSERT_TRUE(d.Execute());
    EXPECT_EQ(d.HistoryList().Items(),
              (std::vector<std::string>{tmp.File("new"), tmp.Path(), "/h0", "/h1", "/h2", "/h4"}));
    EXPECT_EQ(script.Failure(), "");
}

TEST(AbcfdirDialog, PathMustExistRefusesAMissingPath) {
    TempDir tmp;
    TabcDirectoryDialog d;
    d.SetDirEditStyle(desEdit);
    d.SetDirectory(tmp.Path());
    const std::string missing = tmp.File("missing");
    const SeenMessage refusal = RefusedTypedPath(d, missing);
    EXPECT_EQ(refusal.text,
              Lines(missing, "This path does not exist.", "Please enter a different path."));
    EXPECT_EQ(refusal.title, "Choose Folder");
    EXPECT_EQ(refusal.icon, QMessageBox::Warning);
    EXPECT_FALSE(IsFolder(missing));
    EXPECT_EQ(d.Directory(), tmp.Path());
}

TEST(AbcfdirDialog, CreateMakesTheMissingParents) {
    TempDir tmp;
    TabcDirectoryDialog d;
    d.SetDirEditStyle(desEdit);
    d.SetOptions(TabcDirectoryOptions{adrCreate});
    d.SetDirectory(tmp.Path());
    const std::string deep = tmp.File("a/b/c");
    ModalScript script;
    script.OnForm(TypeAndConfirm(deep));
    EXPECT_TRUE(d.Execute());
    EXPECT_EQ(script.Failure(), "");
    EXPECT_TRUE(script.messages.empty());
    EXPECT_TRUE(IsFolder(deep));
    EXPECT_EQ(d.Directory(), deep);
}

TEST(AbcfdirDialog, CreatePromptStaysOnNoAndCreatesOnYes) {
    TempDir tmp;
    TabcDirectoryDialog d;
    d.SetDirEditStyle(desEdit);
    d.SetOptions(TabcDirectoryOptions{adrCreate, adrCreatePrompt});
    d.SetDirectory(tmp.Path());
    const std::string wanted = tmp.File("x");
    ModalScript script;
    script.OnForm(TypeAndConfirm(wanted))
        .Answer(QMessageBox::No)
        .OnForm([&](TabcsfDirectoryDialog* f) {
            EXPECT_FALSE(IsFolder(wanted));
            Click(f->btnOK);
        })
        .Answer(QMessageBox::Yes);
    EXPECT_TRUE(d.Execute());
    EXPECT_EQ(script.Failure(), "");
    ASSERT_EQ(script.messages.size(), 2u);
    EXPECT_EQ(script.messages[0].text, Lines(wanted, "This path does not exist.",
                                             "Are you sure you want to create this path?"));
    EXPECT_EQ(script.messages[0].icon, QMessageBox::Question);
    EXPECT_TRUE(IsFolder(wanted));
    EXPECT_EQ(d.Directory(), wanted);
}

TEST(AbcfdirDialog, ExistingPathRefusedOrConfirmed) {
    TempDir tmp;
    {
        TabcDirectoryDialog d;
        d.SetOptions(TabcDirectoryOptions{adrPathNotExist});
        d.SetDirectory(tmp.Path());
        ModalScript script;
        script.OnForm([](TabcsfDirectoryDialog* f) { Click(f->btnOK); })
            .Answer(QMessageBox::Ok)
            .OnForm(Cancel);
        EXPECT_FALSE(d.Execute());
        EXPECT_EQ(script.Failure(), "");
        ASSERT_EQ(script.messages.size(), 1u);
        EXPECT_EQ(script.messages[0].text,
                  Lines(tmp.Path(), "This path already exists.", "Please enter a different path."));
    }
    {
        TabcDirectoryDialog d;
        d.SetDirButtonStyle(dbsBitBtn);
        d.SetOptions(TabcDirectoryOptions{adrExistPrompt, adrPathMustExist});
        d.SetDirectory(tmp.Path());
        ModalScript script;
        script.OnForm([](TabcsfDirectoryDialog* f) { Click(f->bbtnOK); })
            .Answer(QMessageBox::No)
            .OnForm([](TabcsfDirectoryDialog* f) { Click(f->bbtnOK); })
            .Answer(QMessageBox::Yes);
        EXPECT_TRUE(d.Execute());
        EXPECT_EQ(script.Failure(), "");
        ASSERT_EQ(script.messages.size(), 2u);
        EXPECT_EQ(script.messages[1].text, Lines(tmp.Path(), "This path already exists.",
                                                 "Are you sure you want to use this path?"));
        EXPECT_EQ(script.messages[1].title, "Confirm"); // the framework's dialog
    }
}

TEST(AbcfdirDialog, ParentPrefixResolvesAgainstTheNestedFolderShown) {
    TempDir tmp;
    MakeFolder(tmp.File("a/b"));
    TabcDirectoryDialog d;
    d.SetDirEditStyle(desEdit);
    d.SetOptions(TabcDirectoryOptions{adrCreate});
    d.SetDirectory(tmp.File("a/b"));
    ModalScript script;
    script.OnForm(TypeAndConfirm("../x"));
    EXPECT_TRUE(d.Execute());
    EXPECT_EQ(script.Failure(), "");
    EXPECT_EQ(d.Directory(), tmp.File("a/x"));
    EXPECT_TRUE(IsFolder(tmp.File("a/x")));
}

TEST(AbcfdirDialog, SyntaxErrorsKeepTheDialogOpen) {
    TempDir tmp;
    TabcDirectoryDialog d;
    d.SetDirEditStyle(desCombo);
    d.SetDirButtonStyle(dbsBitBtn);
    d.SetDirectory(tmp.Path());
    const std::string doubled = tmp.Path() + "/a//b";
    ModalScript script;
    script
        .OnForm([&](TabcsfDirectoryDialog* f) {
            f->cboDir->setEditText(QString::fromStdString(doubled));
            Click(f->bbtnOK);
        })
        .Answer(QMessageBox::Ok)
        .OnForm([](TabcsfDirectoryDialog* f) {
            f->cboDir->setEditText("a/");
            Click(f->bbtnOK);
        })
        .Answer(QMessageBox::Ok)
        .OnForm([&](TabcsfDirectoryDialog* f) {
            // One trailing separator is fine.
            f->cboDir->setEditText(QString::fromStdString(tmp.Path() + "/"));
            Click(f->bbtnOK);
        });
    EXPECT_TRUE(d.Execute());
    EXPECT_EQ(script.Failure(), "");
    ASSERT_EQ(script.messages.size(), 2u);
    EXPECT_EQ(script.messages[0].text,
              Lines(doubled, "Invalid Filename.", "Please enter a different path."));
    EXPECT_EQ(script.messages[0].title, "Error");
    EXPECT_EQ(script.messages[0].icon, QMessageBox::Critical);
    EXPECT_EQ(script.messages[1].text,
              Lines("a/", "Drive does not exist.", "Please choose a different drive."));
    EXPECT_EQ(d.Directory(), tmp.Path() + "/");
}

TEST(AbcfdirDialog, EmptyPathDoesNothing) {
    TempDir tmp;
    TabcDirectoryDialog d;
    d.SetDirEditStyle(desEdit);
    d.SetDirectory(tmp.Path());
    ModalScript script;
    bool stillOpen = false;
    script.OnForm([&](TabcsfDirectoryDialog* f) {
        f->edDir->clear();
        Click(f->btnOK);
        stillOpen = f->isVisible();
        Click(f->btnCancel);
    });
    EXPECT_FALSE(d.Execute());
    EXPECT_EQ(script.Failure(), "");
    EXPECT_TRUE(stillOpen);
    EXPECT_TRUE(script.messages.empty());
}

TEST(AbcfdirDialog, UnusableStartFolderIsReportedAndTheDialogOpensAnyway) {
    TempDir tmp;
    TabcDirectoryDialog d;
    d.SetDirectory(tmp.File("gone"));
    ModalScript script;
    script.Answer(QMessageBox::Ok).OnForm(Cancel);
    EXPECT_FALSE(d.Execute());
    EXPECT_EQ(script.Failure(), "");
    ASSERT_EQ(script.messages.size(), 1u);
    EXPECT_NE(script.messages[0].text.find(tmp.File("gone")), std::string::npos);
    EXPECT_EQ(script.messages[0].icon, QMessageBox::Critical);
    EXPECT_EQ(d.Directory(), tmp.File("gone"));
}

TEST(AbcfdirDialog, TheListFollowsDoubleClicksAndThePathFollowsTheList) {
    TempDir tmp;
    MakeFolder(tmp.File("child"));
    TabcDirectoryDialog d;
    d.SetDirEditStyle(desCombo);
    d.HistoryList().Add("/old");
    d.SetDirectory(tmp.Path());
    ModalScript script;
    script.OnForm([&](TabcsfDirectoryDialog* f) {
        EXPECT_EQ(f->cboDir->count(), 1);
        EXPECT_EQ(f->cboDir->itemText(0), "/old");
        EXPECT_EQ(f->cboDir->currentText().toStdString(), tmp.Path());
        TabcDirectoryListBox* list = f->DirectoryListBox1;
        int row = -1;
        for (int i = 0; i < list->count(); ++i) {
            if (list->PathAt(i) == tmp.File("child")) {
                row = i;
            }
        }
        ASSERT_GT(row, list->CurrentFolderRow());
        list->scrollToItem(list->item(row));
        const QRect where = list->visualItemRect(list->item(row));
        // Through the window, so that the press before the double click is
        // delivered as a real one would be.
        QTest::mouseDClick(f->windowHandle(), Qt::LeftButton, {},
                           list->viewport()->mapTo(f, where.center()));
        EXPECT_EQ(list->Directory(), tmp.File("child"));
        EXPECT_EQ(f->lblDir->text().toStdString(), tmp.File("child"));
        EXPECT_EQ(f->cboDir->currentText().toStdString(), tmp.File("child"));
        // The drive box moves the list to a root.
        f->DriveComboBox1->setCurrentIndex(0);
        emit f->DriveComboBox1->activated(0);
        EXPECT_EQ(list->Directory(), "/");
        Click(f->btnCancel);
    });
    EXPECT_FALSE(d.Execute());
    EXPECT_EQ(script.Failure(), "");
}

TEST(AbcfdirDialog, ButtonsInAColumnAtTheRight) {
    TabcDirectoryDialog d;
    d.SetDirDialogStyle(ddsBtnRight);
    d.SetDirLabelStyle(dlsDirectory);
    d.SetOptions(TabcDirectoryOptions{adrPathMustExist, adrShowHelp});
    ModalScript script;
    script.OnForm([](TabcsfDirectoryDialog* f) {
        EXPECT_EQ(f->windowTitle(), "Choose Directory");
        EXPECT_TRUE(f->lblDirCaptionDirectories->isVisible());
        const QRect ok = f->btnOK->geometry();
        EXPECT_EQ(ok.x(), f->cboDir->geometry().right() + 1 + 12);
        EXPECT_EQ(ok.y(), f->lblDirCaptionDirectories->y());
        EXPECT_EQ(f->btnCancel->y(), ok.bottom() + 1 + 4);
        EXPECT_EQ(f->btnHelp->y(), f->btnCancel->geometry().bottom() + 1 + 8);
        EXPECT_EQ(f->btnNetwork->y(), f->btnHelp->geometry().bottom() + 1 + 8);
        EXPECT_EQ(f->width(), ok.right() + 1 + 4);
        EXPECT_EQ(f->height(), f->DriveComboBox1->geometry().bottom() + 1 + 4);
        Click(f->btnCancel);
    });
    EXPECT_FALSE(d.Execute());
    EXPECT_EQ(script.Failure(), "");
}

TEST(AbcfdirDialog, DriveOptionsHideOrLockTheDriveBox) {
    {
        TabcDirectoryDialog d;
        d.SetOptions(TabcDirectoryOptions{adrPathMustExist, adrHideDrive});
        d.SetTitle("Pick");
        ModalScript script;
        script.OnForm([](TabcsfDirectoryDialog* f) {
            EXPECT_EQ(f->windowTitle(), "Pick");
            EXPECT_FALSE(f->lblDrives->isVisible());
            EXPECT_FALSE(f->DriveComboBox1->isVisible());
            EXPECT_FALSE(f->btnNetwork->isVisible());
            // The buttons stay inside the shortened dialog.
            EXPECT_LE(f->btnOK->geometry().bottom(), f->height());
            EXPECT_LT(f->height(), 261);
            Click(f->btnCancel);
        });
        EXPECT_FALSE(d.Execute());
        EXPECT_EQ(script.Failure(), "");
    }
    {
        TabcDirectoryDialog d;
        d.SetOptions(TabcDirectoryOptions{adrPathMustExist, adrNoChangeDrive});
        ModalScript script;
        script.OnForm([](TabcsfDirectoryDialog* f) {
            EXPECT_FALSE(f->lblDrives->isEnabled());
            EXPECT_FALSE(f->DriveComboBox1->isEnabled());
            EXPECT_TRUE(f->DriveComboBox1->isVisible());
            Click(f->btnCancel);
        });
        EXPECT_FALSE(d.Execute());
        EXPECT_EQ(script.Failure(), "");
    }
}

TEST(AbcfdirDialog, EnterInTheListOpensTheFolderInsteadOfConfirming) {
    TempDir tmp;
    MakeFolder(tmp.File("child"));
    TabcDirectoryDialog d;
    d.SetDirectory(tmp.Path());
    ModalScript script;
    script.OnForm([&](TabcsfDirectoryDialog* f) {
        TabcDirectoryListBox* list = f->DirectoryListBox1;
        list->setCurrentRow(list->CurrentFolderRow() + 1);
        QTest::keyClick(list, Qt::Key_Return);
        EXPECT_EQ(list->Directory(), tmp.File("child"));
        EXPECT_TRUE(f->isVisible());
        // On the current folder itself, Enter confirms.
        QTest::keyClick(list, Qt::Key_Return);
    });
    EXPECT_TRUE(d.Execute());
    EXPECT_EQ(script.Failure(), "");
    EXPECT_EQ(d.Directory(), tmp.File("child"));
}

TEST(AbcfdirDialog, AFolderThatCannotBeCreatedIsNotReportedAsChosen) {
    TempDir tmp;
    tmp.Write("file", "x");
    TabcDirectoryDialog d;
    d.SetDirEditStyle(desEdit);
    d.SetOptions(TabcDirectoryOptions{adrCreate});
    d.SetDirectory(tmp.Path());
    const std::string blocked = tmp.File("file/sub");
    const SeenMessage refusal = RefusedTypedPath(d, blocked);
    EXPECT_EQ(refusal.text,
              Lines(blocked, "This path could not be created.", "Please enter a different path."));
    EXPECT_EQ(refusal.icon, QMessageBox::Critical);
    EXPECT_EQ(d.Directory(), tmp.Path());
}

} // namespace
