// Program entry: the application object, the one exception reporter, the
// main window (or the headless runner), and the message loop.
#include <QDir>
#include <QFile>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>
#include <unistd.h>

#include "app/CertificateReport.h"
#include "app/CommandLine.h"
#include "app/ConfigLocation.h"
#include "app/HeadlessRunner.h"
#include "app/InstanceClaim.h"
#include "app/MailRead.h"
#include "app/Settings.h"
#include "app/SignIn.h"
#include "app/SignalReactions.h"
#include "excreport/ExcMagic.h"
#include "platform/GuardedApplication.h"

int main(int argc, char** argv) {
    TCommandLine cl = TCommandLine::Parse(std::vector<std::string>(argv + 1, argv + argc));
    if (!cl.Error.empty()) {
        std::fprintf(stderr, "mailgate: %s\n\n%s", cl.Error.c_str(), TCommandLine::Usage());
        return 2;
    }
    if (cl.Help) {
        std::fputs(TCommandLine::Usage(), stdout);
        return 0;
    }
    if (cl.Version) {
        std::fputs(TCommandLine::VersionText(), stdout);
        return 0;
    }
    const bool withoutDisplay = cl.Headless || cl.ShowCertificates || cl.SignIn;
    if (withoutDisplay) {
        // No display needed: a server has neither X nor Wayland.
        const char* platform = std::getenv("QT_QPA_PLATFORM");
        if (platform == nullptr || *platform == '\0') {
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        }
        // Qt wants a private runtime folder; a service account may have none.
        if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
            QString runtime = QDir::temp().filePath(QString("mailgate-runtime-%1").arg(getuid()));
            QDir().mkpath(runtime);
            QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner);
            setenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit().constData(), 1);
        }
    }

    TGuardedApplication app(argc, argv);
    // The window hides into the tray; only Exit ends the program.
    app.setQuitOnLastWindowClosed(false);

    // The one reporter, made before the window; without a display it writes
    // its reports to standard error instead of showing a dialog.
    TExcMagic excMagic(withoutDisplay ? TExcMagic::mdConsole : TExcMagic::mdDialog);
    excMagic.SetEnabled(true);
    app.OnException = [](const std::exception& e) {
        if (TExcMagic* reporter = TExcMagic::ExcMagic()) {
            reporter->HandleException(e);
        }
    };

    const TConfigLocation location = TConfigLocation::Choose(
        cl.ConfigPath,
        TConfigEnvironment::OfThisProcess(QCoreApplication::applicationDirPath().toStdString()));
    for (const std::string& problem : location.MakeFolders()) {
        std::fprintf(stderr, "mailgate: %s\n", problem.c_str());
    }
    excMagic.SetLogFileName(location.ExceptionLog());
    std::string configPath = location.SettingsFile();
    if (cl.ShowCertificates) {
        return TCertificateReport().Run(configPath);
    }
    if (cl.SignIn) {
        try {
            const TSettings settings = TSettings::Load(configPath);
            TKeyring keyring;
            const TSignIn::TKeyringUse keyringUse{
                keyring, {settings.Host, settings.UserId}, {settings.OutHost, settings.OutId}};
            return TSignIn::Run(
                settings.OAuthEndpoints(), cl.SignInLegs, configPath, std::cout, std::cerr,
                [](std::chrono::seconds pause) { std::this_thread::sleep_for(pause); },
                &keyringUse);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "mailgate: %s\n", e.what());
            return 2;
        }
    }
    // One gateway per settings file, for the program's life.
    TInstanceLock instanceLock(configPath);
    if (int refused = ClaimInstance(instanceLock, configPath, !withoutDisplay)) {
        return refused;
    }
    if (cl.Headless) {
        THeadlessRunner runner(configPath);
        TSignalReactions signalReactions(runner.Cycle());
        if (cl.Once) {
            const int code = runner.RunOnce();
            return signalReactions.Terminating() ? 0 : code;
        }
        if (!runner.Start()) {
            // Nobody can fill in a window here: waiting would wait for ever.
            return 2;
        }
        return signalReactions.Terminating() ? 0 : app.exec();
    }

    TfmOptionsSetup setup;
    setup.ConfigPath = configPath;
    TfmOptions fmOptions(std::move(setup));
    TSignalReactions signalReactions(fmOptions.Cycle());
    fmOptions.FormCreate(&fmOptions);
    return signalReactions.Terminating() ? 0 : app.exec();
}
