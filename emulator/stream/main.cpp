// lakesink-stream-emulator --warehouse DIR --grpc-port N --http-port N
//
// Serves the direct ingest protocol over gRPC and its token endpoint over
// HTTP, both on 127.0.0.1, writing into the warehouse emulator's files in DIR.
// Port 0 picks a free port. Prints "listening grpc=N http=M" once both accept
// connections, then serves until SIGINT or SIGTERM.

#include <grpcpp/grpcpp.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "token_server.h"
#include "zerobus_service.h"

namespace {

struct Options {
    std::string dir = "warehouse";
    int grpcPort = 0;
    int httpPort = 0;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--warehouse")
            options.dir = argv[i + 1];
        else if (key == "--grpc-port")
            options.grpcPort = std::atoi(argv[i + 1]);
        else if (key == "--http-port")
            options.httpPort = std::atoi(argv[i + 1]);
        else
            return false;
    }
    return argc % 2 == 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: %s --warehouse DIR --grpc-port N --http-port N\n", argv[0]);
        return 2;
    }
    std::error_code ignored;
    std::filesystem::create_directories(options.dir, ignored);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    zbemu::TokenServer tokens(options.dir);
    const int httpPort = tokens.start(options.httpPort);
    if (httpPort < 0) {
        std::fprintf(stderr, "cannot listen on http port %d\n", options.httpPort);
        return 1;
    }
    zbemu::ZerobusService service(options.dir, tokens);
    int grpcPort = 0;
    grpc::ServerBuilder builder;
    builder.AddListeningPort("127.0.0.1:" + std::to_string(options.grpcPort),
                             grpc::InsecureServerCredentials(), &grpcPort);
    builder.RegisterService(&service);
    builder.SetMaxReceiveMessageSize(16 * 1024 * 1024);
    std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
    if (!server || grpcPort == 0) {
        std::fprintf(stderr, "cannot listen on grpc port %d\n", options.grpcPort);
        return 1;
    }
    std::printf("listening grpc=%d http=%d\n", grpcPort, httpPort);
    std::fflush(stdout);
    int signal = 0;
    sigwait(&signals, &signal);
    server->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(2));
    tokens.stop();
    return 0;
}
