#include "platform/posix/http_probe.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <mutex>

namespace kestrix::platform {

namespace {

size_t discardBody(char*, size_t size, size_t count, void*) {
    return size * count;
}

void initialiseCurlOnce() {
    static std::once_flag once;
    // Plain HTTP only: no TLS library to set up.
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_NOTHING); });
}

}  // namespace

long httpGetStatus(const std::string& url, double timeoutSeconds) {
    initialiseCurlOnce();
    CURL* curl = curl_easy_init();
    if (!curl) return 0;

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutSeconds * 1000));
    // No signals from the resolver: this runs on several threads at once.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // The panel is on loopback; an http_proxy from the environment must not see it.
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 16L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discardBody);

    long status = 0;
    if (curl_easy_perform(curl) == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    return status;
}

bool addressInUse(const std::string& host, long port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // As a service binds: connections of earlier listeners that wait out
    // their TIME_WAIT do not count.
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const bool inUse =
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno == EADDRINUSE;
    ::close(fd);
    return inUse;
}

}  // namespace kestrix::platform
