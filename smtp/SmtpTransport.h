#pragma once
// One SMTP transfer through libcurl's multi interface, driven by the Qt event
// loop: curl's sockets are watched by QSocketNotifiers and its timeouts by a
// QTimer, and Perform waits in a nested QEventLoop, so timers, the window and
// user input keep running while a message is sent. The multi handle keeps
// the connection for the next transfer to the same server - only after a
// transfer that succeeded: after any failure (time-out, broken connection,
// refusal, cancel) the connection is closed at once, without QUIT, since its
// state is not known and a server that stopped answering would not answer the
// QUIT either.
//
// Every wait on the server is bounded. Besides libcurl's own limits (connect,
// each reply, low speed) Perform keeps a deadline of its own: when no byte
// moves either way for `transferTimeout` seconds (for `connectTimeout` +
// `transferTimeout` before the server's first byte), the transfer ends as
// timed out. libcurl does not watch the reply to a command sent on a reused
// connection, so without it a silent server is waited for without limit.
//
// One wait is not ours to drive: after the end of the message libcurl waits
// for the server's verdict inside the call (its SMTP end-of-data step blocks),
// bounded by the transfer time-out. Servers answer it in milliseconds.
//
// Perform never raises for a failed transfer; the outcome is in SmtpResult.
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <curl/curl.h>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "smtp/SmtpTlsCheck.h"

class QEventLoop;

struct SmtpJob {
    std::string url; // smtp[s]://host:port/ehlo-name
    // CURLUSESSL_NONE, _TRY (STARTTLS when offered) or _ALL (STARTTLS or
    // nothing); TLS from the first byte with an smtps:// url.
    long useSsl = CURLUSESSL_ALL;
    // How the server's certificate is checked on a new connection.
    SmtpTlsPolicy tls;
    // Only a handshake on a connection of its own, then NOOP: no AUTH, no
    // mail (showing the certificate).
    bool probe = false;
    std::string username; // AUTH when not empty
    std::string password;
    bool spa = false; // AUTH NTLM only
    // One SASL mechanism only ("PLAIN", "XOAUTH2", ...); "" lets libcurl
    // take the best the server offers. With bearer set, password is an
    // OAuth2 access token for XOAUTH2 or OAUTHBEARER.
    std::string mechanism;
    bool bearer = false;
    int connectTimeout = 30;
    int transferTimeout = 60;
    std::string mailFrom;
    std::vector<std::string> recipients;
    int64_t size = 0;
    // Fills the buffer with the next bytes of the message; -1 aborts.
    std::function<long(char*, size_t)> read;
    // Bytes uploaded so far; returning false aborts.
    std::function<bool(int64_t)> progress;
};

struct SmtpResult {
    CURLcode code = CURLE_OK;
    long responseCode = 0;   // the last reply code of the server, 0 when none
    std::string curlText;    // libcurl's own description of the failure
    std::string serverReply; // the server's last reply line, sanitised
    std::string lastCommand; // the last command sent (never credentials)
    bool canceled = false;
    bool timedOut = false;    // our own deadline ended it: nothing moved for too long
    bool refusalSeen = false; // serverReply is a 4xx/5xx reply
    // Our certificate check refused the server (or, for a probe, would have).
    TTlsFailure tlsFailure = TTlsFailure::None;
    std::string tlsText;
    // A probe's view of the certificate, when one was seen.
    bool certificateSeen = false;
    TTlsCertificateFacts certificate;
};

class SmtpTransport : public std::enable_shared_from_this<SmtpTransport> {
public:
    SmtpTransport();
    ~SmtpTransport();
    SmtpTransport(const SmtpTransport&) = delete;
    SmtpTransport& operator=(const SmtpTransport&) = delete;

    // Runs the transfer to its end; the event loop runs meanwhile.
    SmtpResult Perform(const SmtpJob& job);
    // Ends a running Perform at once (it returns with `canceled`).
    void Cancel();
    // Closes kept connections (QUIT on each); the next transfer connects anew.
    void DropConnections();

private:
    struct SocketWatch {
        std::unique_ptr<QSocketNotifier> read;
        std::unique_ptr<QSocketNotifier> write;
    };
    static int SocketCallback(CURL* easy, curl_socket_t s, int what, void* userp, void* socketp);
    static int TimerCallback(CURLM* multi, long timeoutMs, void* userp);
    static size_t ReadCallback(char* buffer, size_t size, size_t count, void* userp);
    static int ProgressCallback(void* userp, curl_off_t, curl_off_t, curl_off_t ultotal,
                                curl_off_t ulnow);
    static int DebugCallback(CURL* easy, curl_infotype type, char* data, size_t size, void* userp);
    static int SocketOptCallback(void* userp, curl_socket_t s, curlsocktype purpose);
    static int CloseSocketCallback(void* userp, curl_socket_t s);
    static size_t DiscardCallback(char*, size_t size, size_t count, void*);
    void WatchSocket(curl_socket_t s, int what);
    void UnwatchSocket(curl_socket_t s);
    void Retire(std::unique_ptr<QSocketNotifier>& notifier);
    void Act(curl_socket_t s, int events);
    void CheckDone();
    void NewMulti();
    void AbortRunning();
    void CloseConnectionsAbruptly();
    void NoteActivity();
    void CheckDeadline();

    enum class Stop { None, Canceled, TimedOut };

    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    QTimer timer_;
    std::map<curl_socket_t, SocketWatch> watches_;
    QEventLoop* loop_ = nullptr;
    bool done_ = false;
    Stop stop_ = Stop::None;
    // Our own deadline: when nothing moved for too long the wait ends.
    QTimer deadline_;
    QElapsedTimer sinceActivity_;
    bool serverSpoke_ = false;
    // Every socket libcurl has open, so that a connection can be cut off.
    std::set<curl_socket_t> openSockets_;
    CURLcode result_ = CURLE_OK;
    const SmtpJob* job_ = nullptr;
    SmtpResult* current_ = nullptr;
    int64_t lastProgress_ = -1;
    // Lives as long as the connections whose handshakes it checks.
    SmtpTlsCheck tlsCheck_;
};
