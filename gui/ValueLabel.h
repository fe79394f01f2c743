#pragma once

#include <QString>

class QLabel;

namespace vorel {

// A label that shows a value is heard with it: its accessible name is the
// caption and the value ("List Members: 100000"), never the caption alone.
QLabel* valueLabel(const char* objectName, const QString& caption, const QString& value);
// Shows a new value in a label made by valueLabel().
void showValue(QLabel* label, const QString& value);

// A label whose whole text is the news (status lines, results): it is heard
// as its text, `what` telling what it is.
QLabel* newsLabel(QLabel* label, const char* objectName, const QString& what);

}  // namespace vorel
