#pragma once

#include <QString>
#include <QWidget>

namespace vorel {

// frmABOUT: the product's identity and its web pages.
class AboutWindow : public QWidget {
    Q_OBJECT
public:
    explicit AboutWindow(QWidget* parent = nullptr);

    // The page a cmdWEBSITELINK index opens; empty for an unused index.
    static QString linkTarget(int index);
};

}  // namespace vorel
