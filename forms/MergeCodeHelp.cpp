#include "forms/MergeCodeHelp.h"

#include "mail/MergeCodes.h"

namespace vorel {

std::vector<std::string> mergeCodeHelp(const std::string& heading) {
    return {
        heading,
        "",
        "Codes and HTML",
        "",
        "You can use HTML in the emails you send out from Vorel, simply cut and paste the whole "
        "web page SOURCE from your favorite web editor.",
        "",
        "Don't forget, if using HTML images you need to upload the images to a web server and "
        "point the <IMG> tags to them in your web page",
        // example.com is reserved for examples: no reader's click reaches a real site.
        "<IMG SRC=\"logo.jpg\" border=0> would become "
        "<IMG SRC=\"http://www.example.com/images/logo.jpg\" border=0>",
        "",
        "Don't forget that you need to upload the IMAGES to a web server and change the IMG tags "
        "to point to them",
        "",
        "Other things you can put in the email:",
        "%date% - date format 29 november 2003",
        "%email% - the Email address sent FROM",
        "%time% - Time the email sent, note this is the time on your PC so you may want to put "
        "%time% (GMT)",
        "",
        "VorelCode Merge",
        "---------------",
        "",
        "If the message is sent to Vorel with " + std::string(kMergeMarker) +
            " in the body, Vorel will then allow you to have additional fields that you can "
            "merge back to the person sending.",
        "",
        "%fieldname% - is replaced with the information in the body of the message when the "
        "email was received by Vorel.",
        "When the email is sent to vorel if it contains simple formatting you can send the user "
        "more intelligent information",
        "For example:",
        "",
        kMergeMarker,
        "name=John",
        "email=john@example.com",
        "telephone=0938409809",
        "",
        "Would mean you could construct an EMAIL message that said something like this:",
        "Dear %name%,",
        "",
        "Thank you for your message, I will call you on %telephone%",
        "",
        "Yours faithfully,",
        "",
        "XXXX",
        "",
    };
}

std::vector<std::string> postHelp() {
    return {
        "SENDING A MESSAGE TO THE LIST",
        "",
        "Codes and HTML",
        "",
        "You can use HTML in the emails you send out from Vorel, simply cut and paste the whole "
        "web page SOURCE from your favorite web editor.",
        "",
        "Don't forget, if using HTML images you need to upload the images to a web server and "
        "point the <IMG> tags to them in your web page",
        "<IMG SRC=\"logo.jpg\" BORDER=0> would become "
        "<IMG SRC=\"http://www.example.com/images/logo.jpg\" BORDER=0>",
        "",
        "Don't forget that you need to upload the IMAGES to a web server and change the IMG tags "
        "to point to them",
        "",
        "Other things you can put in the email:",
        "%date% - date format 29 november 2003",
        "%time% - Time the email sent, note this is the time on your PC so you may want to put "
        "%time% (GMT)",
        "",
        "If the user signed up with a VOREL CODE based form (see help on mail lists) then you can "
        "use Vorel Code in your message",
    };
}

}  // namespace vorel
