#pragma once

#include <string>

namespace vorel {

// The help text being assembled by helpStart and helpLine until helpShow takes it.
class HelpText {
public:
    void start() { text_.clear(); }
    void line(const std::string& text) { text_ += text + "\r\n"; }
    std::string take() {
        std::string t;
        t.swap(text_);
        return t;
    }

private:
    std::string text_;
};

}  // namespace vorel
