#pragma once

#include <string>
#include <vector>

#include "core/MailComponent.h"
#include "net/Mime.h"

namespace vorel {

// One saved message (an .eml file's bytes) served as the mail component
// serves a mailbox's current message, with the same parsing and no server.
class FileMailComponent : public MailComponent {
public:
    explicit FileMailComponent(std::string raw);

    void setTranscriptHandler(TranscriptHandler) override {}
    void setTranscriptOn(bool) override {}
    bool transcriptOn() const override { return false; }
    void setNoticeHandler(NoticeHandler) override {}
    void setWaitHandler(WaitHandler) override {}
    void setTimeout(int) override {}
    void popConnect(const std::string&, const std::string&, const std::string&) override {}
    long messageCount() override { return 1; }
    std::vector<std::string> uniqueIds() override { return {}; }
    void selectMessage(long) override {}
    void fetchHeader() override { takeHeaderValues(); }
    std::string headerField(const std::string& name) const override;
    std::vector<std::string> headerFields(const std::string& name, std::size_t most) const override;
    bool hasHeaderField(const std::string& name) const override;
    std::optional<std::int64_t> arrivalTime() const override {
        return mime::arrivalTime(message_.fields);
    }
    void deleteMessage() override { deleted_ = true; }
    void fetchMessage() override { takeHeaderValues(); }
    void workTextPieces(const std::function<void(std::string_view)>& piece) override;
    void saveMessageFile(const std::string& path) override;
    int extraCount() override { return message_.extraCount; }
    std::string bodyText() override { return message_.bodyText; }
    std::vector<DeliveryStatus> deliveryReport() override { return message_.deliveryReport; }
    std::string from() const override { return from_; }
    std::string to() const override { return to_; }
    std::string subject() const override { return subject_; }
    void setFrom(const std::string& value) override { from_ = value; }
    void setTo(const std::string& value) override { to_ = value; }
    void setSubject(const std::string& value) override { subject_ = value; }
    // Sending is refused: a trial sends nothing.
    void smtpConnect(const std::string&, SmtpProtocol, const std::string&,
                     const std::string&) override;
    void send(const OutgoingMessage&) override;
    void disconnect() override {}

    bool deleted() const { return deleted_; }

private:
    void takeHeaderValues() {
        from_ = message_.from;
        to_ = message_.to;
        subject_ = message_.subject;
    }
    static void writeFile(const std::string& path, const std::string& text);

    std::string raw_;
    mime::ParsedMessage message_;
    std::string from_, to_, subject_;
    bool deleted_ = false;
};

}  // namespace vorel
