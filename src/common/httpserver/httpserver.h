#pragma once
// A thin HTTP server layer on libmicrohttpd offering the part of libhttpserver's API the daemon
// uses: resources registered under path prefixes (optionally as a family, taking every path below
// the prefix), rendered per method on the server's worker threads. Requests longer than
// MAX_BODY_BYTES are answered 413 without reaching a resource; unclaimed paths get a plain 404.

#include <netinet/in.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct MHD_Daemon;

namespace httpserver {

namespace http {
struct http_utils {
    enum start_method_T { INTERNAL_SELECT, THREAD_PER_CONNECTION };
};
} // namespace http

class http_request {
public:
    const std::string& get_path() const { return path; }
    const std::string& get_method() const { return method; }
    const std::string& get_content() const { return content; }
    // The query string as received, without "?"; empty when there is none.
    const std::string& get_querystring() const { return querystring; }
    // Value of a query argument, "" when absent.
    std::string get_arg(const std::string& key) const;
    const std::map<std::string, std::string>& get_args() const { return args; }
    std::string get_header(const std::string& key) const;
    // The path split on "/", empty pieces dropped.
    std::vector<std::string> get_path_pieces() const;

    std::string path;
    std::string method;
    std::string content;
    std::string querystring;
    std::map<std::string, std::string> args;
    std::map<std::string, std::string> headers; // names lower-cased
};

class http_response {
public:
    http_response(int code, const std::string& type) : response_code(code), content_type(type) {}
    virtual ~http_response() {}
    int get_response_code() const { return response_code; }
    const std::string& get_content_type() const { return content_type; }
    virtual const std::string& get_content() const = 0;
    void with_header(const std::string& key, const std::string& value) { headers[key] = value; }
    const std::map<std::string, std::string>& get_headers() const { return headers; }

private:
    int response_code;
    std::string content_type;
    std::map<std::string, std::string> headers;
};

class string_response : public http_response {
public:
    explicit string_response(const std::string& c, int code = 200, const std::string& type = "text/plain")
        : http_response(code, type), content(c) {}
    const std::string& get_content() const override { return content; }

private:
    std::string content;
};

// Base of every resource; the default for each method is 405 Method Not Allowed.
class http_resource {
public:
    virtual ~http_resource() {}
    virtual std::shared_ptr<http_response> render_GET(const http_request& req);
    virtual std::shared_ptr<http_response> render_POST(const http_request& req);
    virtual std::shared_ptr<http_response> render_PUT(const http_request& req);
    virtual std::shared_ptr<http_response> render_DELETE(const http_request& req);
    std::shared_ptr<http_response> render(const http_request& req);
};

class create_webserver {
public:
    explicit create_webserver(int port = 80) : _port(port) {}
    create_webserver& port(int p) {
        _port = p;
        return *this;
    }
    // IPv4 address; default is every address.
    create_webserver& bind_address(const sockaddr* addr);
    create_webserver& start_method(http::http_utils::start_method_T m) {
        _start_method = m;
        return *this;
    }
    create_webserver& max_threads(int n) {
        _max_threads = n;
        return *this;
    }
    create_webserver& connection_timeout(int seconds) {
        _connection_timeout = seconds;
        return *this;
    }

    int _port;
    bool _has_bind_address = false;
    sockaddr_in _bind_address{};
    http::http_utils::start_method_T _start_method = http::http_utils::INTERNAL_SELECT;
    int _max_threads = 1;
    int _connection_timeout = 180;
};

class webserver {
public:
    static constexpr size_t MAX_BODY_BYTES = 4 * 1024 * 1024;

    explicit webserver(const create_webserver& params);
    ~webserver();
    // The webserver does not own resources. Returns false when the prefix is taken.
    bool register_resource(const std::string& prefix, http_resource* res, bool family = false);
    void unregister_resource(const std::string& prefix);
    // Starts the worker threads; with blocking true waits until stop(). False when the bind failed.
    bool start(bool blocking = false);
    bool is_running() const { return daemon != nullptr; }
    // Closes the listening socket so no new connection is accepted.
    void sweet_kill();
    // Stops the worker threads; waits for requests in progress.
    void stop();

    // The resource claiming path (exact registrations, then the longest family prefix), or null.
    http_resource* find_resource(const std::string& path);

    // Used by the libmicrohttpd callbacks.
    std::shared_ptr<http_response> dispatch(const http_request& req);

private:
    struct Registration {
        http_resource* resource;
        bool family;
    };
    create_webserver params;
    MHD_Daemon* daemon = nullptr;
    std::mutex lock;                 // guards the registrations and daemon; not held while a resource renders
    std::condition_variable stopped; // signalled by stop(), for a blocking start()
    std::map<std::string, Registration> registrations;
};

} // namespace httpserver
