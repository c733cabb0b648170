// Sends 100 files of 256 KiB to the local Postfix (scripts/mailservers)
// through TSmtpMail, then the same files with one `curl` command each (same
// MIME layout, same AUTH), and prints both rates and their ratio.
#include "smtp/AddEmailLib_TLB.h"
#include "support/OutboxMessage.h"
#include "support/RealServers.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QUuid>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kFiles = 100;
constexpr size_t kFileSize = 256 * 1024;

std::string ProbeMaildir(const RealServers& s) {
    std::string d = RealServers::Env("MAILGATE_PROBE_MAILDIR");
    return d.empty()
               ? QFileInfo(QString::fromStdString(s.maildir)).dir().filePath("probe").toStdString()
               : d;
}

// Removes the delivered bench messages (marked by `tag`) once all are there.
int RemoveDelivered(const std::string& maildir, const std::string& tag, int expected) {
    int removed = 0;
    WaitFor(
        [&] {
            QDir dir(QString::fromStdString(maildir + "/new"));
            for (const QString& name : dir.entryList(QDir::Files)) {
                QFile f(dir.filePath(name));
                if (f.open(QIODevice::ReadOnly) &&
                    f.read(4096).contains(QByteArray::fromStdString(tag))) {
                    f.remove();
                    ++removed;
                }
            }
            return removed >= expected;
        },
        120000);
    return removed;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    RealServers servers = RealServers::FromEnvironment();
    if (servers.smtpPort == 0) {
        std::fprintf(stderr, "bench_SmtpSendBench: no SMTP server; run scripts/mailservers start "
                             "and eval \"$(scripts/mailservers env)\"\n");
        return 1;
    }
    std::string probe = RealServers::Env("MAILGATE_PROBE_ADDRESS");
    if (probe.empty()) {
        probe = "probe@example.test";
    }
    const std::string tag =
        "bench-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();

    TempDir dir;
    std::vector<std::string> files;
    std::string content(kFileSize, '\0');
    for (int i = 0; i < kFiles; ++i) {
        for (size_t k = 0; k < content.size(); ++k) {
            content[k] = char((k * 131 + size_t(i) * 7) >> 3);
        }
        std::string name = "file" + std::to_string(i) + ".bin";
        dir.Write(name, content);
        files.push_back(dir.File(name));
    }

    // The component, as the outbox pass drives it.
    TSmtpMail smtp;
    smtp.SetSmtpServer(servers.host);
    smtp.SetSmtpPort(servers.smtpPort);
    smtp.SetSmtpUsername(servers.user);
    smtp.SetSmtpPassword(servers.password);
    IMailMessagePtr message = CoMailMessage::Create();
    message->SetPriority(3);
    message->SetBodyFormat(0);
    message->SetReadReceipt(0);
    message->SetSubject(tag);
    IMailAddressPtr from = CoMailAddress::Create();
    from->SetAddress("gateway@example.org");
    message->SetFrom(from);
    message->SetSender(from);
    QElapsedTimer clock;
    clock.start();
    int failures = 0;
    for (const std::string& file : files) {
        AddressMessage(*message, probe, file);
        std::string description;
        if (smtp.Send(message, -1, description) != 0) {
            std::fprintf(stderr, "component: %s\n", description.c_str());
            ++failures;
        }
    }
    const double componentSeconds = clock.nsecsElapsed() / 1e9;

    // One curl command per file.
    const QString url =
        QString("smtp://%1:%2").arg(QString::fromStdString(servers.host)).arg(servers.smtpPort);
    clock.restart();
    for (const std::string& file : files) {
        QProcess curl;
        curl.start("curl",
                   {"-sS", "--url", url, "--mail-from", "gateway@example.org", "--mail-rcpt",
                    QString::fromStdString(probe), "--user",
                    QString::fromStdString(servers.user + ":" + servers.password), "-H",
                    QString::fromStdString("Subject: " + tag), "-H", "From: gateway@example.org",
                    "-H", QString::fromStdString("To: " + probe), "-F",
                    "=The attached file is sent by mailgate.;type=text/plain", "-F",
                    QString::fromStdString("file=@" + file +
                                           ";type=application/octet-stream;encoder=base64")});
        curl.waitForFinished(60000);
        if (curl.exitCode() != 0) {
            std::fprintf(stderr, "curl: %s\n", curl.readAllStandardError().constData());
            ++failures;
        }
    }
    const double curlSeconds = clock.nsecsElapsed() / 1e9;

    const double componentRate = kFiles / componentSeconds;
    const double curlRate = kFiles / curlSeconds;
    std::printf("SMTP send, %d files of %zu KiB each to %s:%d (AUTH)\n", kFiles, kFileSize / 1024,
                servers.host.c_str(), servers.smtpPort);
    std::printf("  TSmtpMail:       %7.3f s  %8.1f files/s\n", componentSeconds, componentRate);
    std::printf("  curl per file:   %7.3f s  %8.1f files/s\n", curlSeconds, curlRate);
    std::printf("  ratio (component/curl files per second): %.2f (goal >= 2)\n",
                componentRate / curlRate);
    int removed = RemoveDelivered(ProbeMaildir(servers), tag, 2 * kFiles - failures);
    if (removed < 2 * kFiles - failures) {
        std::fprintf(stderr, "only %d of %d messages were delivered\n", removed,
                     2 * kFiles - failures);
        return 1;
    }
    return failures == 0 ? 0 : 1;
}
