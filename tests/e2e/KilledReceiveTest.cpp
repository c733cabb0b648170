// Crash safety of receiving, against the local Dovecot: a mailbox of 30
// messages with 1 to 3 attachments each, `mailgate --once` killed (SIGKILL)
// at random moments and run again until the mailbox is empty. Every
// attachment must arrive exactly once, and a reader of the Inbox must never
// see a temporary or partial file. Three trials in the normal run;
// MAILGATE_KILLED_RECEIVE_TRIALS asks for more (the "long" label runs 25).
#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>

#include <cstdlib>
#include <iostream>
#include <random>

#include "Gateway.h"

namespace e2e {
namespace {

class KilledReceive : public Gateway {
protected:
    static constexpr int Messages = 30;
    // Runs a trial may take before it fails; the runs after the first few
    // kills are not killed, so the mailbox always empties.
    static constexpr int MaxRuns = 40;
    static constexpr int KilledRuns = 12;

    struct Outcome {
        int runs = 0;
        int kills = 0;
        int lost = 0;
        int duplicated = 0;
    };

    // One trial with its own Inbox and ledger; `seed` makes it repeatable.
    Outcome Trial(unsigned seed) {
        std::mt19937 random(seed);
        const std::string inbox = temp_.File("inbox-" + std::to_string(seed));
        fs::create_directories(inbox);
        WriteSettings({{"Path", inbox + "/"}});
        std::error_code ec;
        fs::remove(temp_.File("options.uidl"), ec);
        EmptyMailbox();
        std::map<std::string, std::string> expected;
        for (int m = 0; m < Messages; ++m) {
            const int files = 1 + static_cast<int>(random() % 3);
            std::vector<std::pair<std::string, std::string>> parts;
            for (int f = 0; f < files; ++f) {
                const std::string name =
                    "m" + std::to_string(m) + "_f" + std::to_string(f) + ".bin";
                const std::size_t size = 1000 + random() % 60000;
                parts.emplace_back(name, RandomBytes(size, seed * 1000 + m * 10 + f));
                expected[name] = parts.back().second;
            }
            DeliverToMailbox(MessageWithFiles(m, parts));
        }

        Outcome outcome;
        std::set<std::string> seen;
        while (MailboxCount() > 0 && outcome.runs < MaxRuns) {
            ++outcome.runs;
            const std::size_t visibleBefore = VisibleCount(inbox);
            QProcess process;
            process.setProgram(QStringLiteral(MAILGATE_BINARY));
            process.setArguments({QStringLiteral("--once"), QStringLiteral("--config"),
                                  QString::fromStdString(config_)});
            process.start();
            EXPECT_TRUE(process.waitForStarted(RunDeadlineMs));
            const bool kill = outcome.kills < KilledRuns;
            // The moment: any time from the start; a time while messages
            // come in (from the moment the hidden folder appears, within
            // what the last whole run took); or right as the first files
            // appear, while a batch is moved in and its DELEs go out.
            const int mode = static_cast<int>(random() % 3);
            const int killAfterMs = static_cast<int>(
                mode == 0 ? random() % 1500 : random() % static_cast<unsigned>(receiveMs_));
            QElapsedTimer since;
            since.start();
            QElapsedTimer receiving;
            const bool ended = WaitFor(
                [&] {
                    CheckVisible(inbox, expected, seen);
                    if (!receiving.isValid() && fs::exists(inbox + "/.mailgate-tmp")) {
                        receiving.start();
                    }
                    const bool due = mode == 0 ? since.elapsed() >= killAfterMs
                                     : mode == 1
                                         ? receiving.isValid() && receiving.elapsed() >= killAfterMs
                                         : VisibleCount(inbox) > visibleBefore;
                    return (kill && due) || process.state() == QProcess::NotRunning;
                },
                RunDeadlineMs);
            if (process.state() == QProcess::NotRunning && receiving.isValid()) {
                receiveMs_ = std::max<qint64>(50, receiving.elapsed());
            }
            EXPECT_TRUE(ended) << "run " << outcome.runs << " hung";
            if (process.state() != QProcess::NotRunning) {
                process.kill(); // SIGKILL
                ++outcome.kills;
            }
            EXPECT_TRUE(process.state() == QProcess::NotRunning ||
                        process.waitForFinished(RunDeadlineMs));
            CheckVisible(inbox, expected, seen);
        }
        EXPECT_EQ(MailboxCount(), 0) << "the mailbox was not emptied in " << MaxRuns << " runs";
        const std::set<std::string> names = Names(inbox);
        for (const auto& [name, data] : expected) {
            if (names.count(name) == 0) {
                ++outcome.lost;
                ADD_FAILURE() << name << " never arrived (seed " << seed << ")";
            } else if (ReadFile(inbox + "/" + name) != data) {
                ADD_FAILURE() << name << " differs from what was sent (seed " << seed << ")";
            }
        }
        for (const std::string& name : names) {
            if (expected.count(name) == 0) {
                ++outcome.duplicated;
                ADD_FAILURE() << name << " is in the Inbox, but was not sent once (seed " << seed
                              << ")";
            }
        }
        return outcome;
    }

private:
    static std::size_t VisibleCount(const std::string& inbox) {
        const std::set<std::string> names = Names(inbox);
        return static_cast<std::size_t>(
            std::count_if(names.begin(), names.end(),
                          [](const std::string& n) { return !n.empty() && n[0] != '.'; }));
    }

    // How long receiving took in the last run that was not killed.
    qint64 receiveMs_ = 500;

    static std::string
    MessageWithFiles(int m, const std::vector<std::pair<std::string, std::string>>& files) {
        std::string text = "From: sender@example.test\n"
                           "To: test@example.test\n"
                           "Subject: killed receive " +
                           std::to_string(m) +
                           "\n"
                           "MIME-Version: 1.0\n"
                           "Content-Type: multipart/mixed; boundary=\"=_k\"\n\n";
        for (const auto& [name, data] : files) {
            const std::string b64 = QByteArray::fromStdString(data).toBase64().toStdString();
            text += "--=_k\nContent-Type: application/octet-stream; name=\"" + name +
                    "\"\nContent-Transfer-Encoding: base64\n\n";
            for (std::size_t i = 0; i < b64.size(); i += 76) {
                text += b64.substr(i, 76) + "\n";
            }
        }
        return text + "--=_k--\n";
    }

    // What a reader of the Inbox sees at any moment: only whole files of
    // the ones sent (hidden names apart, the temporary folder among them).
    static void CheckVisible(const std::string& inbox,
                             const std::map<std::string, std::string>& expected,
                             std::set<std::string>& seen) {
        for (const std::string& name : Names(inbox)) {
            if (name.empty() || name[0] == '.' || !seen.insert(name).second) {
                continue;
            }
            auto it = expected.find(name);
            if (it == expected.end()) {
                ADD_FAILURE() << "a reader of the Inbox saw " << name;
                continue;
            }
            const std::string data = ReadFile(inbox + "/" + name);
            EXPECT_TRUE(data == it->second) << name << " was visible before it was whole";
        }
    }
};

TEST_F(KilledReceive, EveryAttachmentArrivesOnceWhateverMomentTheRunIsKilled) {
    int trials = 3;
    if (const char* asked = std::getenv("MAILGATE_KILLED_RECEIVE_TRIALS")) {
        trials = std::max(1, std::atoi(asked));
    }
    const unsigned first = std::random_device{}();
    Outcome total;
    for (int trial = 0; trial < trials && !HasFailure(); ++trial) {
        const Outcome o = Trial(first + static_cast<unsigned>(trial));
        total.runs += o.runs;
        total.kills += o.kills;
        total.lost += o.lost;
        total.duplicated += o.duplicated;
    }
    std::cout << trials << " trials from seed " << first << ": " << total.runs << " runs, "
              << total.kills << " killed, " << total.lost << " attachments lost, "
              << total.duplicated << " duplicated\n";
    EXPECT_EQ(total.lost, 0);
    EXPECT_EQ(total.duplicated, 0);
}

} // namespace
} // namespace e2e
