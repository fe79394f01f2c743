#pragma once

#include <string>

namespace vorel {

struct MailingList;
class MailComponent;

// Which messages were sent by a program rather than a person, and which are
// delivery reports: such mail is never answered, posted or taken as a request.

// True for a message that was itself sent automatically (Auto-Submitted other
// than "no", a mailer daemon or postmaster sender, or our own X-Mailer line);
// such messages are never answered, so two responders cannot loop.
bool isAutomaticMessage(const MailComponent& mail, const std::string& fromAddress);
// Mail that no autoresponder answers (RFC 3834): list mail, bulk mail and
// other robots' replies. Unsubscribe requests in it are still honoured.
bool isBulkOrAutoReply(const MailComponent& mail);

// Mail sent by a program, for `list`: never a post to it, a subscribe request
// or a confirmation, so that lists, relays and responders cannot feed each
// other (a copy of ours that comes back without our X-Mailer, a vacation
// reply to a confirmation). isAutomaticMessage, our own List-Id for the list,
// Precedence bulk, list or junk, a null Return-Path and auto-reply markers.
// Delivery reports (bounces) belong here too.
bool isAutomaticMail(const MailComponent& mail, const std::string& fromAddress,
                     const MailingList& list);

// A delivery report by its header: multipart/report with report-type
// delivery-status, or a mailer daemon or postmaster with a null Return-Path
// (whose message must still hold a report).
bool looksLikeDeliveryReport(const MailComponent& mail, const std::string& fromAddress);
// A status that says the address is dead: 5.1.x or 5.2.1 (not 5.7.x, which
// is policy or spam filtering, nor any 4.x.x).
bool isHardBounce(const std::string& status);

}  // namespace vorel
