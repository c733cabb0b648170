#pragma once
// What the window does to its message for each Outbox file, shared by the
// SMTP tests and the send benchmark so both drive the control alike.
#include <string>

#include "smtp/AddEmailLib_TLB.h"

// Makes `recipient` the only recipient of `message` and `file` its only
// attachment. Raises nothing.
inline void AddressMessage(IMailMessage& message, const std::string& recipient,
                           const std::string& file) {
    message.ClearRecipients();
    IMailAddressPtr to = CoMailAddress::Create();
    to->SetAddress(recipient);
    message.ClearAttachments();
    message.AddRecipient(to);
    IMailAttachmentPtr a = CoMailAttachment::Create();
    a->SetFileName(file);
    message.AddAttachment(a);
}
