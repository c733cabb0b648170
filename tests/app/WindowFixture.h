#pragma once
// A window with its settings file and folders in a fresh temporary folder,
// test doubles for the SMTP control and the folder chooser, and the status
// lines it printed.
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <deque>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "app/HeadlessRunner.h"
#include "app/MailRead.h"
#include "codec/Codec.h"
#include "platform/ProfileFile.h"
#include "pop3/NMpop3.h"
#include "support/ScriptedPeer.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

// Records every send; answers with the queued results (0 when none is left).
class RecordingSmtp : public TSmtpMail {
public:
    struct Sent {
        std::string from;
        std::vector<std::string> recipients;
        std::vector<std::string> attachments;
        std::string content; // the attached file's bytes at the time of the send
        std::string messageId;
    };
    struct Result {
        int code = 0;
        std::string description;
        bool raise = false;
    };
    std::vector<Sent> sent;
    std::deque<Result> results;
    // What LastReply says after a send that returned 0.
    std::string finalReply = "250 2.0.0 Ok: queued as 4Xy";
    std::function<void()> duringSend;

    int Send(const IMailMessagePtr& message, int, std::string& description) override {
        Sent s;
        s.from = message->GetFrom() ? message->GetFrom()->GetAddress() : "";
        s.messageId = message->GetMessageId();
        for (const auto& r : message->Recipients()) {
            s.recipients.push_back(r->GetAddress());
        }
        for (const auto& a : message->Attachments()) {
            s.attachments.push_back(a->GetFileName());
        }
        if (!s.attachments.empty()) {
            FILE* f = std::fopen(s.attachments[0].c_str(), "rb");
            if (f) {
                char buf[4096];
                size_t n;
                while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
                    s.content.append(buf, n);
                }
                std::fclose(f);
            }
        }
        sent.push_back(s);
        if (duringSend) {
            duringSend();
        }
        Result r;
        if (!results.empty()) {
            r = results.front();
            results.pop_front();
        }
        if (r.raise) {
            throw Exception("connection to the SMTP server lost");
        }
        description = r.description;
        lastReply_ = r.code == 0 ? finalReply : std::string();
        return r.code;
    }
};

class FakeDirectoryDialog : public TabcDirectoryDialog {
public:
    bool accept = true;
    std::string choice;
    int executed = 0;
    bool Execute() override {
        ++executed;
        if (accept) {
            SetDirectory(choice);
        }
        return accept;
    }
};

// The POP3 dialogue up to the message count. The server is on this machine
// and offers no STLS: with the automatic security the client asks (CAPA),
// then goes on in plain text.
inline std::vector<std::string> LoginLines(int count, const std::string& user = "bob",
                                           const std::string& pass = "pw") {
    return {"S: +OK ready",    "C: CAPA", "S: -ERR unknown command",
            "C: USER " + user, "S: +OK",  "C: PASS " + pass,
            "S: +OK",          "C: STAT", "S: +OK " + std::to_string(count) + " 100"};
}

// A log-in the server refuses at PASS.
inline std::vector<std::string> RefusedLogInLines() {
    return {"S: +OK ready", "C: CAPA", "S: -ERR unknown command",
            "C: USER bob",  "S: +OK",  "C: PASS pw",
            "S: -ERR no",   "C: QUIT", "S: +OK bye"};
}

inline void Append(std::vector<std::string>& to, const std::vector<std::string>& lines) {
    to.insert(to.end(), lines.begin(), lines.end());
}

struct WindowFixture : ::testing::Test {
    TempDir dir;
    std::string ini = dir.File("options.ini");
    std::string inbox = dir.File("in");
    std::string outbox = dir.File("out");
    std::vector<std::string> console;
    RecordingSmtp* smtp = nullptr;
    FakeDirectoryDialog* dialog = nullptr;
    std::unique_ptr<TfmOptions> window;
    ScriptedPeer pop3;
    std::unique_ptr<QTimer> safetyNet; // goes before the window
    // The keyring the gateway is made with, when a test sets one.
    std::shared_ptr<TKeyringAccess> keyring;

    // Ends a wait of the POP3 client still going after `ms`, so that a client
    // that would wait without limit fails its test instead of hanging it.
    void AbortPop3After(int ms) {
        safetyNet = std::make_unique<QTimer>();
        safetyNet->setSingleShot(true);
        QObject::connect(safetyNet.get(), &QTimer::timeout, [this] {
            if (window) {
                window->Pop3().Abort();
            }
        });
        safetyNet->start(ms);
    }

    WindowFixture() {
        ::mkdir(inbox.c_str(), 0755);
        ::mkdir(outbox.c_str(), 0755);
    }

    void WriteSettings(int pop3Port, const std::string& extra = "") {
        dir.Write("options.ini",
                  "[Account]\nHost=127.0.0.1\nUserId=bob\nPassword=pw\nPath=" + inbox +
                      "\nTime=0\nOutHost=smtp.example.test\nOutId=\n"
                      "Password2=\nOutPath=" +
                      outbox + "\nOutPort=2525\nInPort=" + std::to_string(pop3Port) +
                      "\nFromAddress=gate@example.test\n" + extra);
    }

    TfmOptions& Make(bool headless = true) {
        TfmOptionsSetup setup;
        setup.ConfigPath = ini;
        setup.Headless = headless;
        auto s = std::make_unique<RecordingSmtp>();
        smtp = s.get();
        setup.SmtpMail = std::move(s);
        auto d = std::make_unique<FakeDirectoryDialog>();
        dialog = d.get();
        setup.DirectoryDialog = std::move(d);
        setup.Console = [this](const std::string& line) { console.push_back(line); };
        window = std::make_unique<TfmOptions>(std::move(setup));
        if (keyring) {
            window->Cycle().SetKeyring(keyring);
        }
        // Short pauses through the same code paths.
        window->RetryTimer().SetInterval(50);
        window->Cycle().ReconnectPolicy.FirstPauseMs = 20;
        window->Cycle().ReconnectPolicy.MaxPauseMs = 100;
        window->Cycle().ReconnectPolicy.GiveUpAfterMs = 1500;
        window->Cycle().Outbox().SettleMs = 0;
        return *window;
    }

    std::string Key(const std::string& key) const {
        return TProfileFile(ini).ReadString("Account", key, "<missing>");
    }

    // The texts printed for kind "status" or "tray", in order.
    std::vector<std::string> Printed(const std::string& kind) const {
        std::vector<std::string> out;
        std::string marker = " " + kind + ": ";
        for (const auto& line : console) {
            auto at = line.find(marker);
            if (at != std::string::npos) {
                out.push_back(line.substr(at + marker.size()));
            }
        }
        return out;
    }

    QLineEdit* F(const char* name) const { return window->Field(name); }
    // Every field the Connect button checks, filled in for the scripted
    // POP3 server.
    void FillAll() {
        F("Host")->setText("127.0.0.1");
        F("UserId")->setText("bob");
        F("password")->setText("pw");
        F("path")->setText(QString::fromStdString(inbox));
        F("OutHost")->setText("smtp.example.test");
        F("OutPath")->setText(QString::fromStdString(outbox));
        F("fromaddr")->setText("gate@example.test");
        F("IncPort")->setText(QString::number(pop3.Port()));
    }
};

// The same, with the gateway run by a THeadlessRunner instead of the window;
// its console lines go to `console`, and the Outbox needs no settle time.
struct HeadlessFixture : WindowFixture {
    std::unique_ptr<THeadlessRunner> runner;
    THeadlessRunner& MakeRunner() {
        auto s = std::make_unique<RecordingSmtp>();
        smtp = s.get();
        runner = std::make_unique<THeadlessRunner>(
            ini, [this](const std::string& line) { console.push_back(line); }, std::move(s));
        runner->Cycle().Outbox().SettleMs = 0;
        if (keyring) {
            runner->Cycle().SetKeyring(keyring);
        }
        return *runner;
    }
    // Starts the gateway and polls once: the start-up log-in and the poll's
    // are each a session that logs in through `mechanism` (the one CAPA
    // offers) with `response`, finds no mail and quits.
    THeadlessRunner& PollOnceThroughSasl(const std::string& mechanism,
                                         const std::string& response) {
        const std::vector<std::string> session = {
            "S: +OK ready", "C: CAPA",
            "S: +OK",       "S: SASL " + mechanism,
            "S: .",         "C: AUTH " + mechanism + " " + codec::Base64Encode(response),
            "S: +OK",       "C: STAT",
            "S: +OK 0 0",   "C: QUIT",
            "S: +OK bye"};
        THeadlessRunner& r = StartAndPollOnce(session);
        EXPECT_EQ(pop3.Errors(), "");
        return r;
    }

    // The start-up log-in and one poll, both the scripted `session`; the
    // runner, with the POP3 peer's script used up (or the wait's failure
    // recorded).
    THeadlessRunner& StartAndPollOnce(const std::vector<std::string>& session) {
        pop3.Add(session); // the start-up log-in, ended by the poll
        pop3.Add(session);
        THeadlessRunner& r = MakeRunner();
        EXPECT_TRUE(r.Start());
        r.Cycle().PollTick();
        EXPECT_TRUE(WaitFor([&] { return pop3.Finished(); }));
        return r;
    }
};
