#pragma once

#include <QAbstractButton>
#include <QListWidget>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "store/Settings.h"
#include "support/TempFolder.h"

namespace vorel::test {

// Turns the event loop until `done` holds or `ms` have passed; returns `done`.
bool waitUntil(const std::function<bool()>& done, int ms = 30000);

// The control named `name` inside `window`; fails the test when missing.
template <typename W>
W* control(QWidget* window, const char* name) {
    W* w = window->findChild<W*>(QString::fromLatin1(name));
    if (!w) {
        ADD_FAILURE() << "no control " << name;
    }
    return w;
}

QStringList items(const QListWidget* list);
void click(QAbstractButton* button);

// An application folder with data.mdb and a setup.ini for loopback servers.
struct GuiFolder {
    TempFolder folder;
    Settings settings;

    GuiFolder();
    void writeSettings() const;
    void addAutoresponder(const std::string& to) const;
};

}  // namespace vorel::test
