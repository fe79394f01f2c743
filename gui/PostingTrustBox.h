#pragma once

#include <QGroupBox>
#include <string>
#include <vector>

#include "store/PostingTrust.h"

class QCheckBox;
class QLineEdit;

namespace vorel {

// The settings window's "Trust authentication results from:" (posting.ini):
// whose Authentication-Results a run believes when it judges a list post.
class PostingTrustBox : public QGroupBox {
    Q_OBJECT
public:
    explicit PostingTrustBox(std::string folder, QWidget* parent = nullptr);
    void load();
    // Throws std::runtime_error when posting.ini cannot be written.
    PostingTrust collect() const;
    std::vector<std::string> values() const;
    // The id a connection test found, put in when the field is empty.
    void offer(const std::string& testResult);

private:
    std::string folder_;
    QLineEdit* txtAUTHSERVID_;
    QCheckBox* chkTOPMOSTPROVIDER_;
};

}  // namespace vorel
