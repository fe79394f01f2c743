#pragma once

#include <QString>
#include <string>
#include <vector>

class QLabel;
class QPushButton;
class QWidget;

namespace vorel {

// What the editor windows (autoresponders, mailing lists, members, post) take
// from the application, so that they include this and not the application
// shell: where a window opens, the help window, their common controls.

// Moves a window to the middle of the background window (not in the tray).
void centreInBackdrop(QWidget* window);

// The help window, assembled line by line and shown.
void helpStart();
void helpLine(const std::string& text);
void helpShow();
// The same with lines at hand, the first of them the heading.
void showHelp(const std::vector<std::string>& lines);

// A push button with its control name, heard by its caption.
QPushButton* button(const char* name, const QString& caption);
// The big bold heading of an editor (lblTITLE).
QLabel* editorTitle(const QString& text);

}  // namespace vorel
