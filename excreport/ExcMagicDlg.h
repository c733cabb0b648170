#pragma once
// The report dialog: icon, message and "OK" in its collapsed form; with
// "Details >>" it grows to show the pages "Call Stack", "Registers" and the
// custom page. Geometry follows the original template in dialog units,
// converted with the platform's default font.
#include <QDialog>
#include <cstdint>
#include <string>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabBar;

// A dialog icon: a resource name (a Qt resource or theme icon name) or a
// stock icon number of the original platform (32513 error, 32514 question,
// 32515 warning, 32516 information, 32512 application).
struct TIconName {
    TIconName() = default;
    TIconName(int number) : Number(number) {} // NOLINT: a number is an icon name
    TIconName(std::string resource) : Resource(std::move(resource)) {} // NOLINT
    int Number = 0;
    std::string Resource;
    bool Empty() const noexcept { return Number == 0 && Resource.empty(); }
};

struct TExcMagicDlgParams {
    std::string Caption;
    std::string Message;
    std::string CallStack;
    std::string Registers;
    std::string Custom;
    std::string CustomTitle;
    uint32_t Flags = 0; // the dfXxx bits
    TIconName Icon;
};

class TExcMagicDlg : public QDialog {
public:
    static constexpr uint32_t dfDetailsOpen = 0x1;
    static constexpr uint32_t dfCallStack = 0x100;
    static constexpr uint32_t dfRegisters = 0x200;
    static constexpr uint32_t dfCustom = 0x400;
    static constexpr uint32_t dfTerminate = 0x10000;
    // Results: "OK" and Escape give 0, "Terminate" this.
    static constexpr int mrTerminate = 0x10000;

    explicit TExcMagicDlg(const TExcMagicDlgParams& params, QWidget* owner = nullptr);
    ~TExcMagicDlg() override;

    bool Expanded() const noexcept { return expanded_; }
    void SetExpanded(bool expanded);
    int CollapsedHeight() const noexcept { return collapsedHeight_; }
    int ExpandedHeight() const noexcept { return expandedHeight_; }
    // Page numbers (1 call stack, 2 registers, 3 custom) in tab order.
    const std::vector<int>& Pages() const noexcept { return pages_; }
    void SelectTab(int tab);

    QPushButton* OkButton() const noexcept { return ok_; }
    QPushButton* DetailsButton() const noexcept { return details_; }
    QPushButton* TerminateButton() const noexcept { return terminate_; }
    QTabBar* Tabs() const noexcept { return tabs_; }
    QPlainTextEdit* PageEdit(int page) const noexcept;
    QLabel* MessageLabel() const noexcept { return message_; }
    QLabel* IconLabel() const noexcept { return icon_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QRect Units(int x, int y, int w, int h) const;

    int baseX_ = 6;
    int baseY_ = 13;
    bool expanded_ = false;
    int collapsedHeight_ = 0;
    int expandedHeight_ = 0;
    std::vector<int> pages_;
    QPushButton* ok_ = nullptr;
    QPushButton* details_ = nullptr;
    QPushButton* terminate_ = nullptr;
    QTabBar* tabs_ = nullptr;
    QPlainTextEdit* edits_[3] = {nullptr, nullptr, nullptr};
    QLabel* message_ = nullptr;
    QLabel* icon_ = nullptr;
};
