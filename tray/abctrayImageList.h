#pragma once
// An image list: the icons a tray icon shows by index. It is a QObject so
// that a tray icon referring to it hears when it goes away.
#include <QIcon>
#include <QObject>
#include <vector>

class TImageList : public QObject {
    Q_OBJECT
public:
    explicit TImageList(int Width = 16, int Height = 16, QObject* Owner = nullptr);

    int Width() const { return width_; }
    int Height() const { return height_; }
    int Count() const { return static_cast<int>(images_.size()); }

    void Add(const QIcon& Image);
    void Clear() { images_.clear(); }
    // Raises EListError "List index out of bounds (%d)" outside 0..Count-1.
    const QIcon& Image(int Index) const;

private:
    int width_;
    int height_;
    std::vector<QIcon> images_;
};

// The program's tray images, drawn for 16 x 16 and crisp at larger sizes:
// 0 envelope, 1 computer, 2 arrow into a document, 3 arrow out of a
// document, 4 mailbox with flag, 5 prohibition sign.
TImageList* CreateImageList1(QObject* Owner);
