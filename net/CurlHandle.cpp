#include "net/CurlHandle.h"

#include <cstdlib>
#include <mutex>

namespace vorel {

CURL* newCurlHandle() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return nullptr;
    }
    if (const char* ca = std::getenv("VOREL_CA_FILE"); ca != nullptr && *ca != '\0') {
        // CAINFO replaces the default bundle; the hashed folder keeps the
        // system's authorities in the check as well.
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca);
        curl_easy_setopt(curl, CURLOPT_CAPATH, "/etc/ssl/certs");
    }
    return curl;
}

}  // namespace vorel
