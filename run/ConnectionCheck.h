#pragma once

#include <string>

#include "core/MailComponent.h"
#include "store/Settings.h"

namespace vorel {

// "Test connection" of the settings window: logs in to the POP3 server and
// greets the SMTP server (with AUTH when ESMTP is ticked) as a run would,
// then disconnects. Nothing is fetched, deleted, sent or written. Returns one
// line saying what worked, with the run's error texts for what did not.
std::string checkConnection(const Settings& settings, MailComponent& mail);

}  // namespace vorel
