#include "tray/abctrayImageList.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>
#include <cstdio>

#include "platform/Exception.h"

// Resources of a static library are registered by hand; the function must
// live outside any namespace.
static void InitTrayResources() {
    Q_INIT_RESOURCE(abctrayImages);
}

TImageList::TImageList(int Width, int Height, QObject* Owner)
    : QObject(Owner), width_(Width), height_(Height) {}

void TImageList::Add(const QIcon& Image) {
    images_.push_back(Image);
}

const QIcon& TImageList::Image(int Index) const {
    if (Index < 0 || Index >= Count()) {
        char text[64];
        std::snprintf(text, sizeof text, "List index out of bounds (%d)", Index);
        throw EListError(text);
    }
    return images_[static_cast<size_t>(Index)];
}

namespace {

// Renders the drawing into pixmaps of the sizes a notification area asks
// for, so the icon stays sharp instead of being scaled from 16 pixels.
QIcon RenderIcon(const QString& resource) {
    QSvgRenderer renderer(resource);
    QIcon icon;
    if (!renderer.isValid()) {
        return icon;
    }
    for (int size : {16, 20, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace

TImageList* CreateImageList1(QObject* Owner) {
    InitTrayResources();
    auto* list = new TImageList(16, 16, Owner);
    for (const char* name :
         {"envelope", "computer", "receiving", "sending", "mailbox", "prohibited"}) {
        list->Add(RenderIcon(QStringLiteral(":/abctray/images/%1.svg").arg(name)));
    }
    return list;
}
