#include "net/FileMailComponent.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "base/TextCompare.h"
#include "base/WriteAll.h"

namespace vorel {

FileMailComponent::FileMailComponent(std::string raw) : raw_(std::move(raw)) {
    mime::ensureInit();
    message_ = mime::parseMessage(raw_);
}

std::string FileMailComponent::headerField(const std::string& name) const {
    for (const mime::HeaderField& f : message_.fields) {
        if (sameText(f.name, name)) {
            return mime::decodeHeaderValue(f.value);
        }
    }
    return {};
}

std::vector<std::string> FileMailComponent::headerFields(const std::string& name,
                                                         std::size_t most) const {
    return mime::fieldValues(message_.fields, name, most);
}

bool FileMailComponent::hasHeaderField(const std::string& name) const {
    for (const mime::HeaderField& f : message_.fields) {
        if (sameText(f.name, name)) {
            return true;
        }
    }
    return false;
}

void FileMailComponent::workTextPieces(const std::function<void(std::string_view)>& piece) {
    piece(mime::workFileText(message_));
}

void FileMailComponent::saveMessageFile(const std::string& path) {
    writeFile(path, raw_);
}

void FileMailComponent::smtpConnect(const std::string&, SmtpProtocol, const std::string&,
                                    const std::string&) {
    throw MailError(mailcode::kNotConnected, "a trial sends nothing");
}

void FileMailComponent::send(const OutgoingMessage&) {
    throw MailError(mailcode::kNotConnected, "a trial sends nothing");
}

void FileMailComponent::writeFile(const std::string& path, const std::string& text) {
    const int fd = openNoFollow(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        throw MailError(mailcode::kFile, "cannot write " + path + ": " + fileErrorText(errno));
    }
    const int err = writeAll(fd, text);
    if (::close(fd) != 0 || err != 0) {
        throw MailError(mailcode::kFile, "cannot write " + path);
    }
}

}  // namespace vorel
