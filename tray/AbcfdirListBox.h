#pragma once
// The folder tree of the folder chooser and the drive box bound to it.
#include <QComboBox>
#include <QListWidget>
#include <string>
#include <vector>

// Lists the chain of folders from the root down to the current folder, then
// the current folder's subfolders; activating an entry makes it current.
// The process's current directory is never changed: the list keeps its own.
class TabcDirectoryListBox : public QListWidget {
    Q_OBJECT
public:
    explicit TabcDirectoryListBox(QWidget* parent = nullptr);

    // Absolute, without a trailing separator (except the root).
    std::string Directory() const { return directory_; }
    // Raises EInOutError when `path` is not a folder that can be listed.
    void SetDirectory(const std::string& path);
    // The path of the entry at `row`.
    std::string PathAt(int row) const;
    int CurrentFolderRow() const noexcept { return currentRow_; }

signals:
    void directoryChanged(const QString& path);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OpenRow(int row);
    void Fill();

    std::string directory_;
    int currentRow_ = -1;
};

// The roots a folder can be on: the file-system root and every mounted volume.
// Choosing one moves the bound folder list there; a change of the list's
// folder selects the volume that holds it.
class TabcDriveComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TabcDriveComboBox(QWidget* parent = nullptr);

    void SetDirList(TabcDirectoryListBox* list);
    std::vector<std::string> Roots() const;
    // Selects the volume holding `path` (the one with the longest root).
    void SelectVolumeOf(const std::string& path);

signals:
    // Moving the list failed (the volume went away); the text says why.
    void driveError(const QString& message);

private:
    void FillVolumes();
    void DriveChosen(int index);

    TabcDirectoryListBox* list_ = nullptr;
};
