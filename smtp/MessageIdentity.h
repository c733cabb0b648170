#pragma once
// The Message-ID a mail sent by mailgate carries. It is derived from the
// Outbox file (name, size, modification time and a SHA-256 of the content)
// and the sender's domain, so a second sending of the same unchanged file -
// after an interruption between the server's acceptance and the removal of
// the file - carries the same identity, and a receiving mailgate can drop
// the repeat. The form "<mg.<32 hex digits>@<domain>>" is made by nothing
// but mailgate; mail from other senders is never taken for a repeat.
//
// Errors: MailgateMessageId raises EInOutError "Unable to read <path>:
// <reason>" when the file cannot be read; IsMailgateMessageId raises nothing.
#include <string>
#include <string_view>

// `fromAddress`: the sender's address; its domain (after the last '@') ends
// the identity ("localhost" when it has none).
std::string MailgateMessageId(const std::string& filePath, const std::string& fromAddress);

// True for an identity of the form above (angle brackets included, as in a
// header's value without surrounding white space).
bool IsMailgateMessageId(std::string_view id) noexcept;
