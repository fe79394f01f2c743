#include "forms/MemberEdit.h"

#include "base/Idn.h"
#include "forms/MemberRules.h"
#include "mail/Address.h"

namespace vorel {

MemberSaveCheck checkMemberSave(bool onMember, const std::string& current,
                                const std::string& typed) {
    if (!onMember) {
        return {MemberSaveCheck::NoMember, kNoMemberToSave};
    }
    if (typed.empty() || typed == kNotFound) {
        return {MemberSaveCheck::Invalid, kNoRecordShown};
    }
    // One row never holds two addresses (the add box and an import split them).
    if (!isValidEmail(typed) || !isOneAddress(typed)) {
        return {MemberSaveCheck::Invalid, kInvalidAddress};
    }
    // Said as it will be stored: the other form of a domain changes nothing.
    const std::string stored = memberAddress(typed);
    if (stored == current) {
        return {MemberSaveCheck::Unchanged, kMemberUnchanged};
    }
    return {MemberSaveCheck::Change, "Changed " + current + " to " + stored + "."};
}

}  // namespace vorel
