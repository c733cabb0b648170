// Shows the program's tray icon with image 1 on a hidden form, then obeys
// commands read line by line from standard input:
//   <number>  set that image index
//   quit      remove the icon and end
// Reports on standard output: "added" once the icon is in the notification
// area, "index N" after each change.
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "tray/abctray.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    QWidget form;
    form.setWindowTitle("Options");
    auto* tray = new TabcTrayIcon(&form);
    tray->SetImages(CreateImageList1(&form));
    tray->SetImageIndex(1);
    tray->SetAnimateInterval(1000);
    tray->SetOptions(
        {atiShowOnDblClick, atiHideApp, atiHideOnClose, atiTerminateOnLogoff, atiMonitorTray});
    tray->SetMonitorInterval(500);
    tray->SetVisible(false);
    tray->Loaded();
    tray->SetVisible(true);
    if (tray->ShowMainForm()) {
        form.show();
    }

    QTimer reportAdded;
    QObject::connect(&reportAdded, &QTimer::timeout, [&] {
        if (tray->IconAdded()) {
            std::printf("added\n");
            std::fflush(stdout);
            reportAdded.stop();
        }
    });
    reportAdded.start(100);

    std::string pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            return;
        }
        pending.append(buffer, static_cast<size_t>(n));
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (line == "quit") {
                tray->SetVisible(false);
                QApplication::quit();
            } else if (!line.empty()) {
                tray->SetImageIndex(std::stoi(line));
                std::printf("index %d\n", tray->ImageIndex());
                std::fflush(stdout);
            }
        }
    });
    return QApplication::exec();
}
