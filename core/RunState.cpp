#include "core/RunState.h"

#include "core/MailComponent.h"
#include "core/Reporter.h"
#include "core/RunHost.h"
#include "core/SignIn.h"

namespace vorel {

void RunContext::yield() {
    const RunRequests asked = host.yield();
    if (asked.stop) {
        state.cancelRequested = true;
    }
    if (asked.debugMode) {
        report.debugBoxClicked(*asked.debugMode);
    }
}

void explainPasswordRefusal(RunContext& ctx, const std::exception& failure) {
    const auto* m = dynamic_cast<const MailError*>(&failure);
    if (m == nullptr || m->code() != mailcode::kBadPassword) {
        return;
    }
    if (const auto line = passwordRefusal(m->what())) {
        ctx.report.addLogLine(*line);
        ctx.report.addLogLine(kPasswordRefusedAdvice);
    }
}

bool retryWithFreshToken(RunContext& ctx, const MailError& refusal) {
    RunState& state = ctx.state;
    if (refusal.code() != mailcode::kBadPassword || state.login == nullptr ||
        !state.login->xoauth2() || state.signInStopped) {
        return false;
    }
    try {
        if (!state.login->refreshAfterRefusal()) {
            return false;
        }
        state.settings.txtPASSWORD = state.login->secret();
    } catch (const SignInStop& e) {
        state.signInStopped = true;
        ctx.report.addLogLine(e.what());
        return false;
    } catch (const std::exception&) {
        return false;  // the endpoint did not answer: the refusal stands
    }
    return true;
}

}  // namespace vorel
