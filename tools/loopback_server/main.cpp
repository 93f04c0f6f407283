// brix-loopback-server: the mail and news server of the Brix demo and tests.

#include "loopback_server.h"

#include "net/skt_exceptions.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <sys/stat.h>

namespace {

std::atomic<bool> gStop{false};

extern "C" void OnSignal(int) {
    gStop = true;
}

void Usage(std::FILE* out) {
    std::fputs("Usage: brix-loopback-server [options] DIR\n"
               "\n"
               "A small POP3, SMTP and NNTP server for the Brix demo (scripts/demo) and\n"
               "tests. It listens on 127.0.0.1 only, serves one client at a time and keeps\n"
               "no secrets: do not use it for real mail.\n"
               "\n"
               "Options:\n"
               "  --pop3 PORT     POP3 port (default 0: a free port)\n"
               "  --smtp PORT     SMTP port (default 0: a free port)\n"
               "  --nntp PORT     NNTP port (default 0: a free port)\n"
               "  --idle SECONDS  stop after this long without a client (default 600,\n"
               "                  0: never); SIGINT, SIGTERM and SIGHUP stop it at once\n"
               "  --verbose       write every command and reply to standard error\n"
               "  -h, --help      this text\n"
               "\n"
               "On start it prints one line per protocol (\"pop3 127.0.0.1 PORT\", then\n"
               "smtp and nntp) and the line \"ready\".\n"
               "\n"
               "DIR holds:\n"
               "  users           \"name password\" lines for POP3 (USER/PASS, APOP), SMTP\n"
               "                  AUTH LOGIN and NNTP AUTHINFO; without it any login passes\n"
               "  mail/NAME/      the mailbox of NAME, one message per file; the file name\n"
               "                  is its UIDL; DELE removes the file at QUIT\n"
               "  sink/           every message accepted over SMTP, as NNNN.eml, after\n"
               "                  X-Envelope-From: and X-Envelope-To: lines\n"
               "  news/GROUP/N    article N of GROUP; POST adds the next number\n",
               out);
}

bool ParsePort(const char* text, int& port) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < 0 || v > 65535) return false;
    port = static_cast<int>(v);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    brix::loopback::Options options;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "-h" || a == "--help") {
            Usage(stdout);
            return 0;
        } else if (a == "--verbose" || a == "-v") {
            options.transcript = [](const std::string& line) { std::cerr << line << '\n'; };
        } else if ((a == "--pop3" || a == "--smtp" || a == "--nntp") && hasValue) {
            int& port = a == "--pop3"   ? options.pop3Port
                        : a == "--smtp" ? options.smtpPort
                                        : options.nntpPort;
            if (!ParsePort(argv[++i], port)) {
                std::fprintf(stderr, "brix-loopback-server: bad port for %s: %s\n", a.c_str(),
                             argv[i]);
                return 1;
            }
        } else if (a == "--idle" && hasValue) {
            int seconds = 0;
            if (!ParsePort(argv[++i], seconds)) {
                std::fprintf(stderr, "brix-loopback-server: bad --idle value: %s\n", argv[i]);
                return 1;
            }
            options.idle = std::chrono::seconds(seconds);
        } else if (!a.empty() && a[0] != '-' && options.dir.empty()) {
            options.dir = a;
        } else {
            Usage(stderr);
            return 1;
        }
    }
    struct stat st {};
    if (options.dir.empty() || ::stat(options.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (!options.dir.empty())
            std::fprintf(stderr, "brix-loopback-server: no such directory: %s\n",
                         options.dir.c_str());
        Usage(stderr);
        return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        brix::loopback::Server server(options);
        std::printf("pop3 127.0.0.1 %d\nsmtp 127.0.0.1 %d\nnntp 127.0.0.1 %d\nready\n",
                    server.Pop3Port(), server.SmtpPort(), server.NntpPort());
        std::fflush(stdout);
        bool idle = server.Run(gStop);
        std::fprintf(stderr, "brix-loopback-server: stopped (%s)\n",
                     idle ? "idle time passed" : "signal");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brix-loopback-server: %s\n", e.what());
        return 2;
    }
    return 0;
}
