#include "mail/Sender.h"

#include <exception>

#include "base/Clock.h"
#include "base/TextCompare.h"
#include "core/MailComponent.h"
#include "core/Reporter.h"
#include "core/RunHost.h"
#include "core/RunState.h"
#include "mail/Address.h"
#include "store/Queue.h"
#include "store/Settings.h"

namespace vorel {

namespace {

// Connections are renewed after this many messages.
constexpr int kMessagesPerConnection = 30;

std::string messageRef(const LocalTime& t) {
    int seconds = t.hour * 3600 + t.minute * 60 + t.second;
    return std::to_string(t.year) + std::to_string(t.month) + std::to_string(t.day) +
           std::to_string(seconds) + "_KESO";
}

}  // namespace

bool sendOneMessage(RunContext& ctx, std::string to, std::string from, const std::string& host,
                    const std::string& body, std::string subject,
                    const std::vector<std::string>& fields, const std::string& envelope) {
    RunState& state = ctx.state;
    ++state.messagesOnConnection;
    to = tidyAddress(checkchr255(to));
    from = tidyAddress(checkchr255(from));
    subject = replaceAll(checkchr255(subject), "\r\n", " ");

    ctx.yield();
    ctx.yield();
    try {
        OutgoingMessage message;
        std::string file = messageFileOfBody(ctx.folder, body);
        if (!file.empty()) {
            message.sourceFile = file;
        } else {
            message.contentType = "text";
            message.contentSubtype = body.find("<HTML>") != std::string::npos ? "html" : "plain";
            message.charset = "charset=us-ascii";
            message.transferEncoding = "8bit";
            message.body = body;
        }
        message.to = to;
        message.copyTo = tidyAddress(state.settings.txtAUTOFORWARD);
        message.from = from;
        message.sender = envelope.empty() ? from : envelope;
        message.subject = subject;
        message.extraHeaders.push_back(std::string("X-Mailer: VOREL MAIL ") + kProductWebAddress +
                                       " GET YOURS FREE - This software must NOT be used for "
                                       "spamming");
        message.extraHeaders.insert(message.extraHeaders.end(), fields.begin(), fields.end());
        message.messageRef = messageRef(ctx.clock.now());

        if (state.messagesOnConnection > kMessagesPerConnection) {
            state.messagesOnConnection = 0;
            ctx.mail.disconnect();
            state.smtpConnected = false;
            ctx.report.addLogLine("Safety check, disconnecting from server");
        }
        if (!state.smtpConnected) {
            if (lineIsOnWhenNonZero(state.settings.chkESMTP)) {
                ctx.report.addLogLine("Connecting to ESTMP server " + host);
                try {
                    ctx.mail.smtpConnect(host, SmtpProtocol::Esmtp, state.settings.txtUSERID,
                                         state.settings.txtPASSWORD);
                } catch (const MailError& refusal) {
                    if (!retryWithFreshToken(ctx, refusal)) {
                        throw;
                    }
                    ctx.mail.smtpConnect(host, SmtpProtocol::Esmtp, state.settings.txtUSERID,
                                         state.settings.txtPASSWORD);
                }
            } else {
                ctx.report.addLogLine("Connecting to STMP server " + host);
                ctx.mail.smtpConnect(host, SmtpProtocol::Smtp, "", "");
            }
            state.smtpConnected = true;
        }
        ctx.mail.send(message);
    } catch (const std::exception& e) {
        state.sendFailed = true;
        const auto* mailError = dynamic_cast<const MailError*>(&e);
        state.lastSendError = mailError ? mailError->code() : 0;
        state.lastSendReply =
            mailError ? trimSpace(replaceAll(mailError->reply(), "\r\n", " ")) : std::string();
        std::string text = mailError ? mailErrorText(mailError->code()) : e.what();
        ctx.report.addLogLine("Message FAILED From: " + from + " to: " + to + ": Host " + host +
                              " Subject " + subject);
        ctx.report.addLogLine("Message Failed : " + std::string(" Error:") + text +
                              " message Re-Queued");
        explainPasswordRefusal(ctx, e);
        return false;
    }
    // Reported outside the failure handling: a message handed over must never
    // be re-queued, or it would go out twice.
    ctx.report.setStatus("Message sent to " + to + ": Subject " + subject);
    ctx.report.addLogLine("Message Sent From: " + from + " to: " + to + ": Host " + host +
                          " Subject " + subject);
    return true;
}

}  // namespace vorel
