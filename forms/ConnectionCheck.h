#pragma once

#include <string>

#include "core/MailComponent.h"
#include "store/Settings.h"

namespace vorel {

// "Test connection" of the settings window: logs in to the POP3 server and
// greets the SMTP server (with AUTH when ESMTP is ticked) as a run would,
// then disconnects. Nothing is fetched, deleted, sent or written. Returns one
// line saying what worked, with the run's error texts for what did not.
// With a login, the secret (password or OAuth2 token) is the run's.
class AccountLogin;
std::string checkConnection(const Settings& settings, MailComponent& mail,
                            AccountLogin* login = nullptr);

}  // namespace vorel
