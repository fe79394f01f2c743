#pragma once

#include <string>

namespace vorel {

class MailComponent;

// "Test connection" also reads the top-most Authentication-Results of the
// newest message in the mailbox and names its authserv-id, which the
// settings window then offers for "Trust authentication results from:".
// Called on a logged-in POP3 session; a sentence for the test's result, or
// nothing when the mailbox is empty or cannot say.
std::string newestAuthservIdText(MailComponent& mail);
// The id that sentence named; empty when there is none (or it is not a
// plain host name).
std::string offeredAuthservId(const std::string& testResult);

}  // namespace vorel
