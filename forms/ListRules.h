#pragma once

#include <string>

#include "forms/Outcome.h"
#include "store/Database.h"

namespace vorel {

// The mailing list editor's rules, shared by the window and its tests.

// Upper case, without spaces and apostrophes: how list names are stored.
std::string normaliseListName(const std::string& typed);

// "&Save": stores the fields under their name: the row of that name (any
// letter case) is replaced, otherwise a row is added. Not ok without a name.
// Throws StoreError.
Outcome saveList(Database& db, const MailingList& fields);

// "Delete": the row of that name and every member row carrying the name; the
// message is empty when nothing is to be shown. The caller has asked the
// question. Throws StoreError.
Outcome deleteList(Database& db, const std::string& name);

inline constexpr char kListNameMissing[] =
    "You Must give the mailing list a name before you can save it.!";
inline constexpr char kRecordSaved[] = "Record Saved";
inline constexpr char kSelectListToDelete[] = "Error, please select a list to delete!";
inline constexpr char kDeleteListQuestion[] =
    "Are you SURE you wish to delete ALL those email addresses and list?";
inline constexpr char kDeleteComplete[] = "Delete Complete";
inline constexpr char kSaveListFirst[] =
    "Please save a mailling list before trying to edit it's members!";
inline constexpr char kSelectListToPost[] = "Please select a list before trying to email to it!";

}  // namespace vorel
