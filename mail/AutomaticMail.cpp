#include "mail/AutomaticMail.h"

#include <string>

#include "base/TextCompare.h"
#include "core/MailComponent.h"
#include "mail/Address.h"
#include "mail/Outbound.h"

namespace vorel {

namespace {

std::string firstToken(const std::string& value) {
    const std::string v = trimSpace(value);
    const std::size_t end = v.find_first_of(" \t;(");
    return end == std::string::npos ? v : v.substr(0, end);
}

bool localPartIs(const std::string& address, const char* name) {
    return sameText(trimBlanks(textBefore(address, "@")), name);
}

// List, bulk and junk mail and other robots' replies (RFC 3834).
bool sentByRobot(const MailComponent& mail) {
    const std::string precedence = firstToken(mail.headerField("Precedence"));
    return mail.hasHeaderField("X-Autoreply") || mail.hasHeaderField("X-Autorespond") ||
           sameText(precedence, "bulk") || sameText(precedence, "list") ||
           sameText(precedence, "junk") ||
           (mail.hasHeaderField("Return-Path") &&
            trimSpace(mail.headerField("Return-Path")) == "<>");
}

}  // namespace

bool isAutomaticMessage(const MailComponent& mail, const std::string& fromAddress) {
    // "no (sent by a person)": the first token is the value, the rest a comment.
    if (mail.hasHeaderField("Auto-Submitted") &&
        !sameText(firstToken(mail.headerField("Auto-Submitted")), "no")) {
        return true;
    }
    if (localPartIs(fromAddress, "MAILER-DAEMON") || localPartIs(fromAddress, "postmaster")) {
        return true;
    }
    return mail.headerField("X-Mailer").rfind("VOREL MAIL ", 0) == 0;
}

bool isAutomaticMail(const MailComponent& mail, const std::string& fromAddress,
                     const MailingList& list) {
    if (isAutomaticMessage(mail, fromAddress) || sentByRobot(mail) ||
        looksLikeDeliveryReport(mail, fromAddress)) {
        return true;
    }
    // Only our own list's List-Id: a member may pass on another list's mail.
    if (!mail.hasHeaderField("List-Id")) {
        return false;
    }
    const std::string value = mail.headerField("List-Id");
    const std::size_t open = value.rfind('<');
    const std::size_t close = open == std::string::npos ? open : value.find('>', open);
    const std::string id =
        close == std::string::npos ? value : value.substr(open + 1, close - open - 1);
    return sameText(trimSpace(id), listIdOf(list));
}

bool looksLikeDeliveryReport(const MailComponent& mail, const std::string& fromAddress) {
    const std::string type = lowerCase(mail.headerField("Content-Type"));
    if (type.find("multipart/report") != std::string::npos &&
        type.find("delivery-status") != std::string::npos) {
        return true;
    }
    return (localPartIs(fromAddress, "MAILER-DAEMON") || localPartIs(fromAddress, "postmaster")) &&
           mail.hasHeaderField("Return-Path") && trimSpace(mail.headerField("Return-Path")) == "<>";
}

bool isHardBounce(const std::string& status) {
    return status.rfind("5.1.", 0) == 0 || status == "5.2.1";
}

bool isBulkOrAutoReply(const MailComponent& mail) {
    return mail.hasHeaderField("List-Id") || sentByRobot(mail);
}

}  // namespace vorel
