#include "net/CurlMailComponent.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "base/TextCompare.h"
#include "base/WriteAll.h"
#include "net/ImapMailbox.h"
#include "net/Mime.h"
#include "net/Pop3Client.h"
#include "net/SmtpClient.h"

namespace vorel {
namespace {

// Replaces the file's content. Written over the old bytes and then cut to
// length rather than truncated first: ext4 flushes a file that was truncated
// to nothing when it is closed.
void writeWholeFile(const std::string& path, std::string_view content) {
    // Other people's mail: the owner's alone, whatever the umask.
    const int fd = openNoFollow(path, O_WRONLY | O_CREAT, 0600);
    if (fd < 0) {
        throw MailError(mailcode::kFile, "cannot write " + path + ": " + fileErrorText(errno));
    }
    int err = writeAll(fd, content);
    if (err == 0 && ::ftruncate(fd, static_cast<off_t>(content.size())) != 0) {
        err = errno;
    }
    if (::close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err != 0) {
        throw MailError(mailcode::kFile, "cannot write " + path + ": " + std::strerror(err));
    }
}

}  // namespace

CurlMailComponent::CurlMailComponent() {
    mime::ensureInit();
}

CurlMailComponent::~CurlMailComponent() {
    try {
        disconnect();
    } catch (...) {
        // Nothing to tell anyone any more.
    }
}

void CurlMailComponent::setTranscriptHandler(TranscriptHandler handler) {
    settings_.transcript = std::move(handler);
}

void CurlMailComponent::setTranscriptOn(bool on) {
    settings_.transcriptOn = on;
}

void CurlMailComponent::setNoticeHandler(NoticeHandler handler) {
    settings_.notice = std::move(handler);
}

void CurlMailComponent::setWaitHandler(WaitHandler handler) {
    settings_.wait = std::move(handler);
}

void CurlMailComponent::setTimeout(int seconds) {
    // No time-out at all would let a silent server hang the run for good.
    settings_.timeout = seconds > 0 ? seconds : 60;
}

// Mailbox ---------------------------------------------------------------

void CurlMailComponent::popConnect(const std::string& host, const std::string& user,
                                   const std::string& password) {
    closePop(true);
    if (isImapAddress(host)) {
        // libcurl logs in: IMAP has no APOP to trip over.
        auto imap = std::make_unique<ImapMailbox>(
            Session::open(host, ServerAddress::Service::Pop3, user, password, true, settings_));
        imap->start();
        imap_ = imap.get();
        mailbox_ = std::move(imap);
        return;
    }
    auto pop = std::make_unique<Pop3Client>(settings_);
    pop->connect(host, user, password);
    mailbox_ = std::move(pop);
}

MailboxClient& CurlMailComponent::mailbox(bool read) {
    if (!mailbox_) {
        throw MailError(mailcode::kNotConnected, "no POP3 session");
    }
    if (read) {
        mailbox_->checkRead();
    } else {
        mailbox_->check();
    }
    return *mailbox_;
}

long CurlMailComponent::messageCount() {
    MailboxClient& m = mailbox();
    // As STAT counts: messages marked deleted are left out.
    return static_cast<long>(m.sizes().size() - m.deletedCount());
}

std::vector<std::string> CurlMailComponent::uniqueIds() {
    if (!uids_) {
        uids_ = mailbox().uniqueIds();
    }
    return *uids_;
}

void CurlMailComponent::selectMessage(long i) {
    if (i != current_) {
        messageFetched_ = false;
        raw_.clear();
        raw_.shrink_to_fit();
        workHead_.clear();
        workHead_.shrink_to_fit();
        // Moved out, not assigned over: a string assigned an empty one keeps
        // its buffer, and a large body would stay for the rest of the run.
        (void)std::exchange(message_, mime::ParsedMessage());
        headerFetched_ = false;
        header_ = mime::ParsedHeader();
    }
    current_ = i;
}

void CurlMailComponent::requireMessage() const {
    if (current_ < 1 || static_cast<std::size_t>(current_) > mailbox_->sizes().size()) {
        throw MailError(mailcode::kNoMessage,
                        "no message " + std::to_string(current_) + " in the mailbox");
    }
    if (mailbox_->isDeleted(current_)) {
        throw MailError(mailcode::kMessageDeleted,
                        "message " + std::to_string(current_) + " is marked deleted");
    }
}

void CurlMailComponent::fetchHeader() {
    MailboxClient& m = mailbox(true);
    requireMessage();
    header_ = mime::parseHeader(m.header(current_));
    headerFetched_ = true;
    from_ = header_.from;
    to_ = header_.to;
    subject_ = header_.subject;
}

std::string CurlMailComponent::headerField(const std::string& name) const {
    for (const auto& f : header_.fields) {
        if (sameText(f.name, name)) {
            return mime::decodeHeaderValue(f.value);
        }
    }
    return {};
}

std::vector<std::string> CurlMailComponent::headerFields(const std::string& name,
                                                         std::size_t most) const {
    return mime::fieldValues(header_.fields, name, most);
}

bool CurlMailComponent::hasHeaderField(const std::string& name) const {
    return std::any_of(header_.fields.begin(), header_.fields.end(),
                       [&](const auto& f) { return sameText(f.name, name); });
}

void CurlMailComponent::deleteMessage() {
    MailboxClient& m = mailbox(true);
    // Deleting a message already marked in this session changes nothing: a
    // second DELE would only draw an -ERR.
    if (current_ >= 1 && m.isDeleted(current_)) {
        return;
    }
    requireMessage();
    m.markDeleted(current_);
}

void CurlMailComponent::willFetch(long n) {
    if (mailbox_) {
        mailbox_->willFetch(n);
    }
}

int CurlMailComponent::headersAhead() const {
    return mailbox_ ? mailbox_->headersAhead() : 0;
}

const mime::ParsedMessage& CurlMailComponent::ensureMessage() {
    if (messageFetched_) {
        return message_;
    }
    MailboxClient& m = mailbox(true);
    requireMessage();
    std::string raw = m.message(current_);
    message_ = mime::parseMessage(raw);
    raw_ = std::move(raw);
    header_ = message_;
    headerFetched_ = true;
    messageFetched_ = true;
    return message_;
}

void CurlMailComponent::fetchMessage() {
    const auto& m = ensureMessage();
    from_ = m.from;
    to_ = m.to;
    subject_ = m.subject;
}

void CurlMailComponent::workTextPieces(const std::function<void(std::string_view)>& piece) {
    // Made once per message: every merge of the message reads it again.
    if (!messageFetched_ || workHead_.empty()) {
        workHead_ = mime::workFileHead(ensureMessage());
    }
    piece(workHead_);
    piece(message_.bodyText);
    piece(mime::workFileTail(message_));
}

void CurlMailComponent::saveMessageFile(const std::string& path) {
    ensureMessage();
    writeWholeFile(path, raw_);
}

int CurlMailComponent::extraCount() {
    return ensureMessage().extraCount;
}

std::string CurlMailComponent::bodyText() {
    return ensureMessage().bodyText;
}

std::vector<DeliveryStatus> CurlMailComponent::deliveryReport() {
    return ensureMessage().deliveryReport;
}

void CurlMailComponent::closePop(bool quit) {
    if (!mailbox_) {
        return;
    }
    struct Reset {
        CurlMailComponent* self;
        ~Reset() {
            self->mailbox_.reset();
            self->imap_ = nullptr;
            self->uids_.reset();
            self->selectMessage(0);
        }
    } reset{this};
    if (quit && !mailbox_->broken()) {
        mailbox_->finish();
    }
}

// SMTP ------------------------------------------------------------------

void CurlMailComponent::smtpConnect(const std::string& host, SmtpProtocol protocol,
                                    const std::string& user, const std::string& password) {
    closeSmtp(true);
    auto smtp = std::make_unique<SmtpClient>(settings_);
    smtp->connect(host, protocol, user, password);
    smtp_ = std::move(smtp);
}

void CurlMailComponent::send(const OutgoingMessage& message) {
    if (!smtp_) {
        throw MailError(mailcode::kNotConnected, "no SMTP session");
    }
    smtp_->send(message);
}

std::size_t CurlMailComponent::recipientCount(const OutgoingMessage& message) const {
    // As SmtpClient addresses it: one RCPT per mailbox of To and of the copy.
    return std::max<std::size_t>(
        1, mime::mailboxes(message.to).size() + mime::mailboxes(message.copyTo).size());
}

std::size_t CurlMailComponent::sendWindow() const {
    return smtp_ ? smtp_->window() : 1;
}

std::vector<SendResult> CurlMailComponent::sendBatch(const std::vector<OutgoingMessage>& messages) {
    if (sendWindow() <= 1) {
        return MailComponent::sendBatch(messages);
    }
    return smtp_->sendBatch(messages);
}

void CurlMailComponent::closeSmtp(bool quit) {
    std::unique_ptr<SmtpClient> smtp = std::move(smtp_);
    if (smtp && quit) {
        smtp->quit();
    }
}

void CurlMailComponent::disconnect() {
    closeSmtp(true);
    closePop(true);
}

bool CurlMailComponent::sessionLost() const {
    return mailbox_ && mailbox_->broken();
}

bool CurlMailComponent::idleOffered() const {
    return imap_ != nullptr && !imap_->broken() && imap_->idleOffered();
}

bool CurlMailComponent::waitForNewMail(int seconds, const std::function<bool()>& stop) {
    if (imap_ == nullptr) {
        throw MailError(mailcode::kNotConnected, "no IMAP session");
    }
    imap_->check();
    return imap_->waitForNewMail(seconds, stop);
}

}  // namespace vorel
