#pragma once

#include <string>

namespace vorel {

// Tells the user on the desktop that something needs them.
class Notifier {
public:
    virtual ~Notifier() = default;
    // False when nobody could be told (no notification service answers).
    virtual bool notify(const std::string& cause, const std::string& summary,
                        const std::string& body) = 0;
};

}  // namespace vorel
