#pragma once
// Shared pieces of the SMTP tests: the real Postfix from scripts/mailservers,
// a reader for what it delivered, and a control set up for it or for a
// scripted server on loopback.
#include "smtp/AddEmailLib_TLB.h"
#include "support/OutboxMessage.h"
#include "support/RealServers.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QUuid>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

// The probe mailbox receives the mail of these tests, so that a POP3 test
// emptying the main mailbox at the same time cannot take it away.
inline std::string ProbeAddress() {
    std::string a = RealServers::Env("MAILGATE_PROBE_ADDRESS");
    return a.empty() ? "probe@example.test" : a;
}

inline std::string ProbeMaildir(const RealServers& s) {
    std::string d = RealServers::Env("MAILGATE_PROBE_MAILDIR");
    if (!d.empty()) {
        return d;
    }
    return QFileInfo(QString::fromStdString(s.maildir)).dir().filePath("probe").toStdString();
}

inline std::string UniqueSubject(const char* what) {
    return std::string(what) + " " +
           QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
}

// The delivered message whose Subject is `subject`, once it is there.
inline std::string WaitForDelivered(const std::string& maildir, const std::string& subject,
                                    int timeoutMs = 20000) {
    std::string found;
    const QByteArray needle = QByteArray("\nSubject: ") + QByteArray::fromStdString(subject) + "\n";
    WaitFor(
        [&] {
            QDir newDir(QString::fromStdString(maildir + "/new"));
            for (const QString& name : newDir.entryList(QDir::Files)) {
                QFile f(newDir.filePath(name));
                if (!f.open(QIODevice::ReadOnly)) {
                    continue;
                }
                QByteArray data = f.readAll();
                QByteArray unixed = data;
                unixed.replace("\r\n", "\n");
                if (unixed.contains(needle)) {
                    found = data.toStdString();
                    f.remove();
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

// What Python's email package (an independent reader) makes of a message;
// each decoded attachment is written to `outDir`/part<N>.
struct ParsedMail {
    QJsonObject json;
    std::vector<std::string> partBytes; // index 0 unused (the text part)
};

inline ParsedMail ParseWithPython(const std::string& message, const TempDir& dir) {
    static const char* script = R"PY(
import email, json, sys
from email import policy
raw = open(sys.argv[1], 'rb').read()
m = email.message_from_bytes(raw, policy=policy.default)
h = lambda n: str(m[n]) if m[n] is not None else None
out = {k: h(k) for k in ('From', 'Sender', 'To', 'Subject', 'Date', 'Message-ID', 'MIME-Version')}
out['type'] = m.get_content_type()
out['recipients'] = len(m.get_all('To') or [])
parts = []
for i, p in enumerate(m.iter_parts() if m.is_multipart() else []):
    d = {'type': p.get_content_type(), 'filename': p.get_filename(),
         'name': p.get_param('name'), 'disposition': p.get_content_disposition(),
         'cte': p['Content-Transfer-Encoding']}
    if i == 0:
        d['text'] = p.get_content()
    else:
        open('%s/part%d' % (sys.argv[2], i), 'wb').write(p.get_payload(decode=True) or b'')
    if isinstance(d['name'], tuple):
        d['name'] = email.utils.collapse_rfc2231_value(d['name'])
    parts.append(d)
out['parts'] = parts
print(json.dumps(out))
)PY";
    dir.Write("parse.py", script);
    dir.Write("message.eml", message);
    QProcess py;
    py.start("/usr/bin/python3",
             {QString::fromStdString(dir.File("parse.py")),
              QString::fromStdString(dir.File("message.eml")), QString::fromStdString(dir.Path())});
    py.waitForFinished(30000);
    ParsedMail parsed;
    parsed.json = QJsonDocument::fromJson(py.readAllStandardOutput()).object();
    EXPECT_FALSE(parsed.json.isEmpty()) << py.readAllStandardError().toStdString();
    int count = parsed.json["parts"].toArray().size();
    parsed.partBytes.resize(count > 0 ? count : 1);
    for (int i = 1; i < count; ++i) {
        parsed.partBytes[i] = dir.Read("part" + std::to_string(i));
    }
    return parsed;
}

// A control, a message and a record of its status events, ready for the
// real server.
struct RealSmtpFixture : ::testing::Test {
    RealServers servers = RealServers::FromEnvironment();
    TSmtpMail smtp;
    IMailMessagePtr message = CoMailMessage::Create();
    std::vector<std::pair<int, int>> statuses; // (messageNumber, newStatus)
    TempDir dir;

    void SetUp() override {
        if (servers.smtpPort == 0) {
            return; // the test body skips
        }
        smtp.SetSmtpServer(servers.host);
        smtp.SetSmtpPort(servers.smtpPort);
        smtp.SetSmtpUsername(servers.user);
        smtp.SetSmtpPassword(servers.password);
        smtp.SetConnectTimeout(10);
        smtp.SetTransferTimeout(30);
        smtp.OnStatusChange = [this](TObject*, int n, int s) { statuses.emplace_back(n, s); };
        // The window's start-up settings.
        message->SetPriority(3);
        message->SetBodyFormat(0);
        message->SetReadReceipt(0);
        IMailAddressPtr from = CoMailAddress::Create();
        from->SetAddress("gateway@example.org");
        message->SetFrom(from);
        message->SetSender(from);
    }

    // What the window does for each outbox file.
    void Address(const std::string& recipient, const std::string& file) {
        AddressMessage(*message, recipient, file);
    }
};

// A control for a scripted server on 127.0.0.1 (its port still to be set),
// and a message of one 200,000-byte file from gateway@example.org with the
// subject "QX7".
struct LoopbackSmtp {
    std::unique_ptr<TSmtpMail> smtp = std::make_unique<TSmtpMail>();
    IMailMessagePtr message = CoMailMessage::Create();
    std::vector<int> statuses; // newStatus of each OnStatusChange
    TempDir dir;

    LoopbackSmtp() {
        smtp->SetSmtpServer("127.0.0.1");
        smtp->SetSenderHostname("mailgate.test");
        smtp->SetConnectTimeout(5);
        smtp->SetTransferTimeout(5);
        smtp->OnStatusChange = [this](TObject*, int, int s) { statuses.push_back(s); };
        IMailAddressPtr from = CoMailAddress::Create();
        from->SetAddress("gateway@example.org");
        message->SetFrom(from);
        message->SetSender(from);
        message->SetSubject("QX7");
        dir.Write("file.bin", std::string(200000, 'x'));
        Address("rcpt@example.org");
    }

    void Address(const std::string& recipient) {
        message->ClearRecipients();
        message->ClearAttachments();
        IMailAddressPtr to = CoMailAddress::Create();
        to->SetAddress(recipient);
        message->AddRecipient(to);
        IMailAttachmentPtr a = CoMailAttachment::Create();
        a->SetFileName(dir.File("file.bin"));
        message->AddAttachment(a);
    }
};
