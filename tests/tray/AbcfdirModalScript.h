#pragma once
// Drives modal dialogs from inside their own event loops: each step waits,
// with a deadline, for the right kind of window to be the active modal one
// and then acts on it. A step that never finds its window fails the script
// and closes every modal window so that the test goes on.
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "tray/AbcfdirForm.h"

struct SeenMessage {
    std::string title;
    std::string text;
    QMessageBox::Icon icon;
};

class ModalScript {
public:
    explicit ModalScript(int stepTimeoutMs = 5000) : timeoutMs_(stepTimeoutMs) {
        deadline_ = QDeadlineTimer(timeoutMs_);
        QTimer::singleShot(0, &guard_, [this] { Poll(); });
    }

    // Runs `action` on the folder chooser's form once it is shown.
    ModalScript& OnForm(std::function<void(TabcsfDirectoryDialog*)> action) {
        steps_.push_back(
            {[] { return qobject_cast<TabcsfDirectoryDialog*>(ActiveModal()); },
             [action](QWidget* w) { action(static_cast<TabcsfDirectoryDialog*>(w)); }});
        return *this;
    }

    // Records the next message box and presses `answer` in it.
    ModalScript& Answer(QMessageBox::StandardButton answer) {
        steps_.push_back({[] { return qobject_cast<QMessageBox*>(ActiveModal()); },
                          [this, answer](QWidget* w) {
                              auto* box = static_cast<QMessageBox*>(w);
                              messages.push_back({box->windowTitle().toStdString(),
                                                  box->text().toStdString(), box->icon()});
                              QAbstractButton* button = box->button(answer);
                              if (button == nullptr) {
                                  failure_ = "message box without the wanted button";
                                  box->reject();
                                  return;
                              }
                              QTest::mouseClick(button, Qt::LeftButton);
                          }});
        return *this;
    }

    // Empty when every step ran.
    std::string Failure() const {
        if (!failure_.empty()) {
            return failure_;
        }
        return steps_.empty() ? std::string() : "steps left: " + std::to_string(steps_.size());
    }

    std::vector<SeenMessage> messages;

private:
    struct Step {
        std::function<QWidget*()> find;
        std::function<void(QWidget*)> run;
    };

    static QWidget* ActiveModal() {
        QWidget* w = QApplication::activeModalWidget();
        return w != nullptr && w->isVisible() ? w : nullptr;
    }

    void Poll() {
        if (stopped_ || (steps_.empty() && failure_.empty())) {
            return;
        }
        // The next poll is due before the action runs: the action may open a
        // nested modal loop in which the following step must be taken.
        QTimer::singleShot(10, &guard_, [this] { Poll(); });
        if (!failure_.empty()) {
            Abort();
            return;
        }
        if (QWidget* w = steps_.front().find()) {
            Step step = std::move(steps_.front());
            steps_.pop_front();
            deadline_ = QDeadlineTimer(timeoutMs_);
            step.run(w);
        } else if (deadline_.hasExpired()) {
            failure_ = "no modal window for a step within the deadline";
            Abort();
        }
    }

    // Closes modal windows for a while after a failure: a window that shows
    // up late is closed too.
    void Abort() {
        if (abortDeadline_.isForever()) {
            abortDeadline_ = QDeadlineTimer(1000);
        }
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            dialog->reject();
        }
        stopped_ = abortDeadline_.hasExpired();
    }

    int timeoutMs_;
    QDeadlineTimer deadline_;
    QDeadlineTimer abortDeadline_{QDeadlineTimer::Forever};
    std::deque<Step> steps_;
    std::string failure_;
    bool stopped_ = false;
    QObject guard_;
};
