#include "net/Psock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/GuardedApplication.h"

namespace {

int socketUsers = 0; // WinsockUsers

// Bytes taken from the socket per receive; also how much input the component
// keeps buffered while nobody reads before it stops listening for more.
constexpr std::size_t kChunk = 4 * 65536;
constexpr std::size_t kIdleBufferLimit = 4 * kChunk;

struct ErrorEntry {
    int number;
    const char* message;
};

constexpr ErrorEntry kErrorTable[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
};

// Errors by which a connect attempt itself fails. Winsock reports them through
// the connect notification; POSIX may report them at once from connect().
bool IsConnectOutcome(int err) {
    return err == ECONNREFUSED || err == ETIMEDOUT || err == ENETUNREACH || err == EHOSTUNREACH ||
           err == ECONNRESET || err == EHOSTDOWN;
}

} // namespace

std::string ExtractField(const std::string& S, char Separator, int N) {
    std::string field;
    if (N < 1) {
        return field;
    }
    int count = 0;
    for (char c : S) {
        if (c == Separator) {
            if (++count >= N) {
                break;
            }
        } else if (count == N - 1) {
            field += c;
        }
    }
    return field;
}

int WinsockErrorFromErrno(int err) {
    switch (err) {
    case 0:
        return 0;
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
        return 10024;
    case EWOULDBLOCK:
    case EINPROGRESS:
        return 10035;
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    case ECONNRESET:
    case EPIPE: // a send after the peer reset the connection
        return 10054;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case ESHUTDOWN:
        return 10058;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    case ENOTEMPTY:
        return 10066;
    case EUSERS:
        return 10068;
    case EDQUOT:
        return 10069;
    case ESTALE:
        return 10070;
    case EREMOTE:
        return 10071;
    default:
        return 20000 + err;
    }
}

std::string SocketErrorText(int number) {
    if (number == 0) {
        return "";
    }
    for (const auto& entry : kErrorTable) {
        if (entry.number == number) {
            return std::to_string(number) + ":" + entry.message;
        }
    }
    return "Unknown Error No. " + std::to_string(number);
}

// ---------------------------------------------------------------------------
// TThreadTimer

TThreadTimer::TThreadTimer() : timer_(std::make_unique<QTimer>()) {
    QObject::connect(timer_.get(), &QTimer::timeout, [this] {
        try {
            FireTimer();
        } catch (const std::exception& e) {
            if (auto* app = TGuardedApplication::Instance()) {
                app->HandleException(e);
            }
        }
    });
}

TThreadTimer::~TThreadTimer() {
    enabled_ = false;
    UpdateTimer();
}

void TThreadTimer::SetEnabled(bool value) {
    if (value != enabled_) {
        enabled_ = value;
        UpdateTimer();
    }
}

void TThreadTimer::SetInterval(unsigned value) {
    if (value != interval_) {
        interval_ = value;
        UpdateTimer();
    }
}

void TThreadTimer::SetOnTimer(TNotifyEvent handler) {
    OnTimer = std::move(handler);
    UpdateTimer();
}

void TThreadTimer::UpdateTimer() {
    // The flag spares a call into the timer for every line read.
    if (running_) {
        timer_->stop();
        running_ = false;
    }
    if (interval_ != 0 && enabled_ && OnTimer) {
        timer_->start(static_cast<int>(std::min<unsigned>(interval_, INT32_MAX)));
        running_ = true;
    }
}

void TThreadTimer::FireTimer() {
    if (OnTimer) {
        OnTimer(this);
    }
}

// ---------------------------------------------------------------------------
// TPowersock: construction and the socket

TPowersock::TPowersock() : context_(std::make_unique<QObject>()) {
    timer_.SetEnabled(false);
    timer_.SetOnTimer([this](TObject*) { TimerTriggered(); });
    InitWinsock();
}

TPowersock::~TPowersock() {
    destroying_ = true;
    try {
        TPowersock::Abort();
        Cancel();
        DropLookup();
        shuttingDown_ = true;
        RequestCloseSocket();
    } catch (...) {
        // Destruction must finish; the socket is gone either way.
    }
    --socketUsers;
}

int TPowersock::SocketUsers() noexcept {
    return socketUsers;
}

void TPowersock::InitWinsock() {
    if (++socketUsers == 1) {
        // There is no start-up record here; describe the socket layer we use.
        winsockInfo_.Add("Version= 1.1");
        winsockInfo_.Add("High Version= 1.1");
        winsockInfo_.Add("Description= POSIX sockets with Qt event notification");
        winsockInfo_.Add("System= Running");
        winsockInfo_.Add("Max Sockets= " + std::to_string(sysconf(_SC_OPEN_MAX)));
        winsockInfo_.Add("Max Udp pack size= 65507");
    }
    try {
        MakeSocket(true);
    } catch (...) {
        --socketUsers;
        throw ESockError("Initializaton of windows sockets failed");
    }
}

void TPowersock::MakeSocket(bool withLinger) {
    int fd =
        ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, withLinger ? IPPROTO_TCP : 0);
    if (fd < 0) {
        std::string text;
        CheckSocketError(10035, text);
        return;
    }
    if (withLinger) {
        // A close resets the connection instead of lingering.
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    socket_ = fd;
    input_.Clear();
    scanned_ = 0;
    peerClosed_ = false;
    WatchSocket();
}

void TPowersock::WatchSocket() {
    readNotifier_ = std::make_unique<QSocketNotifier>(socket_, QSocketNotifier::Read);
    readNotifier_->setEnabled(false);
    QObject::connect(readNotifier_.get(), &QSocketNotifier::activated, context_.get(),
                     [this] { OnSocketReadable(); });
    writeNotifier_ = std::make_unique<QSocketNotifier>(socket_, QSocketNotifier::Write);
    writeNotifier_->setEnabled(false);
    QObject::connect(writeNotifier_.get(), &QSocketNotifier::activated, context_.get(),
                     [this] { OnSocketWritable(); });
}

// Closes the descriptor without events; the notifiers may be the very
// objects whose signal is running, so they are deleted later.
void TPowersock::DropSocketQuietly() {
    for (auto* n : {&readNotifier_, &writeNotifier_}) {
        if (*n) {
            (*n)->setEnabled(false);
            QObject::disconnect(n->get(), nullptr, context_.get(), nullptr);
            if (destroying_) {
                n->reset();
            } else {
                n->release()->deleteLater();
            }
        }
    }
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
    input_.Clear();
    scanned_ = 0;
    peerClosed_ = false;
    connecting_ = false;
}

// ---------------------------------------------------------------------------
// Notifications (HandleSocketMessage)

void TPowersock::OnSocketReadable() {
    if (!connected_) {
        if (readNotifier_) {
            readNotifier_->setEnabled(false);
        }
        return;
    }
    succeeded_ = true;
    try {
        if (!peerClosed_) {
            int err = 0;
            long n = Fill(kChunk, err);
            if (n > 0) {
                if (input_.Available() >= kIdleBufferLimit && readNotifier_) {
                    readNotifier_->setEnabled(false);
                }
                if (OnReadReady) {
                    OnReadReady(this);
                }
                return;
            }
            if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)) {
                return;
            }
            succeeded_ = n == 0;
            if (n < 0) {
                lastErrorNo_ = WinsockErrorFromErrno(err);
            }
            peerClosed_ = true;
        }
        HandleClose();
    } catch (...) {
        // Handlers run from the event loop; their failures end here.
    }
}

void TPowersock::HandleClose() {
    if (readNotifier_) {
        readNotifier_->setEnabled(false);
    }
    if (!DataAvailable()) {
        RequestCloseSocket();
    }
}

void TPowersock::OnSocketWritable() {
    if (writeNotifier_) {
        writeNotifier_->setEnabled(false);
    }
    if (!connecting_) {
        return;
    }
    connecting_ = false;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &err, &len) < 0) {
        err = errno;
    }
    succeeded_ = err == 0;
    if (!succeeded_) {
        lastErrorNo_ = WinsockErrorFromErrno(err);
        return;
    }
    connected_ = true;
    if (readNotifier_) {
        readNotifier_->setEnabled(true);
    }
    try {
        if (OnConnect) {
            OnConnect(this);
        }
    } catch (...) {
        // As every handler called from a notification.
    }
}

long TPowersock::Fill(std::size_t maxBytes, int& err) {
    char* room = input_.Tail(maxBytes);
    long n;
    do {
        n = ::recv(socket_, room, maxBytes, 0);
    } while (n < 0 && errno == EINTR);
    err = n < 0 ? errno : 0;
    input_.Commit(static_cast<std::size_t>(std::max(n, 0L)));
    return n;
}

void TPowersock::WaitForEvents() {
    // Sleeps until at least one event (a notification, a timer, a posted
    // call) has been handled; the caller then checks its condition again.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// ---------------------------------------------------------------------------
// Status, errors and the time-out timer

void TPowersock::ReportStatus(int Level, const std::string& Text) {
    if (Level > reportLevel_) {
        return;
    }
    try {
        lastStatus_ = Text;
        if (!destroying_ && OnStatus) {
            OnStatus(this, lastStatus_);
        }
    } catch (...) {
        // A status report never disturbs the operation that made it.
    }
}

void TPowersock::CheckSocketError(int Tolerated, std::string& Text) {
    int err = WinsockErrorFromErrno(errno);
    lastErrorNo_ = err;
    if (err != Tolerated && err > 10000) {
        LookupErrorText(err, Text);
        if (OnSocketError) {
            OnSocketError(this, static_cast<std::uint16_t>(err), Text);
        }
        throw ESockError(Text);
    }
    Text.clear();
}

void TPowersock::LookupErrorText(int Number, std::string& Text) {
    ReportStatus(8, "Looking Up Error Message" + Text);
    Text = SocketErrorText(Number);
}

void TPowersock::TimerOn() {
    Report(8, "Timer On");
    timedOut_ = false;
    if (timeOut_ < 0) {
        throw ERangeError("Range check error");
    }
    if (timeOut_ == 0 && !timer_.Enabled()) {
        return; // no limit: the timer stays off, as it would never fire
    }
    timer_.SetInterval(static_cast<unsigned>(timeOut_));
    timer_.SetEnabled(true);
}

void TPowersock::TimerOff() {
    Report(8, "Timer Off");
    timer_.SetEnabled(false);
}

void TPowersock::TimerTriggered() {
    ReportStatus(8, "Timer Triggered");
    TimerOff();
    timedOut_ = true;
    waitDone_ = true;
    Abort();
}

// ---------------------------------------------------------------------------
// Connection

void TPowersock::ResolveHost() {
    ReportStatus(8, "Resolve Host");
    in_addr_t address = ::inet_addr(host_.c_str());
    if (address != INADDR_NONE) {
        remoteAddress_ = address;
        return;
    }
    remoteAddress_ = 0;
    TimerOn();
    waitDone_ = false;
    unsigned generation = ++lookupGeneration_;
    lookupId_ = QHostInfo::lookupHost(
        QString::fromStdString(host_), context_.get(), [this, generation](const QHostInfo& info) {
            if (generation != lookupGeneration_) {
                return; // an abandoned lookup
            }
            lookupId_ = -1;
            lookupAddress_ = 0;
            for (const QHostAddress& a : info.addresses()) {
                if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                    lookupAddress_ = htonl(a.toIPv4Address());
                    break;
                }
            }
            // A name with no IPv4 address is as good as an unknown one here.
            succeeded_ = info.error() == QHostInfo::NoError && lookupAddress_ != 0;
            waitDone_ = true;
        });
    try {
        while (!(waitDone_ || timedOut_ || canceled_)) {
            WaitForEvents();
        }
    } catch (...) {
        DropLookup();
        TimerOff();
        throw;
    }
    DropLookup();
    TimerOff();
    if (timedOut_) {
        throw ESockError("Host Lookup Timed Out");
    }
    if (canceled_) {
        throw ESockError("Host Lookup Canceled");
    }
    if (!succeeded_) {
        throw ESockError("Host Lookup Failed");
    }
    remoteAddress_ = lookupAddress_;
    if (OnHostResolved) {
        OnHostResolved(this);
    }
}

void TPowersock::DropLookup() {
    if (lookupId_ >= 0) {
        QHostInfo::abortHostLookup(lookupId_);
        lookupId_ = -1;
    }
    ++lookupGeneration_;
}

void TPowersock::Connect() {
    ReportStatus(8, "Connecting");
    canceled_ = false;
    if (connected_) {
        throw ESockError("Already connected");
    }
    int retries = 0;
    for (;;) {
        try {
            ResolveHost();
        } catch (const ESockError& e) {
            if (e.Message() == "Host Lookup Timed Out" || e.Message() == "Host Lookup Canceled") {
                throw;
            }
        }
        if (remoteAddress_ != 0) {
            break;
        }
        if (retries > 0 || !OnInvalidHost) {
            throw ESockError("Null Remote Address");
        }
        bool handled = false;
        OnInvalidHost(handled);
        if (!handled) {
            throw ESockError("Null Remote Address");
        }
        ++retries;
    }
    if (socket_ < 0) {
        MakeSocket(false);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port_ & 0xFFFF));
    address.sin_addr.s_addr = remoteAddress_;
    waitDone_ = false;
    succeeded_ = true;
    if (::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        int err = errno;
        if (IsConnectOutcome(err)) {
            // Winsock would report this through the connect notification.
            succeeded_ = false;
            lastErrorNo_ = WinsockErrorFromErrno(err);
        } else if (err != EINPROGRESS) {
            std::string text;
            CheckSocketError(10035, text);
        }
    }
    connecting_ = succeeded_;
    if (writeNotifier_ && connecting_) {
        writeNotifier_->setEnabled(true);
    }
    TimerOn();
    try {
        while (!(connected_ || timedOut_ || canceled_ || !succeeded_)) {
            WaitForEvents();
        }
    } catch (...) {
        TimerOff();
        throw;
    }
    TimerOff();
    if (!timedOut_ && !canceled_ && succeeded_) {
        return;
    }
    if (!connected_) {
        // A POSIX socket cannot connect again after a failed or abandoned
        // attempt, so it is replaced here (silently: nothing was open).
        DropSocketQuietly();
        MakeSocket(false);
    }
    if (OnConnectionFailed) {
        OnConnectionFailed(this);
    }
    if (timedOut_) {
        throw ESockError("Connection Timed out");
    }
    if (canceled_) {
        throw ESockError("Connection Canceled");
    }
    throw ESockError("Connection Failed");
}

void TPowersock::Accept() {
    ReportStatus(4, "Accepting");
    for (;;) {
        if (canceled_) {
            canceled_ = false;
            throw ESockError("Accepting Canceled");
        }
        int fd = ::accept4(socket_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            DropSocketQuietly();
            socket_ = fd;
            WatchSocket();
            connected_ = true;
            readNotifier_->setEnabled(true);
            if (OnAcceptReady) {
                OnAcceptReady(this);
            }
            return;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            throw ESockError("Error creating Data Connection");
        }
        if (readNotifier_) {
            readNotifier_->setEnabled(true);
        }
        WaitForEvents();
    }
}

void TPowersock::Disconnect() {
    ReportStatus(8, "Disconnecting");
    RequestCloseSocket();
}

void TPowersock::Abort() {
    ReportStatus(8, "Abort");
    Cancel();
}

void TPowersock::Cancel() {
    ReportStatus(8, "Canceling");
    canceled_ = true;
}

void TPowersock::CheckConnection() {
    ReportStatus(8, "Checking Connection");
    int retries = 0;
    while (!connected_) {
        if (retries > 0 || !OnConnectionRequired) {
            throw Exception("Not Connected");
        }
        bool handled = false;
        OnConnectionRequired(handled);
        if (!handled) {
            throw Exception("Not Connected");
        }
        ++retries;
    }
}

void TPowersock::RequestCloseSocket() {
    ReportStatus(4, "Request Close Socket");
    connected_ = false;
    if (socket_ < 0) {
        return;
    }
    DropSocketQuietly();
    if (!destroying_ && OnDisconnect) {
        OnDisconnect(this);
    }
    if (!shuttingDown_ && socket_ < 0) {
        MakeSocket(false);
    }
}

bool TPowersock::DataAvailable() {
    ReportStatus(8, "Data Available");
    if (input_.Available() > 0) {
        return true;
    }
    if (socket_ < 0 || peerClosed_) {
        return false;
    }
    char byte;
    return ::recv(socket_, &byte, 1, MSG_PEEK) >= 1;
}

// ---------------------------------------------------------------------------
// Transfer

void TPowersock::Write(const std::string& Text) {
    ReportStatus(8, "Write");
    // The text goes out up to its first zero byte, as a zero-terminated
    // buffer would carry it; its length must fit the 16-bit send length.
    std::size_t length = std::strlen(Text.c_str());
    if (length >= 65536) {
        throw ERangeError("Range check error");
    }
    SendBuffer(Text.c_str(), static_cast<std::uint16_t>(length));
}

void TPowersock::Writeln(const std::string& Text) {
    ReportStatus(8, "Writeln");
    Write(Text + "\r\n");
}

void TPowersock::SendBuffer(const char* Buffer, std::uint16_t Length) {
    ReportStatus(4, "Sending Buffer");
    TimerOn();
    try {
        if (!canceled_) {
            std::size_t length = Length != 0 ? Length : std::strlen(Buffer);
            if (length >= 65536) {
                throw ERangeError("Range check error");
            }
            std::size_t sent = 0;
            while (sent < length && !canceled_) {
                long n = ::send(socket_, Buffer + sent, length - sent, MSG_NOSIGNAL);
                if (n > 0) {
                    sent += static_cast<std::size_t>(n);
                } else if (n == 0) {
                    break;
                } else if (errno == EINTR) {
                    continue;
                } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    // A full send buffer: sleep until it drains instead of
                    // spinning. Nothing is dispatched meanwhile; TimeOut bounds it.
                    pollfd p{socket_, POLLOUT, 0};
                    if (::poll(&p, 1, timeOut_ > 0 ? timeOut_ : -1) == 0) {
                        timedOut_ = true;
                        canceled_ = true;
                    }
                } else {
                    std::string text;
                    CheckSocketError(10035, text);
                }
            }
        }
        if (canceled_) {
            canceled_ = false;
            throw EAbortError("Socket send aborted");
        }
    } catch (...) {
        TimerOff();
        throw;
    }
    TimerOff();
}

std::string TPowersock::ReadLn() {
    std::string line;
    ReadLn(line);
    return line;
}

void TPowersock::ReadLn(std::string& Line) {
    Report(8, "ReadLn");
    TimerOn();
    try {
        std::size_t lineEnd = std::string::npos;
        for (;;) {
            std::size_t avail = input_.Available();
            std::size_t window = std::min(avail, MaxLineLength);
            if (scanned_ < window) {
                const char* base = input_.Data();
                const void* lf = std::memchr(base + scanned_, '\n', window - scanned_);
                if (lf != nullptr) {
                    lineEnd = static_cast<std::size_t>(static_cast<const char*>(lf) - base);
                    break;
                }
                scanned_ = window;
            }
            if (avail >= MaxLineLength) {
                throw ESockError("Line too long");
            }
            if (canceled_) {
                break;
            }
            if (peerClosed_) {
                // The peer has closed: a partial line is dropped.
                input_.Clear();
                scanned_ = 0;
                TimerOff();
                Line.clear();
                // The close notification may have come while the partial
                // line was still buffered and been put off; with the buffer
                // empty now, the close is carried out from the event loop.
                QTimer::singleShot(0, QCoreApplication::instance(),
                                   [this, alive = std::weak_ptr<int>(lifeToken_)] {
                                       if (!alive.expired() && connected_ && peerClosed_) {
                                           HandleClose();
                                       }
                                   });
                return;
            }
            if (!connected_ || socket_ < 0) {
                TimerOff();
                Line.clear(); // not connected (10057): nothing will come
                return;
            }
            int err = 0;
            long n = Fill(kChunk, err);
            if (n > 0) {
                // Keep the application alive during a long transfer too.
                QCoreApplication::processEvents();
                continue;
            }
            if (n == 0) {
                peerClosed_ = true; // the close itself is handled on its notification
                continue;
            }
            if (err == EAGAIN || err == EWOULDBLOCK) {
                if (readNotifier_) {
                    readNotifier_->setEnabled(true);
                }
                WaitForEvents();
                continue;
            }
            if (err == ENOTCONN) {
                TimerOff();
                Line.clear();
                return;
            }
            errno = err;
            std::string text;
            CheckSocketError(10035, text);
        }
        if (canceled_) {
            canceled_ = false;
            throw EAbortError("Socket readln aborted");
        }
        Line.assign(input_.Data(), lineEnd + 1);
        input_.Consume(lineEnd + 1);
        scanned_ = 0;
        TimerOff();
    } catch (...) {
        TimerOff();
        throw;
    }
}

std::string TPowersock::Transaction(const std::string& Command) {
    ReportStatus(8, "Transaction");
    replyNumber_ = 0;
    Writeln(Command);
    lastReply_ = ReadLn();
    if (!lastReply_.empty()) {
        ReportStatus(1, lastReply_);
        std::size_t digits = 0;
        while (digits < lastReply_.size() && digits < 10 && lastReply_[digits] >= '0' &&
               lastReply_[digits] <= '9') {
            ++digits;
        }
        if (digits > 0) {
            long long value = std::stoll(lastReply_.substr(0, digits));
            if (value > INT32_MAX) {
                value = 0;
            }
            if (value > 32767) {
                throw ERangeError("Range check error");
            }
            replyNumber_ = static_cast<int>(value);
        }
    }
    return lastReply_;
}

void TPowersock::ClearInput() {
    ReportStatus(8, "Clearing Input");
    input_.Clear();
    scanned_ = 0;
    if (socket_ >= 0 && !peerClosed_) {
        static thread_local char scratch[65536];
        (void)::recv(socket_, scratch, sizeof scratch, 0);
    }
}
