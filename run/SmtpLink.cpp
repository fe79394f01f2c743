#include "run/SmtpLink.h"

#include <algorithm>
#include <exception>

#include "base/TextCompare.h"
#include "core/Reporter.h"
#include "core/RunHost.h"
#include "core/RunState.h"
#include "mail/Sender.h"
#include "store/Settings.h"

namespace vorel {

namespace {

// Connections are renewed after this many messages.
constexpr int kMessagesPerConnection = 30;

// ESMTP authenticates with the POP3 login, SMTP does not; a refused OAuth2
// token is renewed once.
void openConnection(RunContext& ctx, const std::string& host) {
    RunState& state = ctx.state;
    const Settings& s = state.settings;
    if (!lineIsOnWhenNonZero(s.chkESMTP)) {
        ctx.mail.smtpConnect(host, SmtpProtocol::Smtp, "", "");
    } else {
        try {
            ctx.mail.smtpConnect(host, SmtpProtocol::Esmtp, s.txtUSERID, s.txtPASSWORD);
        } catch (const MailError& refusal) {
            if (!retryWithFreshToken(ctx, refusal)) {
                throw;
            }
            ctx.mail.smtpConnect(host, SmtpProtocol::Esmtp, s.txtUSERID, s.txtPASSWORD);
        }
    }
    state.smtpConnected = true;
}

// The connection the next message goes over, once the count has been raised for it.
void prepareConnection(RunContext& ctx, const std::string& host) {
    RunState& state = ctx.state;
    if (state.messagesOnConnection > kMessagesPerConnection) {
        state.messagesOnConnection = 0;
        ctx.mail.disconnect();
        state.smtpConnected = false;
        ctx.report.addLogLine("Safety check, disconnecting from server");
    }
    if (!state.smtpConnected) {
        ctx.report.addLogLine(lineIsOnWhenNonZero(state.settings.chkESMTP)
                                  ? "Connecting to ESTMP server " + host
                                  : "Connecting to STMP server " + host);
        openConnection(ctx, host);
    }
}

MessageOutcome logOutcome(RunContext& ctx, const std::string& host, const OutgoingMessage& m,
                          const SendResult& result) {
    MessageOutcome outcome;
    if (!result.failure) {
        // Reported outside any failure handling: a message handed over must
        // never be re-queued, or it would go out twice.
        outcome.sent = true;
        ctx.report.setStatus("Message sent to " + m.to + ": Subject " + m.subject);
        ctx.report.addLogLine("Message Sent From: " + m.from + " to: " + m.to + ": Host " + host +
                              " Subject " + m.subject);
        return outcome;
    }
    std::string text;
    try {
        std::rethrow_exception(result.failure);
    } catch (const MailError& e) {
        outcome.error = e.code();
        outcome.reply = trimSpace(replaceAll(e.reply(), "\r\n", " "));
        outcome.step = e.step();
        text = mailErrorText(e.code());
        explainPasswordRefusal(ctx, e);
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
    }
    ctx.report.addLogLine("Message FAILED From: " + m.from + " to: " + m.to + ": Host " + host +
                          " Subject " + m.subject);
    ctx.report.addLogLine("Message Failed : " + std::string(" Error:") + text +
                          " message Re-Queued");
    return outcome;
}

}  // namespace

std::size_t messagesBeforeRenewal(const RunContext& ctx) {
    const int on = ctx.state.messagesOnConnection;
    return on >= kMessagesPerConnection ? kMessagesPerConnection + 1
                                        : static_cast<std::size_t>(kMessagesPerConnection - on);
}

std::vector<MessageOutcome> sendMessages(RunContext& ctx, const std::string& host,
                                         const std::vector<OutgoingMessage>& messages) {
    const std::size_t n = std::min(messages.size(), messagesBeforeRenewal(ctx));
    if (n == 0) {
        return {};
    }
    RunState& state = ctx.state;
    ++state.messagesOnConnection;
    for (std::size_t k = 0; k < n; ++k) {
        ctx.yield();
        ctx.yield();
    }
    std::vector<SendResult> results;
    try {
        prepareConnection(ctx, host);
    } catch (...) {
        // The first message fails; the others were not tried.
        results.push_back({std::current_exception()});
    }
    if (results.empty()) {
        state.messagesOnConnection += static_cast<int>(n) - 1;
        results =
            n == messages.size()
                ? ctx.mail.sendBatch(messages)
                : ctx.mail.sendBatch({messages.begin(), messages.begin() + static_cast<long>(n)});
    }
    std::vector<MessageOutcome> outcomes;
    for (std::size_t k = 0; k < results.size() && k < n; ++k) {
        outcomes.push_back(logOutcome(ctx, host, messages[k], results[k]));
    }
    return outcomes;
}

bool sendOneMessage(RunContext& ctx, const std::string& to, const std::string& from,
                    const std::string& host, const std::string& body, const std::string& subject,
                    const std::vector<std::string>& fields, const std::string& envelope) {
    const std::vector<MessageOutcome> outcomes =
        sendMessages(ctx, host, {composeMessage(ctx, to, from, body, subject, fields, envelope)});
    return !outcomes.empty() && outcomes.front().sent;
}

void reconnectAfterFailure(RunContext& ctx) {
    ctx.mail.disconnect();
    ctx.state.smtpConnected = false;
    ctx.report.addLogLine("Reconnecting to SMTP Server due to failed message");
    openConnection(ctx, ctx.state.settings.txtSMTP);
}

}  // namespace vorel
