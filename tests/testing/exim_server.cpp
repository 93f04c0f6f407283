#include "testing/exim_server.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <pwd.h>
#include <thread>
#include <unistd.h>

namespace brix::testing {

bool EximServer::Start(std::string& why) {
    // Exim runs as its own user (or as the caller when not root), who must
    // own the spool and deliver the mail.
    passwd* pw = ::getuid() != 0             ? ::getpwuid(::getuid())
                 : ::getpwnam("Debian-exim") ? ::getpwnam("Debian-exim")
                                             : ::getpwnam("mail");
    const std::string user = pw ? pw->pw_name : "";
    for (const char* sub : {"/spool", "/log", "/out"}) {
        std::filesystem::create_directories(dir_ + sub);
        if (!pw || ::chown((dir_ + sub).c_str(), pw->pw_uid, pw->pw_gid) != 0) {
            why = "cannot hand the folders to Exim's user";
            return false;
        }
    }
    WriteText(dir_ + "/exim.conf",
              "primary_hostname = brix.test\nspool_directory = " + dir_ +
                  "/spool\nlog_file_path = " + dir_ +
                  "/log/%slog\ndaemon_smtp_ports = " + PortText() +
                  "\nlocal_interfaces = 127.0.0.1\n"
                  "acl_smtp_rcpt = acl_rcpt\nacl_smtp_data = acl_data\n"
                  "auth_advertise_hosts = *\nhost_lookup =\nrfc1413_hosts =\n" +
                  (cert_.empty() ? std::string("tls_advertise_hosts =\n")
                                 : "tls_advertise_hosts = *\ntls_certificate = " + cert_ +
                                       "\ntls_privatekey = " + key_ + "\n") +
                  "keep_environment =\nmessage_size_limit = 0\n"
                  "begin acl\nacl_rcpt:\n  deny recipients = refuse@brix.test\n"
                  "  deny message = authentication required\n"
                  "       domains = auth.test\n       !authenticated = *\n  accept\n"
                  // A code at the start of the message replaces Exim's 550.
                  "acl_data:\n  deny message = 554 message refused\n"
                  "       condition = ${if def:h_X-Refuse:}\n  accept\n"
                  "begin routers\nall:\n  driver = accept\n  transport = bsmtp_file\n"
                  "begin transports\nbsmtp_file:\n  driver = appendfile\n  directory "
                  "= " +
                  dir_ + "/out\n  use_bsmtp\n  user = " + user +
                  "\n  mode = 0644\n"
                  "begin authenticators\nlogin:\n  driver = plaintext\n  public_name = "
                  "LOGIN\n"
                  "  server_prompts = Username:: : Password::\n"
                  "  server_condition = ${if and "
                  "{{eq{$auth1}{user}}{eq{$auth2}{secret}}}}\n"
                  "  server_set_id = $auth1\n");
    why = Launch({"/usr/sbin/exim4", "-C", dir_ + "/exim.conf", "-bdf", "-odi"}, "/dev/null");
    return why.empty();
}

std::vector<std::string> EximServer::Delivered(std::size_t count) {
    std::vector<std::string> texts;
    for (int i = 0; i < 100; ++i) {
        std::vector<std::string> files;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir_ + "/out", ec))
            files.push_back(e.path().string());
        std::sort(files.begin(), files.end());
        texts.clear();
        bool whole = true; // a file appears before Exim has written it
        for (const std::string& f : files) {
            texts.push_back(ReadText(f));
            whole = whole && (texts.back().ends_with(".\n") || texts.back().ends_with(".\r\n"));
        }
        if (texts.size() >= count && whole) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return texts;
}

} // namespace brix::testing
