#pragma once

#include <string>

#include "store/Database.h"

namespace vorel::test {

// An autoresponder as the tests and benches set them up: answered from
// robot@me.example under "Re: your mail".
inline Autoresponder replyRule(std::string name, std::string to, std::string message) {
    Autoresponder a;
    a.Name = std::move(name);
    a.To = std::move(to);
    a.msgfrom = "robot@me.example";
    a.msgsubject = "Re: your mail";
    a.message = std::move(message);
    return a;
}

}  // namespace vorel::test
