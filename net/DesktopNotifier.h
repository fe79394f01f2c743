#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "core/Notifier.h"

namespace vorel {

// Notices through the freedesktop notification service on the session bus
// (org.freedesktop.Notifications), over GLib's D-Bus: no Qt, so the
// headless commands use it too. Without a session bus nothing is told.
class DesktopNotifier : public Notifier {
public:
    // `clicked` (optional) is called with the cause of a notice the user
    // clicked; the signal arrives through GLib's default main context, which
    // the windows' event loop runs.
    explicit DesktopNotifier(std::function<void(const std::string& cause)> clicked = {});
    ~DesktopNotifier() override;
    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;

    bool notify(const std::string& cause, const std::string& summary,
                const std::string& body) override;

private:
    struct Bus;
    std::unique_ptr<Bus> bus_;
};

}  // namespace vorel
