#include "smtp/SmtpTransport.h"

#include <QEventLoop>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Big pieces make fewer read calls; libcurl caps this at 2 MB.
constexpr long kUploadBufferSize = 512 * 1024;
// The server's reply line is kept for the failure text; bounded because the
// server controls it.
constexpr size_t kMaxReplyLength = 300;
// QTimer takes an int; a longer wait is re-armed when it fires.
constexpr int64_t kLongestTimerMs = 24LL * 3600 * 1000;

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string Sanitised(const char* data, size_t size) {
    std::string out;
    for (size_t i = 0; i < size && out.size() < kMaxReplyLength; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '\r' || c == '\n') {
            continue;
        }
        out += (c < 0x20 || c == 0x7f) ? '?' : char(c);
    }
    return out;
}

} // namespace

SmtpTransport::SmtpTransport() {
    InitCurlOnce();
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Act(CURL_SOCKET_TIMEOUT, 0); });
    deadline_.setSingleShot(true);
    QObject::connect(&deadline_, &QTimer::timeout, [this] { CheckDeadline(); });
    NewMulti();
}

SmtpTransport::~SmtpTransport() {
    if (easy_ && multi_) {
        curl_multi_remove_handle(multi_, easy_);
    }
    watches_.clear();
    if (multi_) {
        curl_multi_cleanup(multi_);
    }
    if (easy_) {
        curl_easy_cleanup(easy_);
    }
}

void SmtpTransport::NewMulti() {
    multi_ = curl_multi_init();
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &SmtpTransport::SocketCallback);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &SmtpTransport::TimerCallback);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
}

void SmtpTransport::DropConnections() {
    if (loop_) {
        return; // never under a running transfer; the caller retries later
    }
    if (easy_) {
        curl_easy_cleanup(easy_);
        easy_ = nullptr;
    }
    // Cleaning the multi handle closes its cached connections (with QUIT).
    curl_multi_cleanup(multi_);
    watches_.clear();
    timer_.stop();
    NewMulti();
}

// Cuts every connection off without a word: what libcurl then says on them
// (QUIT) fails at once instead of waiting for a server that may not answer.
void SmtpTransport::CloseConnectionsAbruptly() {
    if (loop_) {
        return;
    }
    for (curl_socket_t s : openSockets_) {
        ::shutdown(s, SHUT_RDWR);
    }
    DropConnections();
}

void SmtpTransport::Cancel() {
    if (loop_) {
        if (current_) {
            current_->canceled = true;
        }
        if (stop_ == Stop::None) {
            stop_ = Stop::Canceled;
        }
        loop_->quit();
    }
}

void SmtpTransport::NoteActivity() {
    sinceActivity_.restart();
}

void SmtpTransport::CheckDeadline() {
    if (!loop_ || !job_ || done_) {
        return;
    }
    const int64_t limitMs =
        1000 * int64_t(serverSpoke_ ? job_->transferTimeout
                                    : job_->connectTimeout + job_->transferTimeout);
    const int64_t idleMs = sinceActivity_.elapsed();
    if (idleMs < limitMs) {
        deadline_.start(int(std::min<int64_t>(limitMs - idleMs, kLongestTimerMs)));
        return;
    }
    if (stop_ == Stop::None) {
        stop_ = Stop::TimedOut;
    }
    loop_->quit();
}

// Ends a canceled transfer through libcurl's own abort path. Removing a
// running transfer instead would make libcurl finish the DATA phase with the
// end-of-message mark, so that the server would accept a cut-off message.
void SmtpTransport::AbortRunning() {
    // Not every state asks the progress callback; the overall time-out is
    // checked in all of them.
    curl_easy_setopt(easy_, CURLOPT_TIMEOUT_MS, 1L);
    // Every transfer must run now, not only those whose timer is due.
    for (int turn = 0; turn < 10 && !done_; ++turn) {
        int running = 0;
        curl_multi_perform(multi_, &running);
        CheckDone();
    }
}

int SmtpTransport::SocketCallback(CURL*, curl_socket_t s, int what, void* userp, void*) {
    auto* self = static_cast<SmtpTransport*>(userp);
    if (what == CURL_POLL_REMOVE) {
        self->UnwatchSocket(s);
    } else {
        self->WatchSocket(s, what);
    }
    return 0;
}

int SmtpTransport::TimerCallback(CURLM*, long timeoutMs, void* userp) {
    auto* self = static_cast<SmtpTransport*>(userp);
    if (timeoutMs < 0) {
        self->timer_.stop();
    } else {
        self->timer_.start(int(std::min<long>(timeoutMs, 24L * 3600 * 1000)));
    }
    return 0;
}

// A notifier may be what is emitting right now: disable it and let Qt delete
// it once control is back in the event loop.
void SmtpTransport::Retire(std::unique_ptr<QSocketNotifier>& notifier) {
    if (notifier) {
        notifier->setEnabled(false);
        QObject::disconnect(notifier.get(), nullptr, nullptr, nullptr);
        notifier.release()->deleteLater();
    }
}

void SmtpTransport::WatchSocket(curl_socket_t s, int what) {
    SocketWatch& w = watches_[s];
    // One notifier per direction, kept while curl wants that direction.
    auto watch = [this, s](std::unique_ptr<QSocketNotifier>& notifier, bool wanted,
                           QSocketNotifier::Type type, int action) {
        if (wanted && !notifier) {
            notifier = std::make_unique<QSocketNotifier>(s, type);
            QObject::connect(notifier.get(), &QSocketNotifier::activated,
                             [this, s, action] { Act(s, action); });
        } else if (!wanted) {
            Retire(notifier);
        }
    };
    watch(w.read, what == CURL_POLL_IN || what == CURL_POLL_INOUT, QSocketNotifier::Read,
          CURL_CSELECT_IN);
    watch(w.write, what == CURL_POLL_OUT || what == CURL_POLL_INOUT, QSocketNotifier::Write,
          CURL_CSELECT_OUT);
}

void SmtpTransport::UnwatchSocket(curl_socket_t s) {
    auto it = watches_.find(s);
    if (it != watches_.end()) {
        Retire(it->second.read);
        Retire(it->second.write);
        watches_.erase(it);
    }
}

void SmtpTransport::Act(curl_socket_t s, int events) {
    int running = 0;
    curl_multi_socket_action(multi_, s, events, &running);
    CheckDone();
}

void SmtpTransport::CheckDone() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy_ && !done_) {
            done_ = true;
            result_ = msg->data.result;
            if (loop_) {
                loop_->quit();
            }
        }
    }
}

size_t SmtpTransport::ReadCallback(char* buffer, size_t size, size_t count, void* userp) {
    auto* self = static_cast<SmtpTransport*>(userp);
    if (self->stop_ != Stop::None) {
        return CURL_READFUNC_ABORT;
    }
    long n = self->job_->read(buffer, size * count);
    return n < 0 ? CURL_READFUNC_ABORT : size_t(n);
}

int SmtpTransport::ProgressCallback(void* userp, curl_off_t, curl_off_t, curl_off_t,
                                    curl_off_t ulnow) {
    auto* self = static_cast<SmtpTransport*>(userp);
    if (self->stop_ != Stop::None) {
        return 1;
    }
    if (ulnow == self->lastProgress_) {
        return 0;
    }
    self->lastProgress_ = ulnow;
    self->NoteActivity();
    if (!self->job_->progress) {
        return 0;
    }
    return self->job_->progress(int64_t(ulnow)) ? 0 : 1;
}

int SmtpTransport::DebugCallback(CURL*, curl_infotype type, char* data, size_t size, void* userp) {
    auto* self = static_cast<SmtpTransport*>(userp);
    if (type == CURLINFO_HEADER_IN || type == CURLINFO_DATA_IN || type == CURLINFO_SSL_DATA_IN) {
        self->serverSpoke_ = true;
        self->NoteActivity();
    } else if (type == CURLINFO_HEADER_OUT || type == CURLINFO_DATA_OUT ||
               type == CURLINFO_SSL_DATA_OUT) {
        self->NoteActivity();
    }
    // After the first refusal, what follows (QUIT, "221 Bye") must not hide
    // what was refused and why.
    if (!self->current_ || self->current_->refusalSeen) {
        return 0;
    }
    if (type == CURLINFO_HEADER_IN) {
        self->current_->serverReply = Sanitised(data, size);
        char first = size > 0 ? data[0] : '\0';
        self->current_->refusalSeen = first == '4' || first == '5';
    } else if (type == CURLINFO_HEADER_OUT) {
        // Only known verbs: the lines after AUTH carry credentials.
        static const char* const verbs[] = {"EHLO",    "HELO", "STARTTLS", "AUTH", "MAIL FROM",
                                            "RCPT TO", "DATA", "RSET",     "NOOP", "QUIT"};
        std::string line = Sanitised(data, size);
        for (const char* verb : verbs) {
            if (line.compare(0, std::strlen(verb), verb) == 0) {
                self->current_->lastCommand =
                    std::strcmp(verb, "AUTH") == 0 ? line.substr(0, line.find(' ', 5)) : line;
                break;
            }
        }
    }
    return 0;
}

int SmtpTransport::SocketOptCallback(void* userp, curl_socket_t s, curlsocktype) {
    static_cast<SmtpTransport*>(userp)->openSockets_.insert(s);
    return CURL_SOCKOPT_OK;
}

size_t SmtpTransport::DiscardCallback(char*, size_t size, size_t count, void*) {
    return size * count;
}

int SmtpTransport::CloseSocketCallback(void* userp, curl_socket_t s) {
    static_cast<SmtpTransport*>(userp)->openSockets_.erase(s);
    return ::close(s);
}

SmtpResult SmtpTransport::Perform(const SmtpJob& job) {
    // The owner may be destroyed by a handler that runs in the nested loop.
    auto keepAlive = shared_from_this();
    SmtpResult result;
    if (!easy_) {
        easy_ = curl_easy_init();
    }
    curl_easy_reset(easy_);
    char errorBuffer[CURL_ERROR_SIZE] = {};
    curl_slist* recipients = nullptr;
    for (const std::string& r : job.recipients) {
        recipients = curl_slist_append(recipients, ("<" + r + ">").c_str());
    }
    CURL* e = easy_;
    curl_easy_setopt(e, CURLOPT_URL, job.url.c_str());
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(e, CURLOPT_USE_SSL, job.useSsl);
    curl_easy_setopt(e, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    tlsCheck_.Reset(job.tls);
    if (SmtpTlsCheck::CurlUsesOpenSsl()) {
        // The certificate and the name typed are checked by tlsCheck_ inside
        // the handshake (a pin may accept another name, and the refusal
        // texts tell the reasons apart); libcurl's own name check would
        // refuse what the pin accepts.
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &SmtpTlsCheck::SslContextCallback);
        curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &tlsCheck_);
        // The check keeps its own store (system and CaFile); libcurl's would
        // only be loaded for nothing, and fail where there is no bundle.
        curl_easy_setopt(e, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
        // A resumed session skips the certificate: every connection shows
        // its certificate to the check.
        curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    } else {
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    }
    if (job.probe) {
        curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    }
    if (!job.username.empty() && !job.probe) {
        curl_easy_setopt(e, CURLOPT_USERNAME, job.username.c_str());
        if (job.bearer) {
            curl_easy_setopt(e, CURLOPT_XOAUTH2_BEARER, job.password.c_str());
        } else {
            curl_easy_setopt(e, CURLOPT_PASSWORD, job.password.c_str());
        }
        // The credentials go with the AUTH command: one round trip less.
        curl_easy_setopt(e, CURLOPT_SASL_IR, 1L);
        // libcurl takes OAUTHBEARER over XOAUTH2 when a bearer token is set
        // and the server offers both; naming the one mechanism allowed
        // keeps it to what the settings ask for.
        const std::string options = !job.mechanism.empty() ? "AUTH=" + job.mechanism
                                    : job.spa              ? std::string("AUTH=NTLM")
                                                           : std::string();
        if (!options.empty()) {
            curl_easy_setopt(e, CURLOPT_LOGIN_OPTIONS, options.c_str());
        }
    }
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, long(job.connectTimeout));
    curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, long(job.transferTimeout));
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, long(job.transferTimeout));
    if (job.probe) {
        // Without recipients a custom command is all libcurl sends.
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, "NOOP");
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &SmtpTransport::DiscardCallback);
    } else {
        curl_easy_setopt(e, CURLOPT_MAIL_FROM, ("<" + job.mailFrom + ">").c_str());
        curl_easy_setopt(e, CURLOPT_MAIL_RCPT, recipients);
        curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, curl_off_t(job.size));
        curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
        curl_easy_setopt(e, CURLOPT_READFUNCTION, &SmtpTransport::ReadCallback);
        curl_easy_setopt(e, CURLOPT_READDATA, this);
    }
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &SmtpTransport::ProgressCallback);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);
    // The debug hook is how the server's reply text is seen; nothing is
    // printed.
    curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, &SmtpTransport::DebugCallback);
    curl_easy_setopt(e, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(e, CURLOPT_SOCKOPTFUNCTION, &SmtpTransport::SocketOptCallback);
    curl_easy_setopt(e, CURLOPT_SOCKOPTDATA, this);
    curl_easy_setopt(e, CURLOPT_CLOSESOCKETFUNCTION, &SmtpTransport::CloseSocketCallback);
    curl_easy_setopt(e, CURLOPT_CLOSESOCKETDATA, this);

    job_ = &job;
    current_ = &result;
    lastProgress_ = -1;
    done_ = false;
    stop_ = Stop::None;
    serverSpoke_ = false;
    result_ = CURLE_OK;
    CURLMcode added = curl_multi_add_handle(multi_, e);
    if (added != CURLM_OK) {
        result.code = CURLE_FAILED_INIT;
        result.curlText = curl_multi_strerror(added);
    } else {
        QEventLoop loop;
        loop_ = &loop;
        sinceActivity_.start();
        CheckDeadline();
        if (!done_) {
            loop.exec();
        }
        loop_ = nullptr;
        deadline_.stop();
        if (stop_ != Stop::None) {
            AbortRunning();
        }
        curl_multi_remove_handle(multi_, e);
        result.code = result_;
        curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &result.responseCode);
        result.curlText = errorBuffer[0] ? errorBuffer : curl_easy_strerror(result_);
        if (stop_ == Stop::TimedOut) {
            result.timedOut = true;
            result.code = CURLE_OPERATION_TIMEDOUT;
            result.curlText =
                "no reply or progress for " + std::to_string(job.transferTimeout) + " seconds";
        }
    }
    result.tlsFailure = tlsCheck_.Failure();
    result.tlsText = tlsCheck_.FailureText();
    result.certificateSeen = tlsCheck_.SawCertificate();
    if (result.certificateSeen) {
        result.certificate = tlsCheck_.Facts();
    }
    const bool failed =
        result.code != CURLE_OK || result.responseCode >= 400 || stop_ != Stop::None;
    // Nothing may point at this call's locals afterwards.
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(e, CURLOPT_MAIL_RCPT, nullptr);
    curl_slist_free_all(recipients);
    job_ = nullptr;
    current_ = nullptr;
    if (failed) {
        // A connection whose state is not known must not carry the next
        // message (it would wait for a reply that never comes).
        CloseConnectionsAbruptly();
    }
    return result;
}
