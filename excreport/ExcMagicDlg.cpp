#include "excreport/ExcMagicDlg.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFrame>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTabBar>
#include <QTextCursor>

namespace {

// The template's full size in dialog units; the collapsed form ends where
// the tab control begins.
constexpr int templateWidth = 364;
constexpr int templateHeight = 208;
constexpr int tabTop = 72;

QIcon IconFor(const TIconName& name, QStyle* style) {
    if (!name.Resource.empty()) {
        QString resource = QString::fromStdString(name.Resource);
        QIcon icon(resource);
        if (icon.isNull()) {
            icon = QIcon::fromTheme(resource);
        }
        if (!icon.isNull()) {
            return icon;
        }
    }
    switch (name.Number) {
    case 32514:
        return style->standardIcon(QStyle::SP_MessageBoxQuestion);
    case 32515:
        return style->standardIcon(QStyle::SP_MessageBoxWarning);
    case 32516:
        return style->standardIcon(QStyle::SP_MessageBoxInformation);
    case 32512:
        return QApplication::windowIcon();
    default:
        // None, or 32513: the error icon.
        return style->standardIcon(QStyle::SP_MessageBoxCritical);
    }
}

} // namespace

TExcMagicDlg::TExcMagicDlg(const TExcMagicDlgParams& params, QWidget* owner) : QDialog(owner) {
    setModal(true);
    // Dialog units from the default font, as the original converted them
    // from its 8-point dialog font.
    QFontMetrics metrics(font());
    baseX_ = std::max(1, metrics.averageCharWidth());
    baseY_ = std::max(1, metrics.height());

    auto* frame = new QFrame(this);
    frame->setFrameStyle(QFrame::Box | QFrame::Sunken);
    frame->setGeometry(Units(4, 3, 356, 65));

    icon_ = new QLabel(this);
    icon_->setGeometry(Units(10, 10, 32, 32));
    QIcon icon = IconFor(params.Icon, style());
    icon_->setPixmap(icon.pixmap(icon_->size()));

    message_ = new QLabel(this);
    message_->setGeometry(Units(48, 10, 240, 54));
    message_->setWordWrap(true);
    message_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    message_->setTextFormat(Qt::PlainText);
    message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    message_->setText(QString::fromStdString(params.Message));

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setGeometry(Units(292, 8, 62, 15));
    ok_->setDefault(true);
    details_ = new QPushButton(QStringLiteral("Details >>"), this);
    details_->setGeometry(Units(292, 24, 62, 15));
    terminate_ = new QPushButton(QStringLiteral("Terminate"), this);
    terminate_->setGeometry(Units(292, 40, 62, 15));

    tabs_ = new QTabBar(this);
    QRect tabRect = Units(4, tabTop, 356, 132);
    tabs_->setGeometry(tabRect.x(), tabRect.y(), tabRect.width(), tabs_->sizeHint().height());

    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPixelSize(std::max(8, 14 * baseY_ / 8));
    const std::string* texts[3] = {&params.CallStack, &params.Registers, &params.Custom};
    for (int i = 0; i < 3; ++i) {
        auto* edit = new QPlainTextEdit(this);
        edit->setGeometry(Units(8, 88, 348, 112));
        edit->setReadOnly(true);
        edit->setFont(fixed);
        edit->setLineWrapMode(QPlainTextEdit::NoWrap);
        if (i == 1) {
            edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        }
        edit->setPlainText(QString::fromStdString(*texts[i]));
        edit->moveCursor(QTextCursor::End);
        edit->hide();
        edits_[i] = edit;
    }
    if ((params.Flags & dfCallStack) != 0) {
        tabs_->addTab(QStringLiteral("Call Stack"));
        pages_.push_back(1);
    }
    if ((params.Flags & dfRegisters) != 0) {
        tabs_->addTab(QStringLiteral("Registers"));
        pages_.push_back(2);
    }
    if ((params.Flags & dfCustom) != 0) {
        tabs_->addTab(QString::fromStdString(params.CustomTitle));
        pages_.push_back(3);
    }
    terminate_->setVisible((params.Flags & dfTerminate) != 0);

    collapsedHeight_ = Units(0, 0, 0, tabTop).height();
    expandedHeight_ = Units(0, 0, 0, templateHeight).height();
    setFixedWidth(Units(0, 0, templateWidth, 0).width());

    connect(ok_, &QPushButton::clicked, this, [this] { done(0); });
    connect(terminate_, &QPushButton::clicked, this, [this] { done(mrTerminate); });
    connect(details_, &QPushButton::clicked, this, [this] { SetExpanded(!expanded_); });
    connect(tabs_, &QTabBar::currentChanged, this, [this](int tab) {
        SelectTab(tab);
        ok_->setFocus();
    });

    if (pages_.empty()) {
        details_->hide();
        SetExpanded(false);
    } else {
        SelectTab(0);
        SetExpanded((params.Flags & dfDetailsOpen) != 0);
    }
    setWindowTitle(QString::fromStdString(params.Caption));
    ok_->setFocus();
}

TExcMagicDlg::~TExcMagicDlg() = default;

QRect TExcMagicDlg::Units(int x, int y, int w, int h) const {
    return QRect(x * baseX_ / 4, y * baseY_ / 8, w * baseX_ / 4, h * baseY_ / 8);
}

QPlainTextEdit* TExcMagicDlg::PageEdit(int page) const noexcept {
    return page >= 1 && page <= 3 ? edits_[page - 1] : nullptr;
}

void TExcMagicDlg::SelectTab(int tab) {
    if (tab < 0 || tab >= static_cast<int>(pages_.size())) {
        return;
    }
    if (tabs_->currentIndex() != tab) {
        tabs_->setCurrentIndex(tab);
    }
    for (int page = 1; page <= 3; ++page) {
        edits_[page - 1]->setVisible(expanded_ && page == pages_[static_cast<size_t>(tab)]);
    }
}

void TExcMagicDlg::SetExpanded(bool expanded) {
    expanded_ = expanded && !pages_.empty();
    details_->setText(expanded_ ? QStringLiteral("Compact <<") : QStringLiteral("Details >>"));
    tabs_->setVisible(expanded_);
    setFixedHeight(expanded_ ? expandedHeight_ : collapsedHeight_);
    if (!pages_.empty()) {
        SelectTab(std::max(0, tabs_->currentIndex()));
    }
}

void TExcMagicDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        done(0);
        return;
    }
    QDialog::keyPressEvent(event);
}
