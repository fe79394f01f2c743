#pragma once

#include <string>
#include <vector>

namespace vorel {

struct RunContext;

// Composes one outgoing message and sends it over the run's SMTP connection,
// opening or renewing the connection as needed. Logs the result; returns
// false (and sets the run's send-failed flag) when the send failed. `fields`
// are header lines added after our own (see mail/Outbound.h); `envelope` is
// the SMTP envelope sender when it is not the From address.
bool sendOneMessage(RunContext& ctx, std::string to, std::string from, const std::string& host,
                    const std::string& body, std::string subject,
                    const std::vector<std::string>& fields = {}, const std::string& envelope = "");

}  // namespace vorel
