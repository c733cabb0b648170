#include "smtp/AddEmailLib_TLB.h"

class SmtpTransport {};

void IMailMessage::SetPriority(int priority) {
    priority_ = priority;
}
void IMailMessage::SetBodyFormat(int bodyFormat) {
    bodyFormat_ = bodyFormat;
}
void IMailMessage::SetReadReceipt(int readReceipt) {
    readReceipt_ = readReceipt;
}
void IMailMessage::SetSubject(const std::string& subject) {
    subject_ = subject;
}
void IMailMessage::SetFrom(const IMailAddressPtr& address) {
    from_ = address;
}
void IMailMessage::SetSender(const IMailAddressPtr& address) {
    sender_ = address;
}
void IMailMessage::AddRecipient(const IMailAddressPtr& address) {
    recipients_.push_back(address);
}
void IMailMessage::AddAttachment(const IMailAttachmentPtr& a) {
    attachments_.push_back(a);
}

TSmtpMail::TSmtpMail() : alive_(std::make_shared<bool>(true)) {}
TSmtpMail::~TSmtpMail() {
    *alive_ = false;
}
void TSmtpMail::SetSmtpServer(const std::string& v) {
    smtpServer_ = v;
}
void TSmtpMail::SetSmtpPort(int v) {
    smtpPort_ = v;
}
void TSmtpMail::SetSmtpUsername(const std::string& v) {
    smtpUsername_ = v;
}
void TSmtpMail::SetSmtpPassword(const std::string& v) {
    smtpPassword_ = v;
}
void TSmtpMail::SetMaxThreads(int v) {
    maxThreads_ = v;
}
void TSmtpMail::SetSenderHostname(const std::string& v) {
    senderHostname_ = v;
}
void TSmtpMail::SetSmtpSPA(bool v) {
    smtpSPA_ = v;
}
void TSmtpMail::SetSmtpSSL(bool v) {
    smtpSSL_ = v;
}
void TSmtpMail::SetConnectTimeout(int v) {
    connectTimeout_ = v;
}
void TSmtpMail::SetTransferTimeout(int v) {
    transferTimeout_ = v;
}
int TSmtpMail::Send(const IMailMessagePtr&, int, std::string& description) {
    description = "not implemented yet";
    return ErrorBadMessage;
}
int TSmtpMail::GetErrorCode(int) const {
    return 0;
}
std::string TSmtpMail::GetErrorText(int) const {
    return {};
}
