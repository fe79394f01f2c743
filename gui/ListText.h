#pragma once

#include <QString>
#include <string>

namespace vorel {

// Stored texts are lines ended by CR LF; the boxes hold LF.
inline std::string storedText(const QString& boxText) {
    QString t = boxText;
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    t.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return t.toStdString();
}

inline QString boxText(const std::string& stored) {
    QString t = QString::fromStdString(stored);
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return t;
}

}  // namespace vorel
