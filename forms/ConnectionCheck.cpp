#include "forms/ConnectionCheck.h"

#include <climits>
#include <exception>
#include <utility>

#include "core/SignIn.h"
#include "forms/PostingTrustForm.h"
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

Outcome checkConnection(const Settings& given, MailComponent& mail, AccountLogin* login) {
    Settings s = given;
    if (login != nullptr) {
        try {
            login->prepare(s);
            s.txtPASSWORD = login->secret();
        } catch (const std::exception& e) {
            return Outcome::failed(std::string("Sign-in: ") + e.what());
        }
    }
    // Back to passwords for whoever uses the component next.
    struct Reset {
        MailComponent& mail;
        ~Reset() { mail.setXoauth2(false); }
    } reset{mail};
    mail.setXoauth2(login != nullptr && login->xoauth2());
    mail.setTimeout(timeoutSeconds(s));
    bool ok = true;
    std::string pop = "POP3 server: ";
    if (s.txtPOP.empty()) {
        pop += "not set.";
    } else {
        try {
            mail.popConnect(s.txtPOP, s.txtUSERID, s.txtPASSWORD);
            pop += "logged in.";
            pop += newestAuthservIdText(mail);  // offered for trusted posts
        } catch (const std::exception& e) {
            ok = false;
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
            ok = false;
            smtp += whyFailed(e);
        }
        try {
            mail.disconnect();
        } catch (const std::exception&) {
        }
    }
    return {ok, pop + smtp};
}

BackgroundWork& BackgroundWork::instance() {
    static BackgroundWork work;
    return work;
}

void BackgroundWork::start(std::function<void()> work) {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([work = std::move(work), finished] {
        work();
        *finished = true;
    });
    const std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(workers_, [](Worker& w) {
        if (!*w.finished) {
            return false;
        }
        w.thread.join();
        return true;
    });
    workers_.push_back({std::move(thread), std::move(finished)});
}

void BackgroundWork::joinAll() {
    std::vector<Worker> workers;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (Worker& w : workers) {
        w.thread.join();
    }
}

}  // namespace vorel
