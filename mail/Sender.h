#pragma once

#include <string>
#include <vector>

#include "core/MailComponent.h"

namespace vorel {

struct RunContext;

// One outgoing message as the run sends it: To and From tidied, the subject
// on one line, the body as text or the saved message file it names, the copy
// to txtAUTOFORWARD and the X-Mailer line. `fields` are header lines added
// after our own (see mail/Outbound.h); `envelope` is the SMTP envelope sender
// when it is not the From address. The connection is run/SmtpLink's. A text
// body is moved into the message when given as an rvalue.
OutgoingMessage composeMessage(const RunContext& ctx, std::string to, std::string from,
                               std::string body, std::string subject,
                               const std::vector<std::string>& fields = {},
                               const std::string& envelope = "");

}  // namespace vorel
