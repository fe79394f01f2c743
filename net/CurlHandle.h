#pragma once

#include <curl/curl.h>

namespace vorel {

// A new libcurl handle for a connection of ours (a mail session, a token
// request); nullptr when libcurl cannot make one. libcurl's global start
// comes first, once per process: it is not safe beside other threads, and
// it loads OpenSSL's tables, which a run that ends before it connects never
// needs. VOREL_CA_FILE, when set, names an extra CA file for the
// certificate checks.
CURL* newCurlHandle();

}  // namespace vorel
