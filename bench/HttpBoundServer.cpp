// The bound of the API load benchmark (scripts/bench-api): libmicrohttpd set up the way the
// daemon's API server is (10 worker threads polling, 127.0.0.1 only), answering every request
// with one fixed JSON text and nothing else: no routing, logging or JSON work. Usage:
// HttpBoundServer PORT; runs until it gets SIGTERM or SIGINT.

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>

namespace {
const char BODY[] = "{\"Status\":\"OK\",\"respCode\":200,\"Message\":\"\"}";

// The first call for a request only sees its headers; the answer goes out on the last call.
MHD_Result answer(void*, MHD_Connection* connection, const char*, const char*, const char*, const char*,
                  size_t* uploadSize, void** context) {
    if (*context == nullptr) {
        *context = connection;
        return MHD_YES;
    }
    if (*uploadSize > 0) {
        *uploadSize = 0;
        return MHD_YES;
    }
    MHD_Response* response =
        MHD_create_response_from_buffer(sizeof(BODY) - 1, const_cast<char*>(BODY), MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
    MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr); // the worker threads inherit the mask
    uint16_t port = static_cast<uint16_t>(atoi(argv[1]));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    MHD_Daemon* daemon = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL, port, nullptr,
                                          nullptr, &answer, nullptr, MHD_OPTION_THREAD_POOL_SIZE, 10,
                                          MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_END);
    if (daemon == nullptr) {
        fprintf(stderr, "cannot listen on 127.0.0.1:%u\n", port);
        return 1;
    }
    int signal = 0;
    sigwait(&stopSignals, &signal);
    MHD_stop_daemon(daemon);
    return 0;
}
