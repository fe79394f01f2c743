#include "store/PostingTrust.h"

#include "base/TextCompare.h"
#include "store/AppFolder.h"
#include "store/TextFile.h"

namespace vorel {

PostingTrust readPostingTrust(const std::string& folder) {
    PostingTrust t;
    const auto lines = readTextLines(joinPath(folder, kPostingFile));
    if (!lines) {
        return t;
    }
    for (const std::string& line : *lines) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = trimSpace(line.substr(0, eq));
        const std::string value = trimSpace(line.substr(eq + 1));
        if (key == "authserv-id") {
            t.authservId = value;
        } else if (key == "topmost-is-provider") {
            t.topmostIsProvider = value == "1";
        }
    }
    return t;
}

void writePostingTrust(const std::string& folder, const PostingTrust& trust) {
    replaceFile(joinPath(folder, kPostingFile),
                "authserv-id=" + asOneLine(trimSpace(trust.authservId)) +
                    "\ntopmost-is-provider=" + (trust.topmostIsProvider ? "1" : "0") + "\n",
                0600);
}

}  // namespace vorel
