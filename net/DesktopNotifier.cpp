#include "net/DesktopNotifier.h"

#include <gio/gio.h>

#include "base/SessionBus.h"

namespace vorel {

namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr int kCallTimeoutMs = 5000;

}  // namespace

struct DesktopNotifier::Bus {
    GDBusConnection* connection = nullptr;
    guint subscription = 0;
    std::function<void(const std::string&)> clicked;
    std::map<guint32, std::string> causes;  // notice id -> cause

    static void actionInvoked(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                              const gchar*, GVariant* parameters, gpointer self) {
        auto* bus = static_cast<Bus*>(self);
        guint32 id = 0;
        const gchar* action = nullptr;
        g_variant_get(parameters, "(u&s)", &id, &action);
        const auto it = bus->causes.find(id);
        if (it != bus->causes.end() && bus->clicked) {
            bus->clicked(it->second);
        }
    }
};

DesktopNotifier::DesktopNotifier(std::function<void(const std::string& cause)> clicked)
    : bus_(std::make_unique<Bus>()) {
    bus_->clicked = std::move(clicked);
    if (!sessionBusReachable()) {
        return;
    }
    GError* error = nullptr;
    bus_->connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (error != nullptr) {
        g_error_free(error);
        bus_->connection = nullptr;
        return;
    }
    if (bus_->clicked) {
        bus_->subscription = g_dbus_connection_signal_subscribe(
            bus_->connection, nullptr, kService, "ActionInvoked", kPath, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, &Bus::actionInvoked, bus_.get(), nullptr);
    }
}

DesktopNotifier::~DesktopNotifier() {
    if (bus_->connection != nullptr) {
        if (bus_->subscription != 0) {
            g_dbus_connection_signal_unsubscribe(bus_->connection, bus_->subscription);
        }
        g_object_unref(bus_->connection);
    }
}

bool DesktopNotifier::notify(const std::string& cause, const std::string& summary,
                             const std::string& body) {
    if (bus_->connection == nullptr) {
        return false;
    }
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    if (bus_->clicked) {
        // A click on the notice itself opens the window that resolves it.
        g_variant_builder_add(&actions, "s", "default");
        g_variant_builder_add(&actions, "s", "Open Vorel");
    }
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("vorel"));
    g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(1));
    g_variant_builder_add(&hints, "{sv}", "x-vorel-cause", g_variant_new_string(cause.c_str()));
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus_->connection, kService, kPath, kService, "Notify",
        g_variant_new("(susssasa{sv}i)", "Vorel", 0U, "vorel", summary.c_str(), body.c_str(),
                      &actions, &hints, -1),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &error);
    if (reply == nullptr) {
        g_error_free(error);
        return false;
    }
    guint32 id = 0;
    g_variant_get(reply, "(u)", &id);
    g_variant_unref(reply);
    bus_->causes[id] = cause;
    return true;
}

}  // namespace vorel
