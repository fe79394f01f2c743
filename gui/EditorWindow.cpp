#include "gui/EditorWindow.h"

#include <QLabel>
#include <QPushButton>

#include "gui/Widgets.h"

namespace vorel {

void showHelp(const std::vector<std::string>& lines) {
    helpStart();
    for (const std::string& line : lines) {
        helpLine(line);
    }
    helpShow();
}

QPushButton* button(const char* name, const QString& caption) {
    return named(new QPushButton(caption), name, caption);
}

QLabel* editorTitle(const QString& text) {
    auto* title = new QLabel(text);
    title->setObjectName(QStringLiteral("lblTITLE"));
    QFont big = title->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.4);
    title->setFont(big);
    return title;
}

}  // namespace vorel
