#include "core/MailComponent.h"

namespace vorel {

std::string MailErrorText(int code) {
    switch (code) {
        case 0:
            return "Failed to connect to your host, check your pop server settings.";
        case 10057:
            return "The current socket has not been connected. - This could mean the remote mail "
                   "server has disconnected from Vorel or that you have lost your connection";
        case 10065:
            return "Remote host is currently unreachable.";
        case 11001:
        case 11004:
            return "Remote host could not be found.";
        case 11002:
            return "Remote host could not be found, try again.";
        case 20002:
            return "Server refused mail send, this could be because you are not sending FROM a "
                   "valid email address of an account on that server.";
        case 20011:
            return "Invalid user name.";
        case 20012:
            return "Invalid password.";
        default:
            return std::to_string(code) + " Undefined Error";
    }
}

}  // namespace vorel
