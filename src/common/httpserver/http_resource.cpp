// The request and resource side of the HTTP layer: request accessors, per-method rendering with
// 405 defaults, and the server settings that need more than an assignment.
#include "httpserver.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace httpserver {

namespace {

std::string lowerCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::shared_ptr<http_response> methodNotAllowed() {
    return std::make_shared<string_response>("Method Not Allowed", 405, "text/plain");
}

} // namespace

std::string http_request::get_arg(const std::string& key) const {
    auto it = args.find(key);
    return it == args.end() ? "" : it->second;
}

// Header names are case-insensitive on the wire, so they are stored and looked up lower-cased.
std::string http_request::get_header(const std::string& key) const {
    auto it = headers.find(lowerCased(key));
    return it == headers.end() ? "" : it->second;
}

std::vector<std::string> http_request::get_path_pieces() const {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > start) {
            pieces.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return pieces;
}

std::shared_ptr<http_response> http_resource::render_GET(const http_request&) {
    return methodNotAllowed();
}
std::shared_ptr<http_response> http_resource::render_POST(const http_request&) {
    return methodNotAllowed();
}
std::shared_ptr<http_response> http_resource::render_PUT(const http_request&) {
    return methodNotAllowed();
}
std::shared_ptr<http_response> http_resource::render_DELETE(const http_request&) {
    return methodNotAllowed();
}

// HEAD is rendered as GET; libmicrohttpd leaves the body off the wire.
std::shared_ptr<http_response> http_resource::render(const http_request& req) {
    const std::string& m = req.get_method();
    if (m == "GET" || m == "HEAD") {
        return render_GET(req);
    }
    if (m == "POST") {
        return render_POST(req);
    }
    if (m == "PUT") {
        return render_PUT(req);
    }
    if (m == "DELETE") {
        return render_DELETE(req);
    }
    return methodNotAllowed();
}

// Only IPv4 is served. An address without a port takes the one given by port().
create_webserver& create_webserver::bind_address(const sockaddr* addr) {
    if (addr == nullptr || addr->sa_family != AF_INET) {
        _has_bind_address = false;
        return *this;
    }
    std::memcpy(&_bind_address, addr, sizeof(_bind_address));
    _has_bind_address = true;
    return *this;
}

} // namespace httpserver
