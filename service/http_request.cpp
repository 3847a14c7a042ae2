#include "service/http_request.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace kestrix::service {

namespace {

bool sameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

int hexDigit(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

}  // namespace

std::optional<Request> parseRequestHead(std::string_view head) {
    // "METHOD TARGET HTTP/1.x", then "Name: value" lines.
    size_t end = head.find("\r\n");
    const std::string_view line = head.substr(0, end);
    const size_t first = line.find(' '), second = line.rfind(' ');
    if (first == std::string_view::npos || second == first ||
        !line.substr(second + 1).starts_with("HTTP/1."))
        return std::nullopt;
    Request request;
    request.method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, second - first - 1);
    if (request.method.empty() || target.empty() || target.front() != '/' ||
        target.find(' ') != std::string_view::npos)
        return std::nullopt;
    const size_t mark = target.find('?');
    request.path = target.substr(0, mark);
    if (mark != std::string_view::npos) request.query = target.substr(mark + 1);
    while (end != std::string_view::npos) {
        head.remove_prefix(end + 2);
        end = head.find("\r\n");
        const std::string_view field = head.substr(0, end);
        if (field.empty()) break;
        const size_t colon = field.find(':');
        if (colon == std::string_view::npos || colon == 0) return std::nullopt;
        const std::string_view name = field.substr(0, colon),
                               value = trimmed(field.substr(colon + 1));
        if (sameWord(name, "Cookie")) request.cookie = value;
        if (sameWord(name, "Content-Length")) {
            const auto [stop, error] =
                std::from_chars(value.data(), value.data() + value.size(), request.bodyLength);
            if (error != std::errc() || stop != value.data() + value.size()) return std::nullopt;
        }
    }
    return request;
}

std::string queryValue(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
        const size_t eq = pair.find('=');
        if (pair.substr(0, eq) != name) continue;
        std::string value;
        const std::string_view raw = eq == std::string_view::npos ? "" : pair.substr(eq + 1);
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '+') {
                value += ' ';
            } else if (raw[i] == '%' && i + 2 < raw.size() && hexDigit(raw[i + 1]) >= 0 &&
                       hexDigit(raw[i + 2]) >= 0) {
                value += static_cast<char>(hexDigit(raw[i + 1]) * 16 + hexDigit(raw[i + 2]));
                i += 2;
            } else {
                value += raw[i];
            }
        }
        return value;
    }
    return {};
}

}  // namespace kestrix::service
