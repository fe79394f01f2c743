#pragma once

#include <string>

#include "store/Database.h"

namespace vorel {

// Subscribe and unsubscribe requests each match on To OR Subject. When the
// two rules share a To address or a Subject, one message is both: its sender
// is added and removed in the same run. Returns what to tell the list's
// owner, or an empty text when no field is shared.
std::string requestOverlapWarning(const MailingList& list);

// The hint under each group of match fields.
inline constexpr char kMatchEitherHint[] =
    "A message matches when its To OR its Subject equals the text here (letter case ignored); "
    "either one is enough.";

}  // namespace vorel
