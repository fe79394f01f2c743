#include "forms/ConnectionCheck.h"

#include <climits>
#include <exception>

#include "core/SignIn.h"
#include "run/AccountLogin.h"

namespace vorel {

namespace {

std::string whyFailed(const std::exception& e) {
    if (const auto* m = dynamic_cast<const MailError*>(&e)) {
        std::string text = mailErrorText(m->code());
        if (m->code() == mailcode::kBadPassword) {
            if (const auto line = passwordRefusal(m->what())) {
                text += " (" + *line + ") " + kPasswordRefusedAdvice;
            }
        }
        return text;
    }
    return e.what();
}

int timeoutSeconds(const Settings& s) {
    const long v = roundedNumber(runTimeout(s.txtTIMEOUT));
    return v < 0 ? 0 : (v > INT_MAX ? INT_MAX : static_cast<int>(v));
}

}  // namespace

std::string checkConnection(const Settings& given, MailComponent& mail, AccountLogin* login) {
    Settings s = given;
    if (login != nullptr) {
        try {
            login->prepare(s);
            s.txtPASSWORD = login->secret();
        } catch (const std::exception& e) {
            return std::string("Sign-in: ") + e.what();
        }
    }
    // Back to passwords for whoever uses the component next.
    struct Reset {
        MailComponent& mail;
        ~Reset() { mail.setXoauth2(false); }
    } reset{mail};
    mail.setXoauth2(login != nullptr && login->xoauth2());
    mail.setTimeout(timeoutSeconds(s));
    std::string pop = "POP3 server: ";
    if (s.txtPOP.empty()) {
        pop += "not set.";
    } else {
        try {
            mail.popConnect(s.txtPOP, s.txtUSERID, s.txtPASSWORD);
            pop += "logged in.";
        } catch (const std::exception& e) {
            pop += whyFailed(e);
        }
        // No message was marked for deletion: the QUIT commits nothing.
        try {
            mail.disconnect();
        } catch (const std::exception&) {
        }
    }
    const bool esmtp = lineIsOnWhenNonZero(s.chkESMTP);
    std::string smtp = " SMTP server: ";
    if (s.txtSMTP.empty()) {
        smtp += "not set.";
    } else {
        try {
            mail.smtpConnect(s.txtSMTP, esmtp ? SmtpProtocol::Esmtp : SmtpProtocol::Smtp,
                             s.txtUSERID, s.txtPASSWORD);
            smtp += esmtp ? "greeted, ESMTP (AUTH when offered)." : "greeted.";
        } catch (const std::exception& e) {
            smtp += whyFailed(e);
        }
        try {
            mail.disconnect();
        } catch (const std::exception&) {
        }
    }
    return pop + smtp;
}

}  // namespace vorel
