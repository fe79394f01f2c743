#include "forms/MemberEdit.h"

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
    if (!isValidEmail(typed)) {
        return {MemberSaveCheck::Invalid, kInvalidAddress};
    }
    if (typed == current) {
        return {MemberSaveCheck::Unchanged, kMemberUnchanged};
    }
    return {MemberSaveCheck::Change, "Changed " + current + " to " + typed + "."};
}

}  // namespace vorel
