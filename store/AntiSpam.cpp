#include "store/AntiSpam.h"

#include <sys/stat.h>

#include "store/AppFolder.h"
#include "store/TextFile.h"

namespace vorel {

namespace {

constexpr char kAntiSpamFile[] = "antispam.lst";

// The text before the first tab (all of it without a tab); `rest` becomes the
// text after that tab, or empty.
std::string takeField(std::string& rest) {
    std::size_t tab = rest.find('\t');
    if (tab == std::string::npos) {
        std::string field = std::move(rest);
        rest.clear();
        return field;
    }
    std::string field = rest.substr(0, tab);
    rest.erase(0, tab + 1);
    return field;
}

}  // namespace

AntiSpamEntry splitAntiSpamLine(const std::string& line) {
    std::string rest = line;
    AntiSpamEntry e;
    e.from = takeField(rest);
    e.subject = takeField(rest);
    e.to = takeField(rest);
    return e;
}

std::string composeAntiSpamLine(const std::string& from, const std::string& subject,
                                const std::string& to) {
    return from + '\t' + subject + '\t' + to;
}

std::optional<std::string> findAntiSpamFile(const std::string& folder) {
    return findFileNoCase(folder, kAntiSpamFile);
}

std::vector<std::string> readAntiSpamLines(const std::string& folder) {
    auto path = findAntiSpamFile(folder);
    if (!path) {
        return {};
    }
    auto lines = readTextLines(*path);
    return lines ? std::move(*lines) : std::vector<std::string>{};
}

void writeAntiSpamLines(const std::string& folder, const std::vector<std::string>& lines) {
    std::string content;
    for (const std::string& line : lines) {
        content += asOneLine(line);
        content += "\r\n";
    }
    std::string path = findAntiSpamFile(folder).value_or(joinPath(folder, kAntiSpamFile));
    mode_t mode = 0600;  // addresses of people: the owner's alone
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    }
    replaceFile(path, content, mode);
}

}  // namespace vorel
