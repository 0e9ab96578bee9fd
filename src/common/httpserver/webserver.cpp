// The server side of the HTTP layer: the libmicrohttpd daemon, the per-request state it carries
// between callbacks, and routing a finished request to its resource.
#include "httpserver.h"

#include "common/Log.h"

#include <microhttpd.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <exception>
#include <vector>

namespace httpserver {

namespace {

// One request in flight. Created by the URI log callback (the only place that sees the raw URI,
// query string included), handed to every access-handler call as the request context, and freed
// when libmicrohttpd reports the request complete.
struct RequestState {
    std::string rawUri;
    http_request request;
    bool headersRead = false;
    bool answered = false;
    bool tooLarge = false;
    size_t discarded = 0;
};

void* onUriLogged(void*, const char* uri, MHD_Connection*) {
    auto* state = new RequestState();
    state->rawUri = uri ? uri : "";
    return state;
}

void onRequestCompleted(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    delete static_cast<RequestState*>(*context);
    *context = nullptr;
}

std::string queryOf(const std::string& rawUri) {
    size_t q = rawUri.find('?');
    return q == std::string::npos ? "" : rawUri.substr(q + 1);
}

MHD_Result addArgument(void* cls, MHD_ValueKind, const char* key, const char* value) {
    static_cast<http_request*>(cls)->args[key] = value ? value : "";
    return MHD_YES;
}

MHD_Result addHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
    std::string name(key);
    for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    static_cast<http_request*>(cls)->headers[name] = value ? value : "";
    return MHD_YES;
}

// libmicrohttpd hands the access handler the path already percent-decoded and cut at "?", so
// the path is taken as given and the query string from the raw URI.
void readRequestHead(MHD_Connection* connection, const char* url, const char* method, RequestState& state) {
    http_request& req = state.request;
    req.path = url;
    req.method = method;
    req.querystring = queryOf(state.rawUri);
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, addArgument, &req);
    MHD_get_connection_values(connection, MHD_HEADER_KIND, addHeader, &req);
}

bool declaresTooLargeBody(const http_request& req) {
    std::string length = req.get_header("content-length");
    return !length.empty() && std::strtoull(length.c_str(), nullptr, 10) > webserver::MAX_BODY_BYTES;
}

std::shared_ptr<http_response> plain(const std::string& text, int code) {
    return std::make_shared<string_response>(text, code, "text/plain");
}

MHD_Result queueResponse(MHD_Connection* connection, const http_response& response) {
    const std::string& body = response.get_content();
    MHD_Response* r =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (r == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, response.get_content_type().c_str());
    for (const auto& [key, value] : response.get_headers()) {
        MHD_add_response_header(r, key.c_str(), value.c_str());
    }
    MHD_Result result = MHD_queue_response(connection, response.get_response_code(), r);
    MHD_destroy_response(r);
    return result;
}

// Keeps the body until it passes the limit, then drops what follows so the 413 can be sent once
// the client has finished; a client that keeps sending far past the limit is cut off.
MHD_Result absorbUpload(RequestState& state, const char* data, size_t* size) {
    size_t n = *size;
    *size = 0;
    if (!state.tooLarge && state.request.content.size() + n <= webserver::MAX_BODY_BYTES) {
        state.request.content.append(data, n);
        return MHD_YES;
    }
    if (!state.tooLarge) {
        std::string().swap(state.request.content);
    }
    state.tooLarge = true;
    state.discarded += n;
    return state.discarded > webserver::MAX_BODY_BYTES ? MHD_NO : MHD_YES;
}

MHD_Result answer(MHD_Connection* connection, RequestState& state,
                  const std::shared_ptr<http_response>& response) {
    state.answered = true;
    return queueResponse(connection, *response);
}

MHD_Result onAccess(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                    const char* uploadData, size_t* uploadSize, void** context) {
    if (*context == nullptr) {
        *context = new RequestState();
    }
    RequestState& state = *static_cast<RequestState*>(*context);
    if (!state.headersRead) {
        state.headersRead = true;
        readRequestHead(connection, url, method, state);
        if (declaresTooLargeBody(state.request)) {
            return answer(connection, state, plain("Request body too large", 413));
        }
        return MHD_YES;
    }
    if (*uploadSize > 0) {
        if (state.answered) {
            *uploadSize = 0;
            return MHD_YES;
        }
        return absorbUpload(state, uploadData, uploadSize);
    }
    if (state.answered) {
        return MHD_YES;
    }
    if (state.tooLarge) {
        return answer(connection, state, plain("Request body too large", 413));
    }
    return answer(connection, state, static_cast<webserver*>(cls)->dispatch(state.request));
}

} // namespace

webserver::webserver(const create_webserver& p) : params(p) {}

webserver::~webserver() {
    stop();
}

bool webserver::register_resource(const std::string& prefix, http_resource* res, bool family) {
    std::lock_guard<std::mutex> guard(lock);
    return registrations.emplace(prefix, Registration{res, family}).second;
}

void webserver::unregister_resource(const std::string& prefix) {
    std::lock_guard<std::mutex> guard(lock);
    registrations.erase(prefix);
}

// Walks from the whole path up through its "/"-separated ancestors, so the first family found
// is the longest prefix that claims the path.
http_resource* webserver::find_resource(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock);
    auto exact = registrations.find(path);
    if (exact != registrations.end() && !exact->second.family) {
        return exact->second.resource;
    }
    std::string candidate = path;
    while (!candidate.empty()) {
        auto it = registrations.find(candidate);
        if (it != registrations.end() && it->second.family) {
            return it->second.resource;
        }
        size_t slash = candidate.rfind('/');
        if (slash == std::string::npos) {
            break;
        }
        candidate.resize(slash);
    }
    return nullptr;
}

std::shared_ptr<http_response> webserver::dispatch(const http_request& req) {
    http_resource* resource = find_resource(req.get_path());
    if (resource == nullptr) {
        return plain("Not Found", 404);
    }
    try {
        std::shared_ptr<http_response> response = resource->render(req);
        if (response) {
            return response;
        }
        LogErr(LG_HTTP, "No response rendered for %s %s\n", req.get_method().c_str(), req.get_path().c_str());
        return plain("No response", 500);
    } catch (const std::exception& e) {
        LogErr(LG_HTTP, "Error rendering %s %s: %s\n", req.get_method().c_str(), req.get_path().c_str(),
               e.what());
        return plain(e.what(), 500);
    } catch (...) {
        LogErr(LG_HTTP, "Unknown error rendering %s %s\n", req.get_method().c_str(), req.get_path().c_str());
        return plain("Internal Server Error", 500);
    }
}

// poll() rather than epoll: in epoll mode a worker accepts a whole burst of connections at once and
// renders them one after another, while with poll each worker takes one per wake-up, spreading a
// burst over the pool. The inter-thread channel (MHD_USE_ITC) lets sweet_kill quiesce the daemon.
bool webserver::start(bool blocking) {
    std::unique_lock<std::mutex> guard(lock);
    if (daemon == nullptr) {
        unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ITC;
        std::vector<MHD_OptionItem> options;
        options.push_back({MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&onUriLogged), nullptr});
        options.push_back(
            {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&onRequestCompleted), nullptr});
        options.push_back({MHD_OPTION_CONNECTION_TIMEOUT, params._connection_timeout, nullptr});
        if (params._start_method == http::http_utils::THREAD_PER_CONNECTION) {
            flags |= MHD_USE_THREAD_PER_CONNECTION;
        } else if (params._max_threads > 1) {
            options.push_back({MHD_OPTION_THREAD_POOL_SIZE, params._max_threads, nullptr});
        }
        if (params._has_bind_address) {
            if (params._bind_address.sin_port == 0) {
                params._bind_address.sin_port = htons(static_cast<uint16_t>(params._port));
            }
            options.push_back({MHD_OPTION_SOCK_ADDR, 0, &params._bind_address});
        }
        options.push_back({MHD_OPTION_END, 0, nullptr});
        daemon = MHD_start_daemon(flags, static_cast<uint16_t>(params._port), nullptr, nullptr, &onAccess,
                                  this, MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
        if (daemon == nullptr) {
            LogErr(LG_HTTP, "Could not start the HTTP server on port %d\n", params._port);
            return false;
        }
        LogDebug(LG_HTTP, "HTTP server listening on port %d\n", params._port);
    }
    if (blocking) {
        stopped.wait(guard, [this] { return daemon == nullptr; });
    }
    return true;
}

void webserver::sweet_kill() {
    std::lock_guard<std::mutex> guard(lock);
    if (daemon == nullptr) {
        return;
    }
    MHD_socket listener = MHD_quiesce_daemon(daemon);
    if (listener != MHD_INVALID_SOCKET) {
        close(listener);
    }
}

// The daemon is stopped outside the lock: stopping waits for requests in progress, and those
// take the lock to find their resource.
void webserver::stop() {
    MHD_Daemon* running;
    {
        std::lock_guard<std::mutex> guard(lock);
        running = daemon;
        daemon = nullptr;
    }
    stopped.notify_all();
    if (running != nullptr) {
        MHD_stop_daemon(running);
    }
}

} // namespace httpserver
