#include "tray/AbcfdirListBox.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QStorageInfo>
#include <QStyle>
#include <algorithm>

#include "platform/Exception.h"

namespace {

constexpr int PathRole = Qt::UserRole + 1;
constexpr int IndentPerLevel = 2;

QString ToQt(const std::string& s) {
    return QFile::decodeName(QByteArray::fromStdString(s));
}
std::string FromQt(const QString& s) {
    return QFile::encodeName(s).toStdString();
}

} // namespace

TabcDirectoryListBox::TabcDirectoryListBox(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { OpenRow(row(item)); });
    try {
        SetDirectory(FromQt(QDir::currentPath()));
    } catch (const EInOutError&) {
        SetDirectory(FromQt(QDir::rootPath()));
    }
}

void TabcDirectoryListBox::SetDirectory(const std::string& path) {
    const QFileInfo info(ToQt(path));
    if (path.empty() || !info.isDir() || !info.isExecutable()) {
        throw EInOutError("Cannot open folder " + path);
    }
    const std::string clean = FromQt(QDir::cleanPath(info.absoluteFilePath()));
    if (clean == directory_) {
        return;
    }
    directory_ = clean;
    Fill();
    emit directoryChanged(ToQt(directory_));
}

std::string TabcDirectoryListBox::PathAt(int row) const {
    const QListWidgetItem* entry = item(row);
    return entry == nullptr ? std::string() : FromQt(entry->data(PathRole).toString());
}

void TabcDirectoryListBox::keyPressEvent(QKeyEvent* event) {
    // Enter opens the folder under the cursor instead of confirming the
    // dialog, as a double click does.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentRow() >= 0 &&
        currentRow() != currentRow_) {
        OpenRow(currentRow());
        event->accept();
        return;
    }
    QListWidget::keyPressEvent(event);
}

void TabcDirectoryListBox::OpenRow(int row) {
    const std::string path = PathAt(row);
    if (path.empty()) {
        return;
    }
    try {
        SetDirectory(path);
    } catch (const EInOutError&) {
        Fill(); // the folder went away meanwhile: show what is there now
    }
}

void TabcDirectoryListBox::Fill() {
    clear();
    const QString current = ToQt(directory_);
    QStringList chain;
    for (QDir dir(current);;) {
        chain.prepend(dir.absolutePath());
        if (dir.isRoot() || !dir.cdUp()) {
            break;
        }
    }
    const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);
    int level = 0;
    for (const QString& folder : chain) {
        const QString name = QDir(folder).isRoot() ? folder : QFileInfo(folder).fileName();
        auto* entry =
            new QListWidgetItem(openIcon, QString(level * IndentPerLevel, ' ') + name, this);
        entry->setData(PathRole, folder);
        ++level;
    }
    currentRow_ = count() - 1;
    const QStringList children =
        QDir(current).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QString& child : children) {
        auto* entry =
            new QListWidgetItem(closedIcon, QString(level * IndentPerLevel, ' ') + child, this);
        entry->setData(PathRole, QDir(current).filePath(child));
    }
    setCurrentRow(currentRow_);
}

TabcDriveComboBox::TabcDriveComboBox(QWidget* parent) : QComboBox(parent) {
    FillVolumes();
    connect(this, &QComboBox::activated, this, &TabcDriveComboBox::DriveChosen);
}

void TabcDriveComboBox::FillVolumes() {
    // There are no drive letters here: the file-system root and the mounted
    // volumes take their place.
    std::vector<QString> roots{QDir::rootPath()};
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (volume.isValid() && volume.isReady() &&
            std::find(roots.begin(), roots.end(), volume.rootPath()) == roots.end()) {
            roots.push_back(volume.rootPath());
        }
    }
    std::sort(roots.begin() + 1, roots.end());
    for (const QString& root : roots) {
        addItem(style()->standardIcon(QStyle::SP_DriveHDIcon), root, root);
    }
}

std::vector<std::string> TabcDriveComboBox::Roots() const {
    std::vector<std::string> roots;
    for (int i = 0; i < count(); ++i) {
        roots.push_back(FromQt(itemData(i).toString()));
    }
    return roots;
}

void TabcDriveComboBox::SetDirList(TabcDirectoryListBox* list) {
    list_ = list;
    connect(list, &TabcDirectoryListBox::directoryChanged, this,
            [this](const QString& path) { SelectVolumeOf(FromQt(path)); });
    SelectVolumeOf(list->Directory());
}

void TabcDriveComboBox::SelectVolumeOf(const std::string& path) {
    const QString folder = ToQt(path);
    int best = -1;
    qsizetype bestLength = -1;
    for (int i = 0; i < count(); ++i) {
        const QString root = itemData(i).toString();
        const bool holds = folder == root || root == QDir::rootPath() ||
                           folder.startsWith(root.endsWith('/') ? root : root + '/');
        if (holds && root.size() > bestLength) {
            best = i;
            bestLength = root.size();
        }
    }
    setCurrentIndex(best);
}

void TabcDriveComboBox::DriveChosen(int index) {
    if (list_ == nullptr || index < 0) {
        return;
    }
    try {
        list_->SetDirectory(FromQt(itemData(index).toString()));
    } catch (const EInOutError& e) {
        SelectVolumeOf(list_->Directory());
        emit driveError(ToQt(e.Message()));
    }
}
