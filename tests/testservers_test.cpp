// Smoke tests of the loopback servers the end-to-end tests run against: a
// plain libcurl client gets a seeded message from one and delivers to the other.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "support/TestServers.h"

using vorel::test::PopServer;
using vorel::test::SmtpServer;

namespace {

size_t collect(char* data, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
}

size_t supply(char* buffer, size_t size, size_t n, void* in) {
    auto* text = static_cast<std::string*>(in);
    const std::size_t len = std::min(size * n, text->size());
    std::memcpy(buffer, text->data(), len);
    text->erase(0, len);
    return len;
}

}  // namespace

TEST(TestServers, PopServesSeededMessages) {
    PopServer pop;
    pop.addMessage("From: a@x.org\nSubject: one\n\nbody one\n");
    pop.addMessage("From: b@x.org\nSubject: two\n\nbody two\n");
    ASSERT_EQ(pop.messageCount(), 2u);
    CURL* curl = curl_easy_init();
    std::string body;
    const std::string url = "pop3://127.0.0.1:" + std::to_string(pop.port()) + "/2";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERNAME, pop.user().c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, pop.password().c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    EXPECT_EQ(curl_easy_perform(curl), CURLE_OK);
    curl_easy_cleanup(curl);
    EXPECT_EQ(body, "From: b@x.org\r\nSubject: two\r\n\r\nbody two\r\n");
    EXPECT_EQ(pop.messageCount(), 2u);
}

TEST(TestServers, SmtpRecordsWhatItReceives) {
    SmtpServer smtp;
    CURL* curl = curl_easy_init();
    std::string data = "Subject: hi\r\n\r\n.dot\r\nend\r\n";
    const std::string url = "smtp://127.0.0.1:" + std::to_string(smtp.port()) + "/me";
    curl_slist* rcpt = curl_slist_append(nullptr, "<a@x.org>");
    rcpt = curl_slist_append(rcpt, "<b@x.org>");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, "<me@x.org>");
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, supply);
    curl_easy_setopt(curl, CURLOPT_READDATA, &data);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    EXPECT_EQ(curl_easy_perform(curl), CURLE_OK);
    curl_slist_free_all(rcpt);
    curl_easy_cleanup(curl);
    const auto got = smtp.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].mailFrom, "me@x.org");
    EXPECT_EQ(got[0].rcptTo, (std::vector<std::string>{"a@x.org", "b@x.org"}));
    // libcurl dot-stuffs what it sends; the server unstuffs it.
    EXPECT_EQ(got[0].data, "Subject: hi\r\n\r\n.dot\r\nend\r\n");
    EXPECT_EQ(smtp.sessionCount(), 1);
}
