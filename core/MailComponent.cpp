#include "core/MailComponent.h"

namespace vorel {

std::string mailErrorText(int code) {
    switch (code) {
        case mailcode::kConnectFailed:
            return "Failed to connect to your host, check your pop server settings.";
        case mailcode::kNotConnected:
            return "The current socket has not been connected. - This could mean the remote mail "
                   "server has disconnected from Vorel or that you have lost your connection";
        case mailcode::kUnreachable:
            return "Remote host is currently unreachable.";
        case mailcode::kHostNotFound:
        case mailcode::kNoHostData:
            return "Remote host could not be found.";
        case mailcode::kHostNotFoundRetry:
            return "Remote host could not be found, try again.";
        case mailcode::kSendRefused:
            return "Server refused mail send, this could be because you are not sending FROM a "
                   "valid email address of an account on that server.";
        case mailcode::kBadUser:
            return "Invalid user name.";
        case mailcode::kBadPassword:
            return "Invalid password.";
        default:
            return std::to_string(code) + " Undefined Error";
    }
}

std::vector<SendResult> MailComponent::sendBatch(const std::vector<OutgoingMessage>& messages) {
    std::vector<SendResult> results;
    for (const OutgoingMessage& m : messages) {
        try {
            send(m);
            results.emplace_back();
        } catch (...) {
            results.push_back({std::current_exception()});
            break;
        }
    }
    return results;
}

}  // namespace vorel
