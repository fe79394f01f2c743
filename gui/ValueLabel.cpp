#include "gui/ValueLabel.h"

#include <QLabel>
#include <QVariant>

namespace vorel {

namespace {

const char kCaption[] = "vorelValueCaption";

}  // namespace

QLabel* valueLabel(const char* objectName, const QString& caption, const QString& value) {
    auto* label = new QLabel;
    label->setObjectName(QString::fromLatin1(objectName));
    label->setProperty(kCaption, caption);
    showValue(label, value);
    return label;
}

void showValue(QLabel* label, const QString& value) {
    label->setText(value);
    QString caption = label->property(kCaption).toString();
    // "Version 1.2.3" names itself.
    if (value.startsWith(caption)) {
        label->setAccessibleName(value);
        return;
    }
    if (!caption.endsWith(QLatin1Char(':'))) {
        caption += QLatin1Char(':');
    }
    label->setAccessibleName(caption + QLatin1Char(' ') + value);
}

QLabel* newsLabel(QLabel* label, const char* objectName, const QString& what) {
    label->setObjectName(QString::fromLatin1(objectName));
    // No name of its own: the text is the name.
    label->setAccessibleName(QString());
    label->setAccessibleDescription(what);
    return label;
}

}  // namespace vorel
